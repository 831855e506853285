// A C++ program that calls every installed module of dctlab.
#include <cstdio>
#include <vector>

#include "packin.h"
#include "packout.h"
#include "sizemag.h"

int main()
{
    std::vector<uint32_t> words(4, 0);
    int wi = 0, wf = 32, ri = 0, rf = 32;
    for (uint32_t v = 0; v < 16; ++v)
        putbits(v, 4, words.data(), &wi, &wf);
    for (uint32_t v = 0; v < 16; ++v)
        if (getbits(words.data(), &ri, &rf, 4) != v) {
            std::puts("consumer failed: bit packing");
            return 1;
        }

    char size = 0;
    int16_t magnitude = 0;
    sizemag(1024, &size, &magnitude);
    if (size != 11 || magnitude != 1024) {
        std::puts("consumer failed: sizemag");
        return 1;
    }
    std::puts("consumer ok");
    return 0;
}

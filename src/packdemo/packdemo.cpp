// Writes the 3-bit field 5 into a fresh word array, prints the word as a
// signed number (0xA0000000 is -1610612736) and the field read back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "packin.h"
#include "packout.h"

int main()
{
    auto *words = static_cast<uint32_t *>(std::calloc(5, sizeof(uint32_t)));
    if (!words) {
        std::puts("ERROR: No free memory left!");
        return 1;
    }
    int write_index = 0, write_free = 32;
    int read_index = 0, read_free = 32;

    putbits(5, 3, words, &write_index, &write_free);
    std::printf("%d\n", static_cast<int>(static_cast<int32_t>(words[0])));
    std::printf("%d\n", static_cast<int>(getbits(words, &read_index, &read_free, 3)));

    std::free(words);
    return 0;
}

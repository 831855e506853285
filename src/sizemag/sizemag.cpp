#include "sizemag.h"

#include <cstdio>

char bc(int16_t num)
{
    auto bits = static_cast<uint16_t>(num);
    char count = 0;
    while (bits != 0) {
        bits >>= 1;
        ++count;
    }
    return count;
}

int sizemag(int16_t number, char *bcn, int16_t *mg)
{
    if (number >= 0) {
        *bcn = bc(number);
        *mg = number;
        return 1;
    }
    // -number is formed in int and wraps to -32768 for -32768, whose 16 bits
    // bc counts as 16; the magnitude is then the low 16 bits of -32769.
    const char size = bc(static_cast<int16_t>(-number));
    const int low = static_cast<int>((1u << size) - 1u);
    *bcn = size;
    *mg = static_cast<int16_t>((number - 1) & low);
    return 1;
}

int sizemag_test(void)
{
    std::FILE *out = std::fopen("test_sizemag", "w+");
    std::puts("-----------------------------------\nSTARTING TESTs OF THE SIZEMAG MODULE");
    if (!out) {
        std::puts("ERROR: Can't open file for writing!");
        return 0;
    }
    for (int k = -2048; k <= 2047; ++k) {
        char size = 0;
        int16_t bits = 0;
        sizemag(static_cast<int16_t>(k), &size, &bits);
        std::fprintf(out, "%d\t%d\t%d\n", k, static_cast<int>(size), static_cast<int>(bits));
    }
    const bool failed = std::ferror(out) != 0;
    if (std::fclose(out) != 0 || failed) {
        std::puts("ERROR: Can't open file for writing!");
        return 0;
    }
    return 1;
}

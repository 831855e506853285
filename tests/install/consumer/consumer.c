/* A C program that calls every installed module of dctlab. */
#include <stdio.h>
#include <stdlib.h>

#include "packin.h"
#include "packout.h"
#include "sizemag.h"

static int fail(const char *what)
{
    printf("consumer failed: %s\n", what);
    return 1;
}

int main(void)
{
    uint32_t words[2] = {0, 0};
    int wi = 0, wf = 32, ri = 0, rf = 32;
    char size = 0;
    int16_t magnitude = 0;

    putbits(5, 3, words, &wi, &wf);
    putbits(0xDEADBEEFu, 32, words, &wi, &wf);
    if (words[0] != 0xBBD5B7DDu || getbits(words, &ri, &rf, 3) != 5 ||
        getbits(words, &ri, &rf, 32) != 0xDEADBEEFu)
        return fail("bit packing");

    sizemag(-5, &size, &magnitude);
    if (size != 3 || magnitude != 2)
        return fail("sizemag");

    puts("consumer ok");
    return 0;
}

/* A C program that calls every installed module of dctlab. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "huffdec.h"
#include "huffenc.h"
#include "imgcodec.h"
#include "jfif.h"
#include "matr.h"
#include "packin.h"
#include "packout.h"
#include "sizemag.h"

static int fail(const char *what)
{
    printf("consumer failed: %s\n", what);
    return 1;
}

static int bits_and_sizes(void)
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
    return 0;
}

/* A 9x7 picture through the whole picture path, from BMP file to BMP file. */
static int picture_path(void)
{
    PDRGB picture = {9, 7, NULL, 9 % 4};
    PDRGB *read, *back;
    PDCBCR *planes, *restored;
    DCTDATA *coefficients;
    uint32_t i;
    matriceD *basis;

    picture.data = calloc(9 * 7, sizeof(BMPPIX8BNA));
    if (!picture.data)
        return fail("memory");
    for (i = 0; i < 9 * 7; ++i) {
        picture.data[i].R = (uint8_t)(i * 3);
        picture.data[i].G = 128;
        picture.data[i].B = (uint8_t)(255 - i);
    }
    writeToBMP("consumer.bmp", &picture);
    free(picture.data);
    read = getRGBFromFile("consumer.bmp");
    if (!read || read->w != 9 || read->h != 7)
        return fail("BMP round trip");
    planes = RGBtoCBCR(read);
    coefficients = toDCT2(planes, 4);
    restored = returnFromDCT(coefficients, 4);
    back = CBCRtoRGB(restored);
    if (!back || coefficients->YBlks != 2 || coefficients->CBlks != 1)
        return fail("picture path");
    writeToBMP("consumer-back.bmp", back);
    {
        size_t size = 0;
        uint16_t rate = 0;
        uint8_t *file = encodeJPEG(coefficients, 4, &size);
        DCTDATA *again = file ? decodeJPEG(file, size, &rate) : NULL;
        const int same = again && rate == 4 && again->YBlks == 2 &&
                         memcmp(again->YdataDCT, coefficients->YdataDCT, 2 * 64 * 2) == 0;
        free(file);
        freeDCT(again);
        if (!same)
            return fail("JPEG round trip");
    }
    testPSNRforRGB(read, back);
    testPSNROnPlate(planes, restored);

    basis = prepDCT();
    if (!basis || basis->x != 8 || basis->ptr[0] <= 0.35 || basis->ptr[0] >= 0.36)
        return fail("matrix library");
    matKillD(basis);
    freeRGB(back);
    freeCBCR(restored);
    freeDCT(coefficients);
    freeCBCR(planes);
    freeRGB(read);
    return 0;
}

static uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* "abracadabra" through the Huffman encoder and the table-driven decoder,
 * the decoder's caller duties done by hand. */
static int huffman(void)
{
    static const char text[] = "abracadabra";
    const int n = (int)sizeof text - 1;
    int32_t counts[256] = {0};
    HUFFCODE codes[256], rebuilt[256];
    unsigned char stream[64];
    char shape[16];
    uint32_t words[3] = {0, 0, 0}, window, shape_word;
    int leaves, i, shape_pos = 0, symbol_pos = 0, word_index = 1, free_bits = 32;
    FILE *in = tmpfile(), *out = fopen("consumer.huf", "wb");
    HUFFNODE *root;
    HUFFLOOKUP *table, entry;
    size_t got;

    memset(codes, 0, sizeof codes);
    memset(rebuilt, 0, sizeof rebuilt);
    if (!in || !out)
        return fail("files");
    for (i = 0; i < n; ++i)
        ++counts[(unsigned char)text[i]];
    fwrite(text, 1, (size_t)n, in);
    rewind(in);
    form_tree(out, counts, 256, codes);
    if (!encode(in, codes, out)) /* closes out */
        return fail("encode");
    fclose(in);

    in = fopen("consumer.huf", "rb");
    if (!in)
        return fail("reading the streams");
    got = fread(stream, 1, sizeof stream, in);
    fclose(in);
    /* 13 bytes of table stream, then one encoded word. */
    leaves = stream[0];
    if (got != 17 || leaves != 5)
        return fail("table stream");
    shape_word = le32(stream + 9);
    for (i = 0; i < 2 * leaves - 1; ++i)
        shape[i] = (shape_word >> (31 - i)) & 1 ? '1' : '0';
    shape[2 * leaves - 1] = '\0';
    root = dfr(shape, &shape_pos, stream + 4, &symbol_pos, NULL);
    dfs_final(root, 0, 0, rebuilt);
    table = calloc((size_t)1 << 22, sizeof *table);
    if (!root || !table)
        return fail("decoder memory");
    for (i = 0; i < leaves; ++i)
        refill(stream[4 + i], rebuilt[stream[4 + i]].code, rebuilt[stream[4 + i]].length, table);
    words[0] = le32(stream + 13);
    window = words[0];
    for (i = 0; i < n; ++i)
        if (decosymbol(table, words, &window, &entry, &word_index, &free_bits) !=
            (unsigned char)text[i])
            return fail("decoding");
    free(table);
    free_tree(root);
    return 0;
}

int main(void)
{
    if (bits_and_sizes() || picture_path() || huffman())
        return 1;
    puts("consumer ok");
    return 0;
}

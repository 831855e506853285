// A C++ program that calls every installed module of dctlab.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "huffdec.h"
#include "huffenc.h"
#include "imgcodec.h"
#include "matr.h"
#include "packin.h"
#include "packout.h"
#include "sizemag.h"

namespace
{

bool fail(const char *what)
{
    std::printf("consumer failed: %s\n", what);
    return false;
}

bool bits_and_sizes()
{
    std::vector<uint32_t> words(4, 0);
    int wi = 0, wf = 32, ri = 0, rf = 32;
    for (uint32_t v = 0; v < 16; ++v)
        putbits(v, 4, words.data(), &wi, &wf);
    for (uint32_t v = 0; v < 16; ++v)
        if (getbits(words.data(), &ri, &rf, 4) != v)
            return fail("bit packing");
    char size = 0;
    int16_t magnitude = 0;
    sizemag(1024, &size, &magnitude);
    return (size == 11 && magnitude == 1024) || fail("sizemag");
}

bool blocks()
{
    std::array<int16_t, 64> unused{}, order{};
    zigzag(unused.data(), order.data());
    for (int k = 0; k < 64; ++k)
        if (order[k] != PERM_MAT[k] || REV_PERM_MAT[PERM_MAT[k]] != k)
            return fail("zigzag");

    // A flat 16x16 grey picture: every luminance block is 8·128 at DC alone.
    PDCBCR *planes = nullptr;
    {
        PDRGB picture{16, 16, static_cast<BMPPIX8BNA *>(std::calloc(256, 3)), 0};
        for (int i = 0; i < 256; ++i)
            picture.data[i] = BMPPIX8BNA{128, 128, 128};
        planes = RGBtoCBCR(&picture);
        std::free(picture.data);
    }
    DCTDATA *coefficients = toDCT2(planes, 0);
    int16_t *block = getDCTedBlock(64, 3, planes);
    const bool flat = coefficients && block && block[0] == 1024 && block[1] == 0 &&
                      coefficients->YdataDCT[64 * 3] == 1024;
    std::free(block);
    freeDCT(coefficients);
    freeCBCR(planes);
    if (!flat)
        return fail("block transform");

    matriceD *c = prepDCT(), *ct = matTranspondD(c), *identity = matMultD(c, ct);
    const bool orthonormal = identity && identity->ptr[0] > 0.999999 && identity->ptr[1] < 1e-9;
    matKillD(identity);
    matKillD(ct);
    matKillD(c);
    return orthonormal || fail("matrix library");
}

bool huffman()
{
    const std::vector<unsigned char> text = {'m', 'i', 's', 's', 'i', 's', 's', 'i', 'p', 'p', 'i'};
    std::array<int32_t, 256> counts{};
    for (unsigned char b : text)
        ++counts[b];
    std::array<HUFFCODE, 256> codes{};
    std::FILE *in = std::tmpfile(), *out = std::tmpfile();
    if (!in || !out)
        return fail("tmpfile");
    std::fwrite(text.data(), 1, text.size(), in);
    std::rewind(in);
    form_tree(out, counts.data(), 256, codes.data());
    // m 1, p 2, i 4, s 4: codes of 3, 3, 2 (or 1) bits; every symbol coded.
    const bool coded = codes['m'].length > 0 && codes['s'].length > 0 && codes['i'].weight == 4 &&
                       codes['x'].length == 0;
    encode(in, codes.data(), out);
    std::fclose(in);
    if (!coded)
        return fail("code table");

    // Single-leaf decoding: the one symbol comes back on every call.
    int shape_pos = 0, symbol_pos = 0;
    const uint8_t symbol = 'z';
    HUFFNODE *root = dfr("0", &shape_pos, &symbol, &symbol_pos, nullptr);
    std::array<HUFFCODE, 256> rebuilt{};
    dfs_final(root, 0, 0, rebuilt.data());
    auto *table = static_cast<HUFFLOOKUP *>(std::calloc(size_t{1} << 22, sizeof(HUFFLOOKUP)));
    if (!root || !table)
        return fail("decoder memory");
    refill('z', rebuilt['z'].code, rebuilt['z'].length, table);
    const uint32_t words[2] = {0, 0};
    uint32_t window = 0;
    int index = 1, free_bits = 32;
    HUFFLOOKUP entry{};
    bool same = true;
    for (int i = 0; i < 5; ++i)
        same = same && decosymbol(table, words, &window, &entry, &index, &free_bits) == 'z';
    std::free(table);
    free_tree(root);
    return same || fail("single-leaf decoding");
}

} // namespace

int main()
{
    if (!bits_and_sizes() || !blocks() || !huffman())
        return 1;
    std::puts("consumer ok");
    return 0;
}

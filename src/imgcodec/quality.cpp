/* Quality checks: squared differences between two pictures, and the cosine
 * transform of a fixed block forward and back. They return nothing; what
 * they find they print on standard output.
 *
 * The peak energy K of a w x h picture is w·h·255², and with it every sum of
 * squared 8-bit differences, formed in 64 bits: from 66052 pixels on it no
 * longer fits 32. */
#include "imgcodec.h"

#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdio>

#include "checked_size.h"
#include "matr.h"
#include "matrix_owner.h"
#include "messages.h"

namespace
{

using namespace dctlab::img;

constexpr uint64_t kPeakEnergy = 255 * 255;

/* K, or false when the picture is too large for it to exist. */
bool peak_energy(uint32_t w, uint32_t h, uint64_t *k)
{
    return dctlab::mul_u64(uint64_t{w} * h, kPeakEnergy, k);
}

/* Both pictures are walked with the first one's sizes, each addressed with
 * its own width, so the second must cover the first. */
bool covers(uint32_t aft_w, uint32_t aft_h, uint32_t bfore_w, uint32_t bfore_h)
{
    return aft_w >= bfore_w && aft_h >= bfore_h;
}

/* The block of the transform check: all 34s and 35s and 33s, with one far
 * outlier in the bottom-right corner that the reverse transform must bring
 * back. */
constexpr std::array<double, 64> kTestBlock = {
    34, 33, 35, 33, 32, 33, 34, 35,  //
    34, 33, 35, 33, 32, 33, 34, 35,  //
    34, 33, 35, 33, 32, 33, 34, 35,  //
    34, 33, 35, 33, 32, 33, 34, 35,  //
    34, 33, 35, 33, 32, 33, 34, 35,  //
    34, 33, 35, 33, 32, 33, 34, 35,  //
    34, 33, 35, 33, 32, 33, 34, 35,  //
    34, 33, 35, 33, 32, 33, 34, 350, //
};

} // namespace

void testPSNRforRGB(const PDRGB *bfore, const PDRGB *aft)
{
    if (!bfore || !aft || !bfore->data || !aft->data) {
        std::puts(kNullArgument);
        return;
    }
    uint64_t k = 0;
    if (!covers(aft->w, aft->h, bfore->w, bfore->h) || !peak_energy(bfore->w, bfore->h, &k)) {
        std::puts(kInvalidArgument);
        return;
    }
    std::printf("K = %" PRIu64 "\n", k);

    static const struct {
        uint8_t BMPPIX8BNA::*component;
        const char *heading;
        const char *sum_format;
    } passes[] = {
        {&BMPPIX8BNA::R, "Testing PSNR for R component of image.", "R Sum = %" PRIu64 "\n"},
        {&BMPPIX8BNA::G, "Testing PSNR for G component of image.", "G Sum = %" PRIu64 "\n"},
        {&BMPPIX8BNA::B, "Testing PSNR for B component of image.", "B Sum = %" PRIu64 "\n"},
    };
    for (const auto &pass : passes) {
        std::puts(pass.heading);
        // Each square is at most 255², so the sum never exceeds K.
        uint64_t sum = 0;
        for (std::size_t i = 0; i < bfore->h; ++i)
            for (std::size_t j = 0; j < bfore->w; ++j) {
                const int d = bfore->data[bfore->w * i + j].*pass.component -
                              aft->data[aft->w * i + j].*pass.component;
                sum += static_cast<uint64_t>(d * d);
            }
        std::printf(pass.sum_format, sum);
    }
}

void testPSNROnPlate(const PDCBCR *bfore, const PDCBCR *aft)
{
    if (!bfore || !aft || !bfore->Ydata || !aft->Ydata) {
        std::puts(kNullArgument);
        return;
    }
    uint64_t peak = 0;
    if (!covers(aft->w, aft->h, bfore->w, bfore->h) || !peak_energy(bfore->w, bfore->h, &peak)) {
        std::puts(kInvalidArgument);
        return;
    }
    const double k = static_cast<double>(peak);
    std::puts("Testing PSNR for whole image.");
    // Every square is an integer below 2^33, so the sum stays exact in a
    // double up to 2^53, far beyond any picture's.
    double sum = 0.0;
    for (std::size_t i = 0; i < bfore->h; ++i)
        for (std::size_t j = 0; j < bfore->w; ++j) {
            const double sqr = bfore->Ydata[bfore->w * i + j] - aft->Ydata[aft->w * i + j];
            sum += sqr * sqr;
        }
    std::printf("Sum = %2.2f\n", sum);
    // A plain ratio, no logarithm; identical planes give the infinite double.
    std::printf("SNR = %f\n", k / sum);
}

void testDCT(uint8_t /* qRate: the check is the same for every rate */)
{
    std::array<double, 64> testmat = kTestBlock;
    const matriceD dataMat{8, 8, testmat.data()};

    matrix_ptr cosMat = take_matrix(prepDCT());
    if (!cosMat)
        return;
    matrix_ptr cosMatT = take_matrix(matTranspondD(cosMat.get()));
    if (!cosMatT)
        return;
    matrix_ptr tmp = take_matrix(matMultD(cosMat.get(), &dataMat));
    if (!tmp)
        return;
    matrix_ptr res = take_matrix(matMultD(tmp.get(), cosMatT.get()));
    if (!res)
        return;

    std::puts("Source matrice.");
    matDispD(&dataMat);
    std::puts("DCT matrice.");
    matDispD(res.get());
    tmp.reset();

    std::puts("REverse DCT.");
    matrix_ptr matNorm = take_matrix(matMultD(cosMatT.get(), res.get()));
    if (!matNorm)
        return;
    tmp = take_matrix(matMultD(matNorm.get(), cosMat.get()));
    if (!tmp)
        return;
    matDispD(tmp.get());

    tmp.reset();
    res.reset();
    cosMat.reset();
    cosMatT.reset();
    matNorm.reset();
}

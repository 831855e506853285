/* The straightforward picture path, kept as the oracle of the fast one.
 *
 * Each product is a fresh matrix released as soon as it has served, and each
 * block takes its own quantised array, as the structure of the transforms
 * reads most plainly.
 *
 * The matrix library reports an exhausted allocator only by a null result;
 * here that becomes the line "No free memory left" and a null result with
 * everything released. quantum and unQuantum print their own line, so a
 * caller that sees their null passes it on without a second one. */
#include "reference.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "block_geometry.h"
#include "colour_formulae.h"
#include "heap_ptr.h"
#include "matr.h"
#include "matrix_owner.h"
#include "messages.h"
#include "quant_matrix.h"
#include "records.h"
#include "result_memory.h"

namespace
{

using namespace dctlab::img;
using dctlab::heap_ptr;

/* Copies block number n of a plane into 64 doubles, row-major, with zeros
 * where the block runs past the plane. Positions and indices are formed in
 * size_t, where no product of them can wrap. */
void gather(const int16_t *plane, const PlaneBlocks &p, uint32_t n, double *block)
{
    const std::size_t left = std::size_t{n % p.per_row} * kBlockSide;
    const std::size_t top = std::size_t{n / p.per_row} * kBlockSide;
    for (std::size_t j = 0; j < kBlockSide; ++j)
        for (std::size_t i = 0; i < kBlockSide; ++i) {
            const std::size_t x = left + i, y = top + j;
            block[kBlockSide * j + i] = x < p.width && y < p.height ? plane[y * p.width + x] : 0.0;
        }
}

/* Places a store of blocks, numbered row by row, into a plane, dropping the
 * samples of edge blocks that fall beyond it. */
void scatter(const int16_t *store, const PlaneBlocks &p, int16_t *plane)
{
    for (std::size_t y = 0; y < p.height; ++y)
        for (std::size_t x = 0; x < p.width; ++x) {
            const std::size_t block = (y / kBlockSide) * p.per_row + x / kBlockSide;
            plane[y * p.width + x] =
                store[kBlockSamples * block + kBlockSide * (y % kBlockSide) + x % kBlockSide];
        }
}

/* The transform matrix and its transpose, made once per picture on the way
 * back, with the matrix that takes each block's coefficients. */
struct InverseBasis {
    matrix_ptr cosMat;
    matrix_ptr cosMatT;
    matrix_ptr dataMat;
};

/* Decodes count blocks of zigzag-ordered coefficients into a store of
 * row-major samples; false, after the line, when an allocation fails. buf is
 * the caller's 64-sample work block. */
bool decode_blocks(const int16_t *coefficients, uint32_t count, const InverseBasis &basis,
                   int16_t *buf, int16_t *store)
{
    for (std::size_t n = 0; n < count; ++n) {
        const int16_t *stored = coefficients + kBlockSamples * n;
        for (std::size_t k = 0; k < kBlockSamples; ++k)
            buf[k] = stored[REV_PERM_MAT[k]];
        const heap_ptr<int16_t[]> dequantised(unQuantum(buf));
        if (!dequantised)
            return false;
        shrtTodbl(dequantised.get(), basis.dataMat->ptr);
        matrix_ptr tmpDCTMat1 = take_matrix(matMultD(basis.cosMatT.get(), basis.dataMat.get()));
        if (!tmpDCTMat1)
            return false;
        const matrix_ptr tmpDCTMat2 = take_matrix(matMultD(tmpDCTMat1.get(), basis.cosMat.get()));
        if (!tmpDCTMat2)
            return false;
        tmpDCTMat1.reset();
        dblToshrt(tmpDCTMat2->ptr, buf);
        std::memcpy(store + kBlockSamples * n, buf, kBlockSamples * sizeof(int16_t));
    }
    return true;
}

} // namespace

namespace dctlab::img::reference
{

PDCBCR *RGBtoCBCR(const PDRGB *in)
{
    auto out = new_planes_for(in, Fill::zeroed);
    if (!out)
        return nullptr;
    const uint32_t w = in->w, h = in->h;
    const uint32_t cw = chroma_extent(w);
    const std::size_t luma_samples = std::size_t{w} * h;

    const BMPPIX8BNA *px = in->data;
    // Each group of 2x2 pixels gives one Cb and one Cr sample. A group cut
    // short by an odd width or height repeats its pixels up to four, so every
    // sample is the mean of four weighted differences.
    for (uint32_t i = 0; i < h; i += 2) {
        const std::size_t top = std::size_t{i} * w;
        const std::size_t below = i + 1 < h ? top + w : top;
        for (uint32_t j = 0; j < w; j += 2) {
            const uint32_t right = j + 1 < w ? j + 1 : j;
            const BMPPIX8BNA *group[4] = {&px[top + j], &px[top + right], &px[below + j],
                                          &px[below + right]};
            const std::size_t sample = std::size_t{i / 2} * cw + j / 2;
            group_chroma(group, &out->CbData[sample], &out->CrData[sample]);
        }
    }
    for (std::size_t n = 0; n < luma_samples; ++n)
        out->Ydata[n] = luma_sample(px[n]);
    return out.release();
}

PDRGB *CBCRtoRGB(const PDCBCR *in)
{
    auto out = new_pixels_for(in, Fill::zeroed);
    if (!out)
        return nullptr;
    const uint32_t w = in->w, h = in->h;

    // Every pixel takes the chrominance of the group it belongs to; a pixel
    // that a short group counts more than once gets the same values each
    // time, so one pass over the pixels is the whole conversion.
    const uint32_t cw = chroma_extent(w);
    for (uint32_t y = 0; y < h; ++y) {
        const int16_t *luma = in->Ydata + std::size_t{y} * w;
        const std::size_t group_row = std::size_t{y / 2} * cw;
        BMPPIX8BNA *row = out->data + std::size_t{y} * w;
        for (uint32_t x = 0; x < w; ++x)
            row[x] = rgb_pixel(luma[x], in->CbData[group_row + x / 2] - kChromaZero,
                               in->CrData[group_row + x / 2] - kChromaZero);
    }
    return out.release();
}

int16_t *getDCTedBlock(uint8_t blkType, uint32_t blkNum, const PDCBCR *in)
{
    PlaneBlocks plane{};
    const int16_t *samples = nullptr;
    if (!block_arguments(blkType, blkNum, in, &plane, &samples))
        return nullptr;

    matrix_ptr valBlk = take_matrix(matMakeD(8, 8));
    if (!valBlk)
        return nullptr;
    gather(samples, plane, blkNum, valBlk->ptr);

    matrix_ptr cosMat = take_matrix(prepDCT());
    if (!cosMat)
        return nullptr;
    matrix_ptr cosMatT = take_matrix(matTranspondD(cosMat.get()));
    if (!cosMatT)
        return nullptr;
    matrix_ptr matTemp = take_matrix(matMultD(cosMat.get(), valBlk.get()));
    if (!matTemp)
        return nullptr;
    matrix_ptr matTemp2 = take_matrix(matMultD(matTemp.get(), cosMatT.get()));
    if (!matTemp2)
        return nullptr;
    valBlk.reset();
    matTemp.reset();
    cosMat.reset();
    cosMatT.reset();

    const heap_ptr<int16_t[]> quantised(quantum(matTemp2->ptr));
    if (!quantised)
        return nullptr;
    int16_t *result = new_samples(kBlockSamples);
    matTemp2.reset();
    if (!result)
        return nullptr;
    for (std::size_t k = 0; k < kBlockSamples; ++k)
        result[k] = quantised[PERM_MAT[k]];
    return result;
}

DCTDATA *toDCT2(const PDCBCR *in, uint16_t qRate)
{
    PictureBlocks blocks{};
    auto out = new_coefficients_for(in, qRate, &blocks, Fill::zeroed);
    if (!out)
        return nullptr;

    fill_quant_mat(qRate);
    const struct {
        uint8_t type;
        uint32_t count;
        int16_t *store;
    } planes[] = {{kLumaBlock, blocks.luma.count, out->YdataDCT},
                  {kCbBlock, blocks.chroma.count, out->CbDataDCT},
                  {kCrBlock, blocks.chroma.count, out->CrDataDCT}};
    for (const auto &plane : planes)
        for (uint32_t n = 0; n < plane.count; ++n) {
            const heap_ptr<int16_t[]> block(reference::getDCTedBlock(plane.type, n, in));
            if (!block)
                return nullptr; // getDCTedBlock has printed why
            std::memcpy(plane.store + kBlockSamples * n, block.get(),
                        kBlockSamples * sizeof(int16_t));
        }

    out->YBlks = blocks.luma.count;
    out->CBlks = blocks.chroma.count;
    out->w = in->w;
    out->h = in->h;
    return out.release();
}

PDCBCR *returnFromDCT(const DCTDATA *data, uint8_t qRate)
{
    PictureBlocks blocks{};
    std::size_t luma_samples = 0, chroma_samples = 0;
    if (!inverse_arguments(data, &blocks, &luma_samples, &chroma_samples))
        return nullptr;

    InverseBasis basis;
    basis.cosMat = take_matrix(prepDCT());
    if (!basis.cosMat)
        return nullptr;
    basis.cosMatT = take_matrix(matTranspondD(basis.cosMat.get()));
    if (!basis.cosMatT)
        return nullptr;
    basis.dataMat = take_matrix(matMakeD(8, 8));
    if (!basis.dataMat)
        return nullptr;

    auto out = new_cbcr_record();
    if (!out)
        return nullptr;
    out->Ydata = new_samples(std::size_t{blocks.luma.width} * blocks.luma.height);
    if (!out->Ydata)
        return nullptr;
    heap_ptr<int16_t[]> yBuf(new_samples(luma_samples));
    if (!yBuf)
        return nullptr;
    heap_ptr<int16_t[]> buf(new_samples(kBlockSamples));
    if (!buf)
        return nullptr;
    heap_ptr<int16_t[]> cbBuf;

    fill_quant_mat(qRate);
    if (!decode_blocks(data->YdataDCT, data->YBlks, basis, buf.get(), yBuf.get()))
        return nullptr;
    scatter(yBuf.get(), blocks.luma, out->Ydata);

    // One store serves both chrominance planes, Cr overwriting Cb once Cb
    // has been placed.
    const std::size_t chroma_plane = std::size_t{blocks.chroma.width} * blocks.chroma.height;
    out->CbData = new_samples(chroma_plane);
    if (!out->CbData)
        return nullptr;
    cbBuf.reset(new_samples(chroma_samples));
    if (!cbBuf)
        return nullptr;
    if (!decode_blocks(data->CbDataDCT, data->CBlks, basis, buf.get(), cbBuf.get()))
        return nullptr;
    scatter(cbBuf.get(), blocks.chroma, out->CbData);

    out->CrData = new_samples(chroma_plane);
    if (!out->CrData)
        return nullptr;
    if (!decode_blocks(data->CrDataDCT, data->CBlks, basis, buf.get(), cbBuf.get()))
        return nullptr;
    scatter(cbBuf.get(), blocks.chroma, out->CrData);

    out->dBytes = row_padding(data->w);
    out->w = data->w;
    out->h = data->h;
    basis.cosMat.reset();
    basis.cosMatT.reset();
    basis.dataMat.reset();
    yBuf.reset();
    cbBuf.reset();
    buf.reset();
    return out.release();
}

} // namespace dctlab::img::reference

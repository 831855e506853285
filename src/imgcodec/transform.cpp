/* The forward and inverse block transform of a picture's three planes.
 *
 * Each plane is cut into 8x8 blocks numbered row by row; a block that runs
 * past the right or bottom edge is padded with zeros on the way in, and its
 * samples beyond the edge are dropped on the way out. A block B becomes
 * F = (C·B)·Cᵀ with the orthonormal basis C of the matrix library, is
 * quantised with QUANT_MAT and is stored in zigzag order; the inverse undoes
 * the order, multiplies back and forms (Cᵀ·F)·C, rounding to the nearest
 * sample.
 *
 * The products are those of the matrix library, element for element and bit
 * for bit (reference.h has them spelt out through the library itself), but
 * formed by the block kernels of fast_path.h straight from and into the
 * planes, with the basis fetched once and no allocation beyond the results.
 * Should the basis be missing, the straightforward path does the work. */
#include "imgcodec.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "block_geometry.h"
#include "fast_path.h"
#include "kept_blocks.h"
#include "messages.h"
#include "quant_matrix.h"
#include "records.h"
#include "reference.h"
#include "result_memory.h"

using namespace dctlab::img;

int16_t *getDCTedBlock(uint8_t blkType, uint32_t blkNum, const PDCBCR *in)
{
    const fast::Basis *basis = fast::basis();
    if (!basis)
        return reference::getDCTedBlock(blkType, blkNum, in);
    PlaneBlocks plane{};
    const int16_t *samples = nullptr;
    if (!block_arguments(blkType, blkNum, in, &plane, &samples))
        return nullptr;
    // quantum refuses an unfilled matrix; so does its fast counterpart.
    if (!divisors_usable()) {
        std::puts(kInvalidArgument);
        return nullptr;
    }
    int16_t *result = new_samples(kBlockSamples);
    if (!result)
        return nullptr;
    fast::Quantiser q;
    fast::make_quantiser(QUANT_MAT, &q);
    fast::kernels().forward_blocks(samples, plane, blkNum, 1, *basis, q, result);
    return result;
}

DCTDATA *toDCT2(const PDCBCR *in, uint16_t qRate)
{
    const fast::Basis *basis = fast::basis();
    if (!basis)
        return reference::toDCT2(in, qRate);
    // Every block of every store is written.
    PictureBlocks blocks{};
    auto out = new_coefficients_for(in, qRate, &blocks, Fill::written);
    if (!out)
        return nullptr;

    fill_quant_mat(qRate);
    fast::Quantiser q;
    fast::make_quantiser(QUANT_MAT, &q);
    const fast::Kernels &k = fast::kernels();
    k.forward_blocks(in->Ydata, blocks.luma, 0, blocks.luma.count, *basis, q, out->YdataDCT);
    k.forward_blocks(in->CbData, blocks.chroma, 0, blocks.chroma.count, *basis, q, out->CbDataDCT);
    k.forward_blocks(in->CrData, blocks.chroma, 0, blocks.chroma.count, *basis, q, out->CrDataDCT);

    out->YBlks = blocks.luma.count;
    out->CBlks = blocks.chroma.count;
    out->w = in->w;
    out->h = in->h;
    return out.release();
}

void freeDCT(DCTDATA *in)
{
    if (!in)
        return;
    release_block(in->YdataDCT);
    release_block(in->CbDataDCT);
    release_block(in->CrDataDCT);
    std::free(in);
}

PDCBCR *returnFromDCT(const DCTDATA *data, uint8_t qRate)
{
    const fast::Basis *basis = fast::basis();
    if (!basis)
        return reference::returnFromDCT(data, qRate);
    PictureBlocks blocks{};
    std::size_t luma_samples = 0, chroma_samples = 0;
    if (!inverse_arguments(data, &blocks, &luma_samples, &chroma_samples))
        return nullptr;

    auto out = new_cbcr_record();
    if (!out)
        return nullptr;
    const std::size_t chroma_plane = std::size_t{blocks.chroma.width} * blocks.chroma.height;
    // The blocks cover every sample of every plane.
    if (!(out->Ydata = new_written_samples(std::size_t{blocks.luma.width} * blocks.luma.height)) ||
        !(out->CbData = new_written_samples(chroma_plane)) ||
        !(out->CrData = new_written_samples(chroma_plane)))
        return nullptr;

    fill_quant_mat(qRate);
    const fast::Kernels &k = fast::kernels();
    k.inverse_plane(data->YdataDCT, blocks.luma, *basis, QUANT_MAT, out->Ydata);
    k.inverse_plane(data->CbDataDCT, blocks.chroma, *basis, QUANT_MAT, out->CbData);
    k.inverse_plane(data->CrDataDCT, blocks.chroma, *basis, QUANT_MAT, out->CrData);

    out->dBytes = row_padding(data->w);
    out->w = data->w;
    out->h = data->h;
    return out.release();
}

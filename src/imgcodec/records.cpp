#include "records.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "block_geometry.h"
#include "geometry.h"
#include "messages.h"
#include "quant_matrix.h"
#include "result_memory.h"

namespace dctlab::img
{
namespace
{

/* The sizes of a record's picture, or the line for sizes no picture has. */
bool blocks_of(uint32_t w, uint32_t h, PictureBlocks *blocks)
{
    if (picture_blocks(w, h, blocks))
        return true;
    std::puts(kInvalidArgument);
    return false;
}

/* Rejects what the colour conversions cannot size: a record without pixels,
 * or one whose 3·w·h bytes do not fit 32 bits (every plane is then
 * smaller). */
bool colour_size(uint32_t w, uint32_t h, uint32_t *pixel_bytes)
{
    if (pixel_bytes_of(w, h, pixel_bytes))
        return true;
    std::puts(kInvalidArgument);
    return false;
}

bool planes_present(const PDCBCR *in)
{
    if (in && in->Ydata && in->CbData && in->CrData)
        return true;
    std::puts(kNullArgument);
    return false;
}

template <typename Handle> Handle new_record()
{
    using Record = typename Handle::element_type;
    Handle record(static_cast<Record *>(std::calloc(1, sizeof(Record))));
    if (!record)
        std::puts(kNoMemory);
    return record;
}

} // namespace

bool to_planes_arguments(const PDRGB *in)
{
    if (!in || !in->data) {
        std::puts(kNullArgument);
        return false;
    }
    uint32_t pixel_bytes = 0; // the planes are sized by samples, not bytes
    return colour_size(in->w, in->h, &pixel_bytes);
}

bool to_rgb_arguments(const PDCBCR *in, uint32_t *pixel_bytes)
{
    return planes_present(in) && colour_size(in->w, in->h, pixel_bytes);
}

bool block_arguments(uint8_t blkType, uint32_t blkNum, const PDCBCR *in, PlaneBlocks *plane,
                     const int16_t **samples)
{
    if (!planes_present(in))
        return false;
    if (blkType != kLumaBlock && blkType != kCbBlock && blkType != kCrBlock) {
        std::puts(kInvalidArgument);
        return false;
    }
    PictureBlocks blocks{};
    if (!blocks_of(in->w, in->h, &blocks))
        return false;
    *plane = blkType == kLumaBlock ? blocks.luma : blocks.chroma;
    if (blkNum >= plane->count) {
        std::puts(kInvalidArgument);
        return false;
    }
    *samples = blkType == kLumaBlock ? in->Ydata : blkType == kCbBlock ? in->CbData : in->CrData;
    return true;
}

bool forward_arguments(const PDCBCR *in, uint16_t qRate, PictureBlocks *blocks,
                       std::size_t *luma_samples, std::size_t *chroma_samples)
{
    if (!planes_present(in))
        return false;
    if (qRate > kMaxQuantRate) {
        std::puts(kInvalidArgument);
        return false;
    }
    if (!blocks_of(in->w, in->h, blocks))
        return false;
    if (!block_store_samples(blocks->luma.count, luma_samples) ||
        !block_store_samples(blocks->chroma.count, chroma_samples)) {
        std::puts(kInvalidArgument);
        return false;
    }
    return true;
}

bool inverse_arguments(const DCTDATA *data, PictureBlocks *blocks, std::size_t *luma_samples,
                       std::size_t *chroma_samples)
{
    if (!data || !data->YdataDCT || !data->CbDataDCT || !data->CrDataDCT) {
        std::puts(kNullArgument);
        return false;
    }
    if (!blocks_of(data->w, data->h, blocks))
        return false;
    if (data->YBlks != blocks->luma.count || data->CBlks != blocks->chroma.count ||
        !block_store_samples(blocks->luma.count, luma_samples) ||
        !block_store_samples(blocks->chroma.count, chroma_samples)) {
        std::puts(kInvalidArgument);
        return false;
    }
    return true;
}

RgbPtr new_rgb_record()
{
    return new_record<RgbPtr>();
}

CbcrPtr new_cbcr_record()
{
    return new_record<CbcrPtr>();
}

DctPtr new_dct_record()
{
    return new_record<DctPtr>();
}

namespace
{

int16_t *samples(std::size_t n, Fill fill)
{
    return fill == Fill::written ? new_written_samples(n) : new_samples(n);
}

} // namespace

CbcrPtr new_planes_for(const PDRGB *in, Fill fill)
{
    if (!to_planes_arguments(in))
        return nullptr;
    const std::size_t luma_samples = std::size_t{in->w} * in->h;
    const std::size_t chroma_samples = std::size_t{chroma_extent(in->w)} * chroma_extent(in->h);
    auto out = new_cbcr_record();
    if (!out || !(out->Ydata = samples(luma_samples, fill)) ||
        !(out->CbData = samples(chroma_samples, fill)) ||
        !(out->CrData = samples(chroma_samples, fill)))
        return nullptr;
    out->w = in->w;
    out->h = in->h;
    out->dBytes = in->dBytes;
    return out;
}

RgbPtr new_pixels_for(const PDCBCR *in, Fill fill)
{
    uint32_t pixel_bytes = 0;
    if (!to_rgb_arguments(in, &pixel_bytes))
        return nullptr;
    auto out = new_rgb_record();
    if (!out)
        return nullptr;
    void *pixels =
        fill == Fill::written ? new_written_bytes(pixel_bytes) : std::calloc(pixel_bytes, 1);
    if (!pixels) {
        if (fill == Fill::zeroed)
            std::puts(kNoMemory);
        return nullptr;
    }
    out->data = static_cast<BMPPIX8BNA *>(pixels);
    out->w = in->w;
    out->h = in->h;
    out->dBytes = in->dBytes;
    return out;
}

DctPtr new_coefficient_stores(std::size_t luma_samples, std::size_t chroma_samples, Fill fill)
{
    auto out = new_dct_record();
    if (!out || !(out->YdataDCT = samples(luma_samples, fill)) ||
        !(out->CbDataDCT = samples(chroma_samples, fill)) ||
        !(out->CrDataDCT = samples(chroma_samples, fill)))
        return nullptr;
    return out;
}

DctPtr new_coefficients_for(const PDCBCR *in, uint16_t qRate, PictureBlocks *blocks, Fill fill)
{
    std::size_t luma_samples = 0, chroma_samples = 0;
    if (!forward_arguments(in, qRate, blocks, &luma_samples, &chroma_samples))
        return nullptr;
    return new_coefficient_stores(luma_samples, chroma_samples, fill);
}

} // namespace dctlab::img

/* Colour conversion between RGB pixels and a luminance plane with two
 * chrominance planes subsampled 2x2.
 *
 * Results are defined to the bit by the long double arithmetic of
 * colour_formulae.h: the forward direction rounds each result half away
 * from zero through roun, after narrowing it to double; the inverse
 * truncates toward zero and saturates to 0..255. Neither is the other's
 * exact inverse: grey survives a round trip, saturated colours move by a
 * step or two.
 *
 * The conversions here reach those results by a shorter road (fast_path.h):
 * the integer sums that the defined arithmetic approximates, with the few
 * pixels that lie on a rounding boundary recomputed in long double. The
 * bounds that make this exact stand beside the kernels. */
#include "imgcodec.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "fast_path.h"
#include "geometry.h"
#include "kept_blocks.h"
#include "records.h"
#include "result_memory.h"

using namespace dctlab::img;

PDCBCR *RGBtoCBCR(const PDRGB *in)
{
    if (!to_planes_arguments(in))
        return nullptr;
    const uint32_t w = in->w, h = in->h;
    const std::size_t luma_samples = std::size_t{w} * h;
    const std::size_t chroma_samples = std::size_t{chroma_extent(w)} * chroma_extent(h);

    auto out = new_cbcr_record();
    if (!out)
        return nullptr;
    // The kernel writes every sample of the three planes.
    if (!(out->Ydata = new_written_samples(luma_samples)) ||
        !(out->CbData = new_written_samples(chroma_samples)) ||
        !(out->CrData = new_written_samples(chroma_samples)))
        return nullptr;

    fast::kernels().rgb_to_planes(in->data, w, h, out->Ydata, out->CbData, out->CrData);

    out->w = w;
    out->h = h;
    out->dBytes = in->dBytes;
    return out.release();
}

PDRGB *CBCRtoRGB(const PDCBCR *in)
{
    uint32_t pixel_bytes = 0;
    if (!to_rgb_arguments(in, &pixel_bytes))
        return nullptr;
    const uint32_t w = in->w, h = in->h;

    auto out = new_rgb_record();
    if (!out)
        return nullptr;
    // The kernel writes every pixel.
    out->data = static_cast<BMPPIX8BNA *>(new_written_bytes(pixel_bytes));
    if (!out->data)
        return nullptr;

    fast::kernels().planes_to_rgb(in->Ydata, in->CbData, in->CrData, w, h, out->data);

    out->w = w;
    out->h = h;
    out->dBytes = in->dBytes;
    return out.release();
}

void freeCBCR(PDCBCR *in)
{
    if (!in)
        return;
    release_block(in->Ydata);
    release_block(in->CbData);
    release_block(in->CrData);
    std::free(in);
}

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
    // The kernel writes every sample of the three planes.
    auto out = new_planes_for(in, Fill::written);
    if (!out)
        return nullptr;
    fast::kernels().rgb_to_planes(in->data, in->w, in->h, out->Ydata, out->CbData, out->CrData);
    return out.release();
}

PDRGB *CBCRtoRGB(const PDCBCR *in)
{
    // The kernel writes every pixel.
    auto out = new_pixels_for(in, Fill::written);
    if (!out)
        return nullptr;
    fast::kernels().planes_to_rgb(in->Ydata, in->CbData, in->CrData, in->w, in->h, out->data);
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

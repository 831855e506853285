/* A rate's coefficients from those of rate 0, without the transform.
 *
 * At rate 0 every divisor is 1, so toDCT2 gives each coefficient rounded and
 * nothing more; at any rate it divides that same rounded value
 * (quantise_rounded). A sweep over rates therefore transforms once and
 * divides once a rate. */
#ifndef DCTLAB_IMGCODEC_REQUANTISE_H
#define DCTLAB_IMGCODEC_REQUANTISE_H

#include <cstdint>

#include "imgcodec.h"
#include "record_handles.h"

namespace dctlab::img
{

/* What toDCT2 gives at rate 0, every coefficient rounded and none divided,
 * with the blocks shared among up to `threads` threads (they touch nothing
 * but the record, unlike toDCT2, which fills QUANT_MAT). Null after the
 * library's line, for the planes that toDCT2 refuses or for want of
 * memory. */
DctPtr rounded_coefficients(const PDCBCR &planes, unsigned threads);

/* What toDCT2 gives at `rate` for the planes that gave `rounded` at rate 0,
 * into `out`: its stores are written over where it has them and as many
 * blocks, and made anew otherwise. False after the library's line: a record whose
 * stores are missing or whose block counts are not its size's, a rate above
 * kMaxQuantRate, or no memory. */
bool requantise(const DCTDATA &rounded, uint16_t rate, DctPtr &out);

} // namespace dctlab::img

#endif

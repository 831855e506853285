/* The straightforward picture path: the colour conversions pixel by pixel in
 * long double, and the block transforms through the matrix library with a
 * fresh matrix for every product and a fresh array for every block.
 *
 * These are the definitions that the public functions must reproduce bit
 * for bit. They are kept beside the fast path as its oracle (the exactness
 * tests and the benchmark compare the two on every sample, coefficient and
 * byte) and behave like the public functions in every respect, failures
 * included, apart from the number of allocations they make. */
#ifndef DCTLAB_IMGCODEC_REFERENCE_H
#define DCTLAB_IMGCODEC_REFERENCE_H

#include <cstdint>

#include "imgcodec.h"

namespace dctlab::img::reference
{

PDCBCR *RGBtoCBCR(const PDRGB *in);
PDRGB *CBCRtoRGB(const PDCBCR *in);
int16_t *getDCTedBlock(uint8_t blkType, uint32_t blkNum, const PDCBCR *in);
DCTDATA *toDCT2(const PDCBCR *in, uint16_t qRate);
PDCBCR *returnFromDCT(const DCTDATA *data, uint8_t qRate);

} // namespace dctlab::img::reference

#endif

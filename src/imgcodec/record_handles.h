/* Owning handles for the image library's records, for the project's own C++
 * callers (the dctlab program, tests, benchmarks): each releases its record
 * with the record's own release function. Not installed; the C interface
 * stays plain pointers. */
#ifndef DCTLAB_IMGCODEC_RECORD_HANDLES_H
#define DCTLAB_IMGCODEC_RECORD_HANDLES_H

#include <memory>

#include "imgcodec.h"

namespace dctlab::img
{

struct RgbRelease {
    void operator()(PDRGB *p) const { freeRGB(p); }
};
struct CbcrRelease {
    void operator()(PDCBCR *p) const { freeCBCR(p); }
};
struct DctRelease {
    void operator()(DCTDATA *p) const { freeDCT(p); }
};
using RgbPtr = std::unique_ptr<PDRGB, RgbRelease>;
using CbcrPtr = std::unique_ptr<PDCBCR, CbcrRelease>;
using DctPtr = std::unique_ptr<DCTDATA, DctRelease>;

} // namespace dctlab::img

#endif

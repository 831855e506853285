/* The records of the picture path: the refusals of each function's
 * arguments and the allocation of the record it returns, shared by the
 * public functions and the straightforward path (reference.h), so that every
 * refusal rule has one home and both print the same line for it. Each
 * refusal prints its line from messages.h. */
#ifndef DCTLAB_IMGCODEC_RECORDS_H
#define DCTLAB_IMGCODEC_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "imgcodec.h"
#include "record_handles.h"

namespace dctlab::img
{

/* RGBtoCBCR's refusals: a missing record or pixels, and sizes that the
 * conversions cannot handle (pixel_bytes_of). */
bool to_planes_arguments(const PDRGB *in);

/* CBCRtoRGB's refusals: a missing record or plane, and sizes as above; on
 * success the bytes of the pixels. */
bool to_rgb_arguments(const PDCBCR *in, uint32_t *pixel_bytes);

/* getDCTedBlock's refusals, in their order: a missing record or plane, a
 * block type that is none of the three, sizes no picture has, a block number
 * beyond the plane's. On success the block's plane and its samples. */
bool block_arguments(uint8_t blkType, uint32_t blkNum, const PDCBCR *in, PlaneBlocks *plane,
                     const int16_t **samples);

/* toDCT2's refusals, in their order: a missing record or plane, a rate whose
 * divisors leave 16 bits, sizes no picture has. On success the picture's
 * blocks and the sizes of its block stores. */
bool forward_arguments(const PDCBCR *in, uint16_t qRate, PictureBlocks *blocks,
                       std::size_t *luma_samples, std::size_t *chroma_samples);

/* returnFromDCT's refusals: a missing record or array, and block counts that
 * are not those of the picture's sizes — the coefficient arrays are read by
 * the counts and the planes written by the sizes, so the two must agree. */
bool inverse_arguments(const DCTDATA *data, PictureBlocks *blocks, std::size_t *luma_samples,
                       std::size_t *chroma_samples);

/* A zeroed record, held so that its release function gives it and its
 * members back unless the caller takes it (release()) once it is complete;
 * null after the memory line. */
RgbPtr new_rgb_record();
CbcrPtr new_cbcr_record();
DctPtr new_dct_record();

/* How a result's members are taken: zeroed, or, where a kernel writes every
 * sample, from the result memory without clearing (result_memory.h). */
enum class Fill { zeroed, written };

/* The results of the two conversions: after the refusals of `in` (above),
 * the record with its members allocated and the sizes of `in`; null after
 * the refusal's or the memory line. */
CbcrPtr new_planes_for(const PDRGB *in, Fill fill);
RgbPtr new_pixels_for(const PDCBCR *in, Fill fill);

/* A coefficient record with stores of these sizes and nothing else set;
 * null after the memory line. */
DctPtr new_coefficient_stores(std::size_t luma_samples, std::size_t chroma_samples, Fill fill);

/* The forward transform's result: after toDCT2's refusals (above), the
 * record with its stores allocated, and the picture's blocks; null after the
 * refusal's or the memory line. */
DctPtr new_coefficients_for(const PDCBCR *in, uint16_t qRate, PictureBlocks *blocks, Fill fill);

} // namespace dctlab::img

#endif

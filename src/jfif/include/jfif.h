/* jfif: standard JPEG files from the picture path's coefficients.
 *
 * The blocks of a DCTDATA already are what a sequential JPEG file holds: the
 * orthonormal 8x8 DCT of full-range YCbCr samples, luminance full size and
 * chrominance subsampled 2x2, quantised and in zigzag order. The DC divisor
 * is always 1, so the level shift of 128 is exact: a file's DC value is the
 * record's minus 1024. The writer stores them as a JFIF file that any viewer
 * opens and any decoder reads; the reader gives them back exactly.
 *
 * Files: SOI, APP0 "JFIF", APP1 "Exif" with one entry, orientation 4 (row 0
 * is the bottom row: a record keeps the rows in BMP order, the bottom row
 * first, and viewers turn the picture upright by it), one quantisation table
 * (8-bit precision up to rate 18, 16-bit above) that all three components
 * use, SOF0 (SOF1, extended sequential, for 16-bit tables), components Y
 * (sampling 2x2), Cb and Cr (1x1), four Huffman tables fitted to the
 * picture's own symbols (optimal lengths of at most 16 bits, no code of all
 * ones), one interleaved scan of 16x16 MCUs, EOI. Where the luminance plane
 * has an odd number of block columns or rows, the MCUs' padding blocks repeat
 * the DC of the block before them and have no AC; decoders crop them away.
 *
 * The reader takes any file of that layout: 8-bit samples, baseline or
 * extended sequential Huffman coding, three components sampled 2x2, 1x1, 1x1,
 * one interleaved scan, and quantisation tables that are all the matrix of one
 * rate (element 8r + c = rate * (r + c) + 1). Huffman tables and their
 * numbering, restart intervals, APPn and COM segments, fill bytes and a
 * missing JFIF segment are free, so a file that another tool rewrote
 * losslessly reads back to the same coefficients. Rows come back in the
 * file's order.
 *
 * Failures are reported as in the image library: a null (or 0) result and one
 * "ERROR: ..." line on standard output. A record the writer cannot store (a
 * rate over 2340, a DC difference beyond category 11 or an AC coefficient
 * beyond category 10, arrays that do not match w and h) gives "ERROR: Invalid
 * argument given!" and nothing is written; a failed write leaves no file. The
 * reader checks everything it reads and refuses frames of more than 2^28
 * pixels before allocating. Results are malloc memory: free a buffer with
 * free, a record with freeDCT. The functions keep no state between calls
 * and neither read nor change QUANT_MAT.
 */
#ifndef DCTLAB_JFIF_H
#define DCTLAB_JFIF_H

#include <stddef.h>
#include <stdint.h>

#include "imgcodec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The file of `data` quantised at rate qRate (0 to 2340) as a new buffer of
 * *size bytes, or null. */
uint8_t *encodeJPEG(const DCTDATA *data, uint16_t qRate, size_t *size);
/* The same written to fName; 1 on success, 0 on failure. */
int writeJPEG(const char *fName, const DCTDATA *data, uint16_t qRate);

/* A new record from the `size` bytes of a file, its rate in *qRate; or null. */
DCTDATA *decodeJPEG(const uint8_t *bytes, size_t size, uint16_t *qRate);
/* The same read from fName. */
DCTDATA *readJPEG(const char *fName, uint16_t *qRate);

#ifdef __cplusplus
}
#endif

#endif

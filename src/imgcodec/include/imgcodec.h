/* imgcodec: the image transform library.
 *
 * A picture travels as records. PDRGB holds w x h pixels of three bytes in
 * the order blue, green, red, row after row in the row order of a BMP file
 * (an ordinary file stores the bottom row first), with dBytes, the zero bytes
 * that pad each row of 3w bytes to a multiple of four in the file. PDCBCR
 * holds the same picture as a full-size luminance plane and two chrominance
 * planes of ceil(w/2) x ceil(h/2) samples, one for every 2x2 group of pixels,
 * all signed 16-bit, chrominance offset by 128. DCTDATA holds the quantised
 * 8x8 blocks of the three planes, each block's 64 coefficients in zigzag
 * order, blocks numbered row by row.
 *
 * The BMP files read and written are uncompressed, 24 bits a pixel: a 14-byte
 * file header and a 40-byte info header (BMPHEADER and BMPINFOHEADER, stored
 * packed and little-endian), then the padded rows. The reader also takes the
 * longer info headers and palettes that other tools write, since it starts
 * the rows at the header's offset, and rows stored top row first.
 *
 * Every function that builds a record returns it or, on failure, null after
 * printing one "ERROR: ..." line on standard output; it then holds no memory
 * and no open file. A returned record belongs to the caller, who releases it
 * with freeRGB, freeCBCR or freeDCT; no function changes or releases the
 * records it is given. The conversions compute in long double in a fixed
 * order of operations, so their results are exact to the bit.
 *
 * QUANT_MAT is global and refilled by toDCT2 and returnFromDCT from their
 * quality rate: the library is for one thread at a time.
 */
#ifndef DCTLAB_IMGCODEC_H
#define DCTLAB_IMGCODEC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
typedef struct BMPHEADER {
    uint16_t type;
    uint32_t size;
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t offset;
} BMPHEADER; /* 14 bytes */
typedef struct BMPINFOHEADER {
    uint32_t size;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bits;
    uint32_t compression;
    uint32_t imagesize;
    int32_t xresolution;
    int32_t yresolution;
    uint32_t ncolors;
    uint32_t importantcolors;
} BMPINFOHEADER; /* 40 bytes */
typedef struct BMPPIX8BNA {
    uint8_t B;
    uint8_t G;
    uint8_t R;
} BMPPIX8BNA; /* 3 bytes */
#pragma pack(pop)

typedef struct PDRGB {
    uint32_t w;
    uint32_t h;
    BMPPIX8BNA *data;
    uint8_t dBytes;
} PDRGB;
typedef struct PDCBCR {
    uint32_t w;
    uint32_t h;
    uint8_t dBytes;
    int16_t *Ydata;
    int16_t *CbData;
    int16_t *CrData;
} PDCBCR;
typedef struct DCTDATA {
    uint32_t YBlks;
    uint32_t CBlks;
    uint32_t w;
    uint32_t h;
    int16_t *YdataDCT;
    int16_t *CbDataDCT;
    int16_t *CrDataDCT;
} DCTDATA;

extern int16_t QUANT_MAT[64];
extern const uint8_t PERM_MAT[64];
extern const uint8_t REV_PERM_MAT[64];

/* Nearest integer, halves away from zero, clamped to -32768 ... 32767;
 * NaN gives 0. */
int16_t roun(double num);

PDRGB *getRGBFromFile(const char *fName);
void writeToBMP(const char *fName, const PDRGB *dataToWrite);
void freeRGB(PDRGB *in);

PDCBCR *RGBtoCBCR(const PDRGB *in);
PDRGB *CBCRtoRGB(const PDCBCR *in);
void freeCBCR(PDCBCR *in);

void shrtTodbl(const int16_t *src, double *dest);
void dblToshrt(const double *src, int16_t *dest);
int16_t *quantum(const double *inp);
int16_t *unQuantum(const int16_t *inp);
void zigzag(const int16_t *in, int16_t *out);

DCTDATA *toDCT2(const PDCBCR *in, uint16_t qRate);
int16_t *getDCTedBlock(uint8_t blkType, uint32_t blkNum, const PDCBCR *in);
void freeDCT(DCTDATA *in);
PDCBCR *returnFromDCT(const DCTDATA *data, uint8_t qRate);

void testPSNRforRGB(const PDRGB *bfore, const PDRGB *aft);
void testPSNROnPlate(const PDCBCR *bfore, const PDCBCR *aft);
void testDCT(uint8_t qRate);

#ifdef __cplusplus
}
#endif

#endif

/* What the writer and the reader of JPEG files share: the markers, the
 * limits of the codes, and the order in which an interleaved scan visits the
 * blocks of a picture. */
#ifndef DCTLAB_JFIF_JPEG_LAYOUT_H
#define DCTLAB_JFIF_JPEG_LAYOUT_H

#include <cstdint>

#include "imgcodec.h"

namespace dctlab::jfif
{

namespace marker
{
constexpr uint8_t SOF0 = 0xC0, SOF1 = 0xC1, SOF2 = 0xC2, SOF3 = 0xC3, DHT = 0xC4, SOF5 = 0xC5,
                  SOF7 = 0xC7, JPG = 0xC8, SOF9 = 0xC9, DAC = 0xCC, SOF15 = 0xCF, RST0 = 0xD0,
                  RST7 = 0xD7, SOI = 0xD8, EOI = 0xD9, SOS = 0xDA, DQT = 0xDB, DNL = 0xDC,
                  DRI = 0xDD, DHP = 0xDE, EXP = 0xDF, APP0 = 0xE0, APP1 = 0xE1, APP15 = 0xEF,
                  COM = 0xFE;
}

/* The record's DC is the file's plus the level shift of 128 samples times 8. */
constexpr int kDcShift = 1024;
/* The largest categories a Huffman code of 8-bit samples carries. */
constexpr int kMaxDcCategory = 11;
constexpr int kMaxAcCategory = 10;
constexpr int kMaxDcDifference = (1 << kMaxDcCategory) - 1;
constexpr int kMaxAcMagnitude = (1 << kMaxAcCategory) - 1;

/* Rates whose every divisor (at most 14 * rate + 1) fits 8 bits: their tables
 * go into baseline files, the others' into extended sequential ones. */
constexpr int kLargestBaselineRate = 18;
constexpr int kLargestRate = 2340;
static_assert(14 * kLargestBaselineRate + 1 <= 255 && 14 * (kLargestBaselineRate + 1) + 1 > 255);
static_assert(14 * kLargestRate + 1 <= 32767);

/* Frames of more pixels are refused before anything is allocated. */
constexpr uint64_t kMaxFramePixels = uint64_t{1} << 28;

/* The divisor of zigzag position k at a rate. */
inline uint16_t divisor(int rate, int k)
{
    const int position = PERM_MAT[k];
    return static_cast<uint16_t>(rate * (position / 8 + position % 8) + 1);
}

/* The blocks of a w x h picture in the order of the scan: MCUs of 16 x 16
 * pixels row by row, each four luminance blocks (two rows of two), then one
 * Cb and one Cr. Luminance blocks beyond the plane's are padding. */
struct ScanGeometry {
    uint32_t mcu_columns, mcu_rows;
    uint32_t luma_columns, luma_rows; // the record's blocks; chroma has one a MCU

    ScanGeometry(uint32_t w, uint32_t h)
        : mcu_columns((w + 15) / 16), mcu_rows((h + 15) / 16), luma_columns((w + 7) / 8),
          luma_rows((h + 7) / 8)
    {
    }
    uint64_t mcus() const { return uint64_t{mcu_columns} * mcu_rows; }
};

/* Calls luma(block or -1 for padding), chroma(block) for every MCU in scan
 * order; each returns false to stop the walk, which then returns false. */
template <class Mcu> bool for_each_mcu(const ScanGeometry &g, Mcu &&mcu)
{
    for (uint32_t my = 0; my < g.mcu_rows; ++my)
        for (uint32_t mx = 0; mx < g.mcu_columns; ++mx) {
            int64_t luma[4];
            for (int i = 0; i < 4; ++i) {
                const uint32_t row = 2 * my + i / 2, column = 2 * mx + i % 2;
                luma[i] = row < g.luma_rows && column < g.luma_columns
                              ? int64_t{row} * g.luma_columns + column
                              : -1;
            }
            if (!mcu(luma, uint64_t{my} * g.mcu_columns + mx))
                return false;
        }
    return true;
}

} // namespace dctlab::jfif

#endif

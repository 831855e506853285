#include "requantise.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <iterator>
#include <thread>
#include <vector>

#include "block_geometry.h"
#include "fast_path.h"
#include "messages.h"
#include "quant_matrix.h"
#include "records.h"

namespace dctlab::img
{

namespace
{

/* The rate's divisors in zigzag order, prepared for division. */
void make_requantiser(uint16_t rate, fast::Requantiser &q)
{
    for (std::size_t k = 0; k < 64; ++k) {
        const int p = PERM_MAT[k];
        const auto d = static_cast<uint32_t>(divisor_at(rate, p / 8, p % 8));
        q.half[k] = static_cast<uint16_t>(d >> 1);
        q.magic[k] = static_cast<uint32_t>((uint64_t{1} << fast::Requantiser::kShift) / d + 1);
    }
}

} // namespace

DctPtr rounded_coefficients(const PDCBCR &planes, unsigned threads)
{
    const fast::Basis *basis = fast::basis();
    if (!basis)
        return DctPtr(toDCT2(&planes, 0));
    PictureBlocks blocks{};
    // Every block of every store is written.
    DctPtr out = new_coefficients_for(&planes, 0, &blocks, Fill::written);
    if (!out)
        return nullptr;
    out->YBlks = blocks.luma.count;
    out->CBlks = blocks.chroma.count;
    out->w = planes.w;
    out->h = planes.h;

    int16_t ones[64];
    std::fill(std::begin(ones), std::end(ones), int16_t{1});
    fast::Quantiser q;
    fast::make_quantiser(ones, &q);
    const fast::Kernels &k = fast::kernels();
    // Part t of n: the same share of each plane's blocks.
    const auto part = [&](uint64_t t, uint64_t n) {
        const auto range = [&](uint32_t count, uint32_t &first, uint32_t &size) {
            first = static_cast<uint32_t>(count * t / n);
            size = static_cast<uint32_t>(count * (t + 1) / n) - first;
        };
        uint32_t first = 0, size = 0;
        range(blocks.luma.count, first, size);
        k.forward_blocks(planes.Ydata, blocks.luma, first, size, *basis, q,
                         out->YdataDCT + std::size_t{64} * first);
        range(blocks.chroma.count, first, size);
        k.forward_blocks(planes.CbData, blocks.chroma, first, size, *basis, q,
                         out->CbDataDCT + std::size_t{64} * first);
        k.forward_blocks(planes.CrData, blocks.chroma, first, size, *basis, q,
                         out->CrDataDCT + std::size_t{64} * first);
    };
    // A thread that cannot be started leaves its part to this one.
    const unsigned n = std::clamp(threads, 1u, 64u);
    std::vector<std::thread> others;
    std::vector<unsigned> left;
    for (unsigned t = 1; t < n; ++t) {
        try {
            others.emplace_back(part, t, n);
        } catch (const std::exception &) {
            left.push_back(t);
        }
    }
    part(0, n);
    for (unsigned t : left)
        part(t, n);
    for (std::thread &t : others)
        t.join();
    return out;
}

bool requantise(const DCTDATA &rounded, uint16_t rate, DctPtr &out)
{
    PictureBlocks blocks{};
    std::size_t luma_samples = 0, chroma_samples = 0;
    if (!inverse_arguments(&rounded, &blocks, &luma_samples, &chroma_samples))
        return false;
    if (rate > kMaxQuantRate) {
        std::puts(kInvalidArgument);
        return false;
    }
    if (!out || !out->YdataDCT || !out->CbDataDCT || !out->CrDataDCT ||
        out->YBlks != rounded.YBlks || out->CBlks != rounded.CBlks) {
        // Every coefficient is written below.
        out = new_coefficient_stores(luma_samples, chroma_samples, Fill::written);
        if (!out)
            return false;
        out->YBlks = rounded.YBlks;
        out->CBlks = rounded.CBlks;
    }
    out->w = rounded.w;
    out->h = rounded.h;
    fast::Requantiser q;
    make_requantiser(rate, q);
    const fast::Kernels &k = fast::kernels();
    k.requantise_blocks(rounded.YdataDCT, rounded.YBlks, q, out->YdataDCT);
    k.requantise_blocks(rounded.CbDataDCT, rounded.CBlks, q, out->CbDataDCT);
    k.requantise_blocks(rounded.CrDataDCT, rounded.CBlks, q, out->CrDataDCT);
    return true;
}

} // namespace dctlab::img

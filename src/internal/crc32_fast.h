/* CRC-32 exactly as zlib's crc32 computes it (reflected polynomial
 * 0xEDB88320, initial and final inversion), folded with carry-less
 * multiplication where the processor has it: some 3 GB/s becomes well over
 * 10, which is what lets a stored block of the container be checked at
 * nearly the speed of copying it.
 *
 * The folding keeps four 128-bit lanes and advances each by 64 bytes with
 * x * 2^(512+32) and x * 2^(512-32) mod P (the constants k1, k2), then
 * folds the lanes into one with the 128-bit distances (k3, k4), reduces 128
 * to 64 and 64 to 32 bits (k4, k5) and ends with a Barrett reduction by
 * P' = 0x1DB710641 with mu = 0x1F7011641, all bit-reflected. Lengths that
 * are not a multiple of 16, and inputs under 64 bytes, finish in zlib, whose
 * crc32 continues a CRC from any value: the result is the same CRC as one
 * call of zlib over the whole input. Where the processor multiplies 512-bit
 * lanes (VPCLMULQDQ), four of them fold 256 bytes a round: the CRC of a
 * decoded block then costs a few percent of unpacking it, not twice that;
 * with VPCLMULQDQ on 256-bit lanes alone, four fold 128 bytes a round.
 */
#ifndef DCTLAB_INTERNAL_CRC32_FAST_H
#define DCTLAB_INTERNAL_CRC32_FAST_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define DCTLAB_CRC32_FOLD 1
#endif

namespace dctlab
{

namespace crc32_detail
{

/* zlib's crc32 takes 32-bit lengths. */
static inline uint32_t by_table(uint32_t crc, const uint8_t *data, size_t size)
{
    uLong c = crc;
    while (size > 0) {
        const uInt part = static_cast<uInt>(std::min<size_t>(size, size_t{1} << 30));
        c = crc32(c, data, part);
        data += part;
        size -= part;
    }
    return static_cast<uint32_t>(c);
}

#ifdef DCTLAB_CRC32_FOLD
/* One lane 64 or 16 bytes on: x times the distance constants, plus the next
 * data. */
__attribute__((target("pclmul,sse4.1"))) static inline __m128i fold(__m128i x, __m128i k,
                                                                    __m128i next)
{
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul,sse4.1"))) static inline __m128i load(const uint8_t *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

/* The CRC of what is folded into x0, and of the whole 16-byte pieces of
 * the `size` bytes at `data` after it. */
__attribute__((target("pclmul,sse4.1"))) static inline uint32_t
finish(__m128i x0, const uint8_t *data, size_t size)
{
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly_mu = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    for (; size >= 16; data += 16, size -= 16)
        x0 = fold(x0, k3k4, load(data));

    // 128 to 64 bits, 64 to 32 bits, then Barrett.
    __m128i x = _mm_xor_si128(_mm_clmulepi64_si128(x0, k3k4, 0x10), _mm_srli_si128(x0, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00),
                      _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly_mu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly_mu, 0x00);
    x = _mm_xor_si128(x, t);
    return ~static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

/* The CRC of the first size - size % 16 bytes, size >= 64, continuing `crc`. */
__attribute__((target("pclmul,sse4.1"))) static inline uint32_t
by_folding(uint32_t crc, const uint8_t *data, size_t size)
{
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);

    __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m128i x1 = load(data + 16), x2 = load(data + 32), x3 = load(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        x0 = fold(x0, k1k2, load(data));
        x1 = fold(x1, k1k2, load(data + 16));
        x2 = fold(x2, k1k2, load(data + 32));
        x3 = fold(x3, k1k2, load(data + 48));
    }
    x0 = fold(x0, k3k4, x1);
    x0 = fold(x0, k3k4, x2);
    x0 = fold(x0, k3k4, x3);
    return finish(x0, data, size);
}

/* The same with four 256-bit lanes (VPCLMULQDQ without AVX-512), 128 bytes
 * a round: x * 2^(1024+32) and x * 2^(1024-32) mod P; the four fold into
 * one over 256 bits, and its two halves into one over 128. Twice the rate
 * of the 128-bit lanes on a Zen 3 machine (22 GB/s against 11, in L2).
 * Size >= 128. */
#define DCTLAB_CRC32_YMM_TARGET "avx2,vpclmulqdq,pclmul,sse4.1"
__attribute__((target(DCTLAB_CRC32_YMM_TARGET))) static inline __m256i fold256(__m256i x, __m256i k,
                                                                               __m256i next)
{
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00),
                                             _mm256_clmulepi64_epi128(x, k, 0x11)),
                            next);
}

__attribute__((target(DCTLAB_CRC32_YMM_TARGET))) static inline __m256i load256(const uint8_t *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

// The 32 bytes at `at` from `p`, and with kCopy the same stored at `at`
// from `to`: a copy and its CRC in one pass over the bytes. (`to` is null
// without kCopy, and never offset then.)
template <bool kCopy>
__attribute__((target(DCTLAB_CRC32_YMM_TARGET))) static inline __m256i
take256(const uint8_t *p, uint8_t *to, size_t at)
{
    const __m256i x = load256(p + at);
    if (kCopy)
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + at), x);
    return x;
}

template <bool kCopy>
__attribute__((target(DCTLAB_CRC32_YMM_TARGET))) static inline uint32_t
by_folding_ymm(uint32_t crc, const uint8_t *data, size_t size, uint8_t *to = nullptr)
{
    const __m256i k1024 = _mm256_set_epi64x(0x14a7fe880, 0x1e88ef372, 0x14a7fe880, 0x1e88ef372);
    const __m256i k256 = _mm256_set_epi64x(0x15a546366, 0x0f1da05aa, 0x15a546366, 0x0f1da05aa);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);

    __m256i x0 =
        _mm256_xor_si256(take256<kCopy>(data, to, 0),
                         _mm256_castsi128_si256(_mm_cvtsi32_si128(static_cast<int>(~crc))));
    __m256i x1 = take256<kCopy>(data, to, 32), x2 = take256<kCopy>(data, to, 64),
            x3 = take256<kCopy>(data, to, 96);
    data += 128;
    to += kCopy ? 128 : 0;
    size -= 128;
    for (; size >= 128; data += 128, to += kCopy ? 128 : 0, size -= 128) {
        x0 = fold256(x0, k1024, take256<kCopy>(data, to, 0));
        x1 = fold256(x1, k1024, take256<kCopy>(data, to, 32));
        x2 = fold256(x2, k1024, take256<kCopy>(data, to, 64));
        x3 = fold256(x3, k1024, take256<kCopy>(data, to, 96));
    }
    x0 = fold256(x0, k256, x1);
    x0 = fold256(x0, k256, x2);
    x0 = fold256(x0, k256, x3);
    for (; size >= 32; data += 32, to += kCopy ? 32 : 0, size -= 32)
        x0 = fold256(x0, k256, take256<kCopy>(data, to, 0));
    if (kCopy && size > 0)
        std::memcpy(to, data, size);
    const __m128i x = fold(_mm256_castsi256_si128(x0), k3k4, _mm256_extracti128_si256(x0, 1));
    return finish(x, data, size);
}
#undef DCTLAB_CRC32_YMM_TARGET

/* The same with four 512-bit lanes, each 128-bit part of which folds as
 * the lanes above do, 256 bytes a round: x * 2^(2048+32) and
 * x * 2^(2048-32) mod P; the four fold into one over 512 bits (k1, k2), and
 * its four parts into one over 128 (k3, k4). Size >= 256. */
#define DCTLAB_CRC32_WIDE_TARGET "avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1"
__attribute__((target(DCTLAB_CRC32_WIDE_TARGET))) static inline __m512i
fold512(__m512i x, __m512i k, __m512i next)
{
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                     _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);
}

__attribute__((target(DCTLAB_CRC32_WIDE_TARGET))) static inline __m512i load512(const uint8_t *p)
{
    return _mm512_loadu_si512(p);
}

__attribute__((target(DCTLAB_CRC32_WIDE_TARGET))) static inline uint32_t
by_folding_wide(uint32_t crc, const uint8_t *data, size_t size)
{
    const __m512i k2048 = _mm512_set_epi64(0x1322d1430, 0x11542778a, 0x1322d1430, 0x11542778a,
                                           0x1322d1430, 0x11542778a, 0x1322d1430, 0x11542778a);
    const __m512i k512 = _mm512_set_epi64(0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4,
                                          0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);

    __m512i x0 = _mm512_xor_si512(
        load512(data), _mm512_castsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
    __m512i x1 = load512(data + 64), x2 = load512(data + 128), x3 = load512(data + 192);
    data += 256;
    size -= 256;
    for (; size >= 256; data += 256, size -= 256) {
        x0 = fold512(x0, k2048, load512(data));
        x1 = fold512(x1, k2048, load512(data + 64));
        x2 = fold512(x2, k2048, load512(data + 128));
        x3 = fold512(x3, k2048, load512(data + 192));
    }
    x0 = fold512(x0, k512, x1);
    x0 = fold512(x0, k512, x2);
    x0 = fold512(x0, k512, x3);
    for (; size >= 64; data += 64, size -= 64)
        x0 = fold512(x0, k512, load512(data));
    // (The zero-masked extracts, since the plain ones leave GCC warning of
    // an undefined vector that they never use.)
    __m128i x = _mm512_maskz_extracti32x4_epi32(0xF, x0, 0);
    x = fold(x, k3k4, _mm512_maskz_extracti32x4_epi32(0xF, x0, 1));
    x = fold(x, k3k4, _mm512_maskz_extracti32x4_epi32(0xF, x0, 2));
    x = fold(x, k3k4, _mm512_maskz_extracti32x4_epi32(0xF, x0, 3));
    return finish(x, data, size);
}
#undef DCTLAB_CRC32_WIDE_TARGET
#endif

} // namespace crc32_detail

/* crc32(crc, data, size) of zlib, for any size. */
static inline uint32_t crc32_continue(uint32_t crc, const uint8_t *data, size_t size)
{
#ifdef DCTLAB_CRC32_FOLD
    static const bool folding =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    static const bool wide =
        folding && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq");
    static const bool ymm =
        folding && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
    if (folding && size >= 64) {
        const size_t whole = size - size % 16;
        crc = wide && whole >= 256  ? crc32_detail::by_folding_wide(crc, data, whole)
              : ymm && whole >= 128 ? crc32_detail::by_folding_ymm<false>(crc, data, whole)
                                    : crc32_detail::by_folding(crc, data, whole);
        data += whole;
        size -= whole;
    }
#endif
    return crc32_detail::by_table(crc, data, size);
}

/* crc32_continue over `size` bytes that are copied to `to` meanwhile (the
 * two not overlapping): where the processor folds 256-bit lanes, each byte
 * is read once for both, and a stored block reaches its place and is
 * checked at the speed of a copy; elsewhere a copy and a CRC a 64 KiB piece
 * at a time, the piece still in the cache for the CRC. */
static inline uint32_t crc32_copy(uint32_t crc, const uint8_t *from, uint8_t *to, size_t size)
{
#ifdef DCTLAB_CRC32_FOLD
    static const bool ymm = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1") &&
                            __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
    if (ymm && size >= 128) {
        const size_t whole = size - size % 16;
        crc = crc32_detail::by_folding_ymm<true>(crc, from, whole, to);
        std::memcpy(to + whole, from + whole, size - whole);
        return crc32_detail::by_table(crc, from + whole, size - whole);
    }
#endif
    constexpr size_t kPiece = size_t{64} << 10;
    for (size_t at = 0; at < size; at += kPiece) {
        const size_t piece = std::min(kPiece, size - at);
        std::memcpy(to + at, from + at, piece);
        crc = crc32_continue(crc, from + at, piece);
    }
    return crc;
}

/* The CRC-32 of `size` bytes, as zlib's crc32(0, data, size). */
static inline uint32_t crc32_of(const uint8_t *data, size_t size)
{
    return crc32_continue(0, data, size);
}

} // namespace dctlab

#endif

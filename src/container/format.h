// The container's bytes: block types, header sizes, and the limits the
// reader holds a block to (see container.h for the layout).
#ifndef DCTLAB_CONTAINER_FORMAT_H
#define DCTLAB_CONTAINER_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "crc32_fast.h"
#include "huffman_layout.h"
#include "lengths_layout.h"

namespace dctlab::container
{

constexpr uint8_t kMagic[4] = {'D', 'L', 'H', 'F'};
constexpr uint8_t kEndMarker = 0;
constexpr uint8_t kHuffmanBlock = 1;
constexpr uint8_t kStoredBlock = 2;
constexpr uint8_t kFourStreamBlock = 3;
constexpr uint8_t kLengthsBlock = 4;
constexpr uint8_t kOneStreamBlock = 5;
constexpr uint8_t kFinalBlock = 6;
constexpr uint8_t kFinalStoredBlock = 7;
constexpr uint8_t kLongOneStreamBlock = 8;
constexpr uint8_t kLongFinalBlock = 9;
constexpr size_t kHeaderSize = 5;            // the magic and the version
constexpr size_t kOldHeaderSize = 8;         // and three zero bytes, before version 5
constexpr size_t kBlockHeaderSize = 16;      // N, A, E, CRC after the type byte
constexpr size_t kStoredHeaderSize = 8;      // N, CRC after the type byte
constexpr size_t kFinalStoredHeaderSize = 4; // the CRC after the type byte
constexpr size_t kFourStreamHeaderSize = 28; // N, A, E0 to E3, CRC after the type byte
// The first version with stored and with four-stream blocks.
constexpr uint8_t kStoredSince = 2;
constexpr uint8_t kFourStreamsSince = 3;
constexpr uint8_t kLengthsSince = 4;
// The first version with one-stream lengths blocks, lengths blocks whose
// streams end at a byte, an end marker whose total is a varint, and no zero
// bytes after the version.
constexpr uint8_t kOneStreamSince = 5;
constexpr uint8_t kExactStreamsSince = 5;
constexpr uint8_t kVarintEndSince = 5;
constexpr uint8_t kShortHeaderSince = 5;
// The first version with final blocks, and with final stored blocks.
constexpr uint8_t kFinalSince = 6;
constexpr uint8_t kFinalStoredSince = 7;
// The first version with long one-stream and long final blocks.
constexpr uint8_t kLongCodesSince = 8;
// The first version whose lengths blocks store their streams in byte order.
constexpr uint8_t kByteOrderSince = 9;
// A lengths block's header: N, T and the lengths of its streams as
// varints (see container.h), then the CRC.
constexpr size_t kVarintMostBytes = 5;
constexpr size_t kLengthsHeaderMostSize = 6 * kVarintMostBytes + 4;

constexpr size_t kVarint64MostBytes = 10;

constexpr size_t varint_size(uint64_t value)
{
    size_t n = 1;
    for (; value >= 0x80; value >>= 7)
        ++n;
    return n;
}

inline size_t put_varint(uint8_t *at, uint64_t value)
{
    size_t n = 0;
    for (; value >= 0x80; value >>= 7)
        at[n++] = static_cast<uint8_t>(value | 0x80);
    at[n++] = static_cast<uint8_t>(value);
    return n;
}
// The decoder serves codes of up to 22 bits, and form_tree writes no longer;
// a four-stream block's codes are at most 11 bits long.
constexpr int kMaxCodeLength = huffman::lookup_bits;
constexpr int kMaxShortCodeLength = huffman::short_code_bits;
// A long block's codes are at most 15 bits long.
constexpr int kMaxLongCodeLength = huffman::long_code_bits;

constexpr size_t table_stream_size(size_t leaves)
{
    return static_cast<size_t>(huffman::table_stream_bytes(static_cast<int>(leaves)));
}

inline uint32_t crc_of(const uint8_t *data, size_t size)
{
    return crc32_of(data, size);
}

} // namespace dctlab::container

#endif

// The dctlab container: a file compressed with the toolkit's Huffman coder.
//
// Layout, every integer little-endian:
//
//   file header   5 bytes   "DLHF", format version (1 byte, now 9)
//   blocks        one after another, each one of:
//     Huffman     1 byte    block type 1
//                 4 bytes   N, the block's original length (1 to 2^28)
//                 4 bytes   A, the length of the table stream
//                 4 bytes   E, the length of the encoded stream (a multiple of 4)
//                 4 bytes   CRC-32 (zlib's) of the block's N original bytes
//                 A bytes   the table stream that form_tree wrote for the block
//                 E bytes   the encoded stream that encode writes for it
//     stored      1 byte    block type 2
//                 4 bytes   N, the block's length (1 to 2^28)
//                 4 bytes   CRC-32 of its N bytes
//                 N bytes   the bytes themselves
//     four-stream 1 byte    block type 3
//                 4 bytes   N, the block's original length (1 to 2^28)
//                 4 bytes   A, the length of the table stream
//                 16 bytes  E0 to E3, the lengths of the four encoded streams
//                           (each a multiple of 4)
//                 4 bytes   CRC-32 of the block's N original bytes
//                 A bytes   the table stream of the block's code, whose codes
//                           are at most 11 bits long
//                 E0 to E3 bytes  the four encoded streams: stream k is what
//                           encode writes for the bytes from stream_share(N, k)
//                           to stream_share(N, k + 1), the block cut in four
//                           shares as even as whole bytes allow
//     lengths     1 byte    block type 4
//                 varint    N, the block's original length (1 to 2^28)
//                 varint    T, the length of the lengths table
//                 4 varints E0 to E3, the lengths of the four encoded streams
//                 4 bytes   CRC-32 of the block's N original bytes
//                 T bytes   the lengths of the block's code, at most 11 bits
//                           each, as lengths_layout.h lays them out
//                 E0 to E3 bytes  the four encoded streams, cut as in a
//                           four-stream block, coded with the canonical code
//                           of those lengths, in byte order: each word's
//                           bytes from its top one down, so that the bits
//                           run in the order of the bytes, and each stream
//                           cut at the byte its codes reach
//     one-stream  1 byte    block type 5
//                 varint    N, the block's original length (1 to 2^28)
//                 varint    T, the length of the lengths table
//                 varint    E, the length of the encoded stream
//                 4 bytes   CRC-32 of the block's N original bytes
//                 T bytes   the lengths of the block's code, as above
//                 E bytes   the encoded stream of all N bytes, coded and cut
//                           as each stream of a lengths block
//     final       1 byte    block type 6: a one-stream block that ends the
//                           container, with no end marker after it
//                 varint    the total original length, the sum of every N,
//                           its own included (at most 64 bits); its own N
//                           is what the blocks before it leave (1 to 2^28)
//                 4 bytes   CRC-32 of the block's N original bytes
//                 ...       the lengths of the block's code, as above: the
//                           table ends at the byte its last length reaches
//                 the rest  the encoded stream of its N bytes, coded and cut
//                           as in a one-stream block: every byte to the end
//     final       1 byte    block type 7: a stored block that ends the
//     stored                container, with no end marker after it
//                 4 bytes   CRC-32 of the block's N bytes
//                 the rest  the N bytes as they are (1 to 2^28): every byte
//                           to the end
//     long        1 byte    block type 8: a one-stream block whose code's
//     one-stream            lengths are 1 to 15 bits, in a long table (18
//                           length symbols: lengths 0 to 15, then the two
//                           runs of zeros; lengths_layout.h); else as type 5
//     long final  1 byte    block type 9: a final block with a long table
//                           and codes of up to 15 bits; else as type 6
//   end marker    1 byte    block type 0
//                 varint    the total original length, the sum of every N
//                           (at most 64 bits, so at most 10 bytes)
//
// and nothing after the end marker. A container ends either with the end
// marker or with a final, long final or final stored block. An empty input
// is the header and the end marker.
//
// Blocks. The packer reads its input in units of at most the block size
// (16 MiB by default, so that counts stay far below 2^31 and memory stays
// bounded for inputs of any size), plans each MiB of a unit alone (so that
// the MiBs are planned and coded in parallel, the same for any number of
// threads) and cuts it where the statistics of the bytes change: it counts
// the bytes of every 8 KiB segment and joins a segment to the block before
// it unless a code of its own, table included, comes out smaller (in a
// piece below a MiB, a code of its own with the block's last 1, 3 or 7
// segments, cut from the block, may come out smaller still). Each
// block so carries a code fitted to its own bytes. A block that Huffman
// coding would not make smaller (random or already compressed bytes) is
// stored instead.
//
// Four streams a block let a decoder follow four chains of codes at once,
// and codes of at most 11 bits keep its table a few KiB, so that every
// symbol is one look-up in the fastest cache. The packer writes lengths
// blocks for every block with more than one byte value: their code is the
// canonical code of form_tree's lengths, or where those pass 11 bits, of a
// code that does not, within a few bits in 100 000 of the cheapest (which
// costs about a byte in a thousand against no limit). A code given by its
// lengths alone takes some 30 to 80 bytes where form_tree's table stream
// took 100 to 330, which pays for blocks cut finer, and so for packed sizes
// below zlib's. Blocks of 4 KiB or more take four streams; shorter ones
// (the last of a piece), and every block of an input or unit tail shorter
// than 64 KiB, take one, where what the four streams cost in bytes matters
// more than their speed. A one-stream block whose code the 11-bit limit
// cut takes a code of up to 12 to 15 bits instead (a long block) where
// that comes out smaller, its longer table included: for files of a few
// KiB with a few rare bytes the limit had cost more than zlib's frame is
// smaller than ours. A block of one byte value is a Huffman block with
// form_tree's table and an empty stream. Where the input's last block is a
// one-stream block, it is written as the final block: its table's and its
// stream's lengths and the end marker (6 bytes for a file of a few KiB,
// whose whole frame was 18) are left out, which small files feel against
// zlib's 6 bytes. Where the input's last block is stored, it is written as
// the final stored block: its length and the end marker are left out, so
// that a file that does not compress (one already compressed) takes 10
// bytes of frame, where zlib's stored blocks take 11 and version 6 took 17.
//
// A varint is 7 bits a byte, the lowest first, with the top bit set on
// every byte but the last; a block header's at most 5 bytes and 32 bits, the
// end marker's and a final block's total at most 10 bytes and 64 bits, and
// no last byte 0 but in the varint 0 itself, so that every value is spelt
// one way.
//
// Version 8 is version 9 with the streams of lengths blocks (types 4, 5, 6,
// 8 and 9) in little-endian words, as encode writes them: where E is not a
// multiple of 4, the last word's top E mod 4 bytes (the last E mod 4 bytes
// of its little-endian four) end the stream, its zero bytes below them left
// out. Byte order lets the decoder read the streams where they lie, where
// it had copied each one with its words' bytes reversed.
// Version 7 is version 8 without long one-stream and long final blocks.
// Version 6 is version 7 without final stored blocks. Version 5 is version
// 6 without final blocks. Version 4 is version 5 with
// 3 zero bytes after the version, without
// one-stream blocks, with an end marker of 8 bytes (the total), and with
// lengths blocks whose streams are whole words, their lengths given as
// varints W0 to W3 of words. Versions 1 to 3
// are version 4 without lengths blocks, versions 1 and 2 also without
// four-stream blocks, and version 1 without stored blocks; this reader
// still reads them, and refuses block types that their version did not
// have as unknown block types.
//
// The reader trusts nothing: it checks every length against what the input
// still holds, that the table stream is exactly 4 + L + 4·W bytes for a leaf
// count L of 1 to 256 with distinct symbols, that the shape bits make exactly
// one complete tree of L leaves with no code longer than 22 bits (11 in a
// four-stream block, as in lengths and one-stream blocks) and that the bits
// after the shape are 0, that a lengths table is exactly as long as
// its lengths need, its own code and the lengths each one complete code and
// its bits after the last length 0, that the encoded stream holds exactly the
// words (the bytes, in lengths, one-stream and final blocks from version 5)
// that its symbols need with zero bits after the last code, the CRC, and the
// end marker's total, or that a final block's total exceeds what the blocks
// before it hold by 1 to 2^28 (a final block's stream takes every byte to
// the end, so bytes after it are a stream longer than its symbols need), or
// that a final stored block holds 1 to 2^28 bytes after its CRC. No
// block counts as written before its CRC checked: a sink that takes bytes
// back may hold a block while it is checked (decoded into a BufferSink, or a
// stored block copied into memory), and has it taken back when it fails.
#ifndef DCTLAB_CONTAINER_H
#define DCTLAB_CONTAINER_H

#include <cstdint>
#include <functional>
#include <string>

#include "byte_io.h"

namespace dctlab::container
{

constexpr uint8_t kContainerVersion = 9;
constexpr uint8_t kOldestReadableVersion = 1;
constexpr uint32_t kDefaultBlockSize = 16u << 20;
constexpr uint32_t kMaxBlockSize = 1u << 28;

using Progress = std::function<void(uint64_t bytes_done)>;

// Packs all of `in` into `out`. False with `error` set on failure. With
// `threads` above 1, this thread and threads - 1 workers code the blocks,
// this thread also reading and writing; the output is the same for any
// number. Where `threads` is the number of cores the calling thread may run
// on, each thread, the calling one included, is kept on a core of its own
// until the call returns, when the calling thread has its cores back (as
// for unpack).
bool pack(ByteSource &in, ByteSink &out, uint32_t block_size, std::string &error,
          const Progress &progress = {}, unsigned threads = 1);

// Unpacks `in` into `out`, each block counted as written only after its CRC
// checked (see above for sinks that take bytes back).
// Blocks longer than `max_block` are refused. False with `error` set, naming
// what is wrong, on any damage.
// With `threads` above 1, that many blocks are decoded and checked at once
// (this thread parsing the headers besides); they still reach the output in
// order and only after their CRC matched, and a damaged container gives the
// same error as with one thread.
bool unpack(ByteSource &in, ByteSink &out, std::string &error, uint32_t max_block = kMaxBlockSize,
            const Progress &progress = {}, unsigned threads = 1);

} // namespace dctlab::container

#endif

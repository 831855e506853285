// Generated families of inputs through pack and unpack, by every kind of
// byte source the program meets: one that lends its bytes in place (memory),
// a regular file (knows its length, lends nothing) and a stream (a pipe:
// knows nothing, reads come in small pieces). A reader path that only one
// kind of source takes once lost every file of one repeated byte.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#if defined(__linux__)
#include <sched.h>
#endif

#include "container.h"

namespace
{

using namespace dctlab::container;
using Bytes = std::vector<uint8_t>;

// A pipe: a few bytes a read, no length, nothing lent.
class StreamSource : public ByteSource
{
  public:
    StreamSource(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t read(void *into, size_t size) override
    {
        const size_t n = std::min({size, size_ - at_, size_t{7}});
        std::copy(data_ + at_, data_ + at_ + n, static_cast<uint8_t *>(into));
        at_ += n;
        return n;
    }
    int64_t remaining() const override { return -1; }

  private:
    const uint8_t *data_;
    size_t size_, at_ = 0;
};

enum class Source { memory, file, stream };

const char *name_of(Source s)
{
    return s == Source::memory ? "memory" : s == Source::file ? "file" : "stream";
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

// Runs `step` (pack or unpack) on `input` through a source of kind `kind`,
// into memory or, from a file, into a file (which threads write at places).
template <typename Step> bool through(Source kind, const Bytes &input, Bytes &output, Step step)
{
    MemorySink sink;
    bool ok = false;
    switch (kind) {
    case Source::memory: {
        MemorySource in(input.data(), input.size());
        ok = step(in, sink);
        break;
    }
    case Source::file: {
        std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
        if (!file || (!input.empty() &&
                      std::fwrite(input.data(), 1, input.size(), file.get()) != input.size()))
            return false;
        std::rewind(file.get());
        FileSource in(file.get());
        std::unique_ptr<std::FILE, FileCloser> written(std::tmpfile());
        if (!written)
            return false;
        FileSink to_file(written.get());
        ok = step(in, to_file);
        std::fflush(written.get());
        std::rewind(written.get());
        uint8_t chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, written.get())) > 0;)
            sink.bytes.insert(sink.bytes.end(), chunk, chunk + n);
        break;
    }
    case Source::stream: {
        StreamSource in(input.data(), input.size());
        ok = step(in, sink);
        break;
    }
    }
    output = std::move(sink.bytes);
    return ok;
}

struct Family {
    std::string name;
    Bytes bytes;
};

// Symbol i occurs fib(i + 1) times, so that the plain tree is deeper than the
// 22 levels the decoder serves, and the limited code has 22-bit codes.
Bytes longest_codes()
{
    Bytes out;
    uint64_t a = 1, b = 1;
    for (int symbol = 0; symbol < 30; ++symbol) {
        out.insert(out.end(), a, static_cast<uint8_t>(255 - symbol));
        const uint64_t next = a + b;
        a = b;
        b = next;
    }
    std::shuffle(out.begin(), out.end(), std::mt19937(21));
    return out;
}

std::vector<Family> families(uint32_t block_size)
{
    // Up to 1 MiB for the default block size; otherwise 128 KiB and at most
    // 256 blocks an input, so that the whole test stays quick under valgrind.
    const size_t limit = block_size == kDefaultBlockSize
                             ? size_t{1} << 20
                             : std::min<size_t>(size_t{1} << 17, 256 * size_t{block_size});
    std::vector<Family> f;
    // Runs of one value: every length up to three blocks and a bit (at most
    // 600), then around every power of two.
    const size_t every = std::min<size_t>(3 * size_t{block_size} + 3, 600);
    for (size_t n = 0; n <= every; ++n)
        f.push_back({"run of " + std::to_string(n), Bytes(n, static_cast<uint8_t>(n * 37))});
    for (int k = 1; k <= 20; ++k)
        for (size_t n : {(size_t{1} << k) - 1, size_t{1} << k, (size_t{1} << k) + 1})
            if (n > every && n <= limit)
                f.push_back({"run of " + std::to_string(n), Bytes(n, k % 2 ? 0 : 0xFF)});
    // Two values, one of them once: at the start, in the middle, at the end,
    // and at the last byte of the first block.
    for (size_t n : {size_t{18}, size_t{1000}, size_t{8192}, size_t{100000}}) {
        if (n > limit)
            continue;
        for (size_t at : {size_t{0}, n / 2, n - 1, std::min<size_t>(block_size, n) - 1}) {
            Bytes b(n, 'a');
            b[at] = 'b';
            f.push_back({"one b in " + std::to_string(n) + " at " + std::to_string(at), b});
        }
    }
    // Two values in a ratio of 2^16 to 1, spread evenly.
    Bytes skew(std::min<size_t>(limit, 1 << 18), 0);
    for (size_t i = 0; i < skew.size(); i += 1 << 16)
        skew[i] = 1;
    f.push_back({"skew 2^16:1", skew});
    if (block_size >= 65536)
        f.push_back({"longest codes", longest_codes()});
    return f;
}

class PackUnpackProperty : public testing::TestWithParam<std::tuple<uint32_t, Source>>
{
};

TEST_P(PackUnpackProperty, EveryFamilyRoundTrips)
{
    // Named apart: a lambda may not capture a structured binding before C++20.
    const uint32_t block_size = std::get<0>(GetParam());
    const Source kind = std::get<1>(GetParam());
    for (const Family &family : families(block_size)) {
        std::string error;
        Bytes container, restored;
        ASSERT_TRUE(through(
            kind, family.bytes, container,
            [&](ByteSource &in, ByteSink &out) { return pack(in, out, block_size, error); }))
            << family.name << ": " << error;
        // Unpack through every kind, whichever packed it.
        for (Source reader : {Source::memory, Source::file, Source::stream}) {
            ASSERT_TRUE(
                through(reader, container, restored,
                        [&](ByteSource &in, ByteSink &out) { return unpack(in, out, error); }))
                << family.name << ", read from " << name_of(reader) << ": " << error;
            ASSERT_EQ(restored, family.bytes) << family.name << ", read from " << name_of(reader);
        }
    }
}

// Units and blocks of changing statistics: text, runs, noise, and one
// extreme code, so that threads meet Huffman and stored blocks of every size.
Bytes mixed_input()
{
    Bytes out;
    std::mt19937 rng(7);
    for (const Family &family : families(65536)) {
        out.insert(out.end(), family.bytes.begin(), family.bytes.end());
        for (int i = 0; i < 5000; ++i)
            out.push_back(static_cast<uint8_t>(rng()));
    }
    // Enough for dozens of units and blocks, little enough for valgrind.
    out.resize(std::min<size_t>(out.size(), 600000));
    return out;
}

// The number of threads changes neither the container, nor what unpack
// gives, nor the error it reports for damage anywhere.
TEST(Threads, ChangeNothingButTheSpeed)
{
    const Bytes input = mixed_input();
    for (uint32_t block_size : {8193u, 100000u}) {
        std::string error;
        Bytes one;
        ASSERT_TRUE(through(Source::memory, input, one, [&](ByteSource &in, ByteSink &out) {
            return pack(in, out, block_size, error);
        })) << error;
        for (unsigned threads : {2u, 5u})
            for (Source kind : {Source::memory, Source::file, Source::stream}) {
                const std::string where = "block size " + std::to_string(block_size) + ", " +
                                          std::to_string(threads) + " threads, " + name_of(kind);
                Bytes container, restored;
                ASSERT_TRUE(through(kind, input, container,
                                    [&](ByteSource &in, ByteSink &out) {
                                        return pack(in, out, block_size, error, {}, threads);
                                    }))
                    << where << ": " << error;
                ASSERT_EQ(container, one) << where;
                ASSERT_TRUE(through(kind, one, restored,
                                    [&](ByteSource &in, ByteSink &out) {
                                        return unpack(in, out, error, kMaxBlockSize, {}, threads);
                                    }))
                    << where << ": " << error;
                ASSERT_EQ(restored, input) << where;
            }
    }
}

#if defined(__linux__)
// With as many threads as the calling thread has cores, each thread is kept
// on a core of its own: the output is the same, and the calling thread has
// its own cores back afterwards, also where a finish fails. Run on one core
// alone, the caller asks for one thread more than it has.
TEST(Threads, GiveTheCallerItsCoresBack)
{
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    const auto threads = static_cast<unsigned>(std::max(CPU_COUNT(&before), 2));
    const Bytes input = mixed_input();
    std::string error;
    Bytes one, container, restored;
    ASSERT_TRUE(through(Source::memory, input, one, [&](ByteSource &in, ByteSink &out) {
        return pack(in, out, kDefaultBlockSize, error);
    })) << error;
    const auto same_cores = [&](const char *after) {
        cpu_set_t now;
        ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
        EXPECT_TRUE(CPU_EQUAL(&now, &before)) << after;
    };
    ASSERT_TRUE(through(Source::memory, input, container, [&](ByteSource &in, ByteSink &out) {
        return pack(in, out, kDefaultBlockSize, error, {}, threads);
    })) << error;
    EXPECT_EQ(container, one);
    same_cores("pack");
    ASSERT_TRUE(through(Source::memory, one, restored, [&](ByteSource &in, ByteSink &out) {
        return unpack(in, out, error, kMaxBlockSize, {}, threads);
    })) << error;
    EXPECT_EQ(restored, input);
    same_cores("unpack");
    // A sink that takes the first half of the container only.
    struct HalfSink final : ByteSink {
        size_t room;
        explicit HalfSink(size_t bytes) : room(bytes) {}
        bool write(const void *, size_t size) override
        {
            if (size > room)
                return false;
            room -= size;
            return true;
        }
    } half(one.size() / 2);
    MemorySource in(input.data(), input.size());
    EXPECT_FALSE(pack(in, half, kDefaultBlockSize, error, {}, threads));
    same_cores("a failed pack");
    Bytes damaged = one;
    damaged[damaged.size() / 2] ^= 1;
    EXPECT_FALSE(through(Source::memory, damaged, restored, [&](ByteSource &from, ByteSink &out) {
        return unpack(from, out, error, kMaxBlockSize, {}, threads);
    }));
    same_cores("a failed unpack");
}
#endif

TEST(Threads, PlanEachMebibyteAsOneThreadDoes)
{
    // Units of the default size, each planned in pieces of 1 MiB: an input
    // of three pieces and a bit, read in place and through a stream.
    Bytes input;
    while (input.size() < (3u << 20) + 1234) {
        const Bytes part = mixed_input();
        input.insert(input.end(), part.begin(), part.end());
    }
    input.resize((3u << 20) + 1234);
    std::string error;
    Bytes one;
    ASSERT_TRUE(through(Source::memory, input, one, [&](ByteSource &in, ByteSink &out) {
        return pack(in, out, kDefaultBlockSize, error);
    })) << error;
    for (Source kind : {Source::memory, Source::stream}) {
        Bytes threaded, restored;
        ASSERT_TRUE(through(kind, input, threaded, [&](ByteSource &in, ByteSink &out) {
            return pack(in, out, kDefaultBlockSize, error, {}, 3);
        })) << error;
        EXPECT_EQ(threaded, one) << name_of(kind);
        ASSERT_TRUE(through(kind, one, restored, [&](ByteSource &in, ByteSink &out) {
            return unpack(in, out, error, kMaxBlockSize, {}, 3);
        })) << error;
        EXPECT_EQ(restored, input) << name_of(kind);
    }
}

TEST(Threads, ChangeNothingOnDegenerateInputs)
{
    const std::vector<Family> inputs{{"empty", {}},
                                     {"one byte", {42}},
                                     {"one value", Bytes(100000, 'a')},
                                     {"one block and one byte", Bytes(8193, 'b')}};
    for (const Family &input : inputs) {
        std::string error;
        Bytes one, threaded, restored;
        ASSERT_TRUE(
            through(Source::memory, input.bytes, one,
                    [&](ByteSource &in, ByteSink &out) { return pack(in, out, 8192, error); }))
            << input.name << ": " << error;
        ASSERT_TRUE(through(
            Source::file, input.bytes, threaded,
            [&](ByteSource &in, ByteSink &out) { return pack(in, out, 8192, error, {}, 3); }))
            << input.name << ": " << error;
        EXPECT_EQ(threaded, one) << input.name;
        ASSERT_TRUE(through(Source::file, one, restored,
                            [&](ByteSource &in, ByteSink &out) {
                                return unpack(in, out, error, kMaxBlockSize, {}, 3);
                            }))
            << input.name << ": " << error;
        EXPECT_EQ(restored, input.bytes) << input.name;
    }
}

TEST(Threads, ReportTheFirstDamageAsOneThreadDoes)
{
    Bytes input = mixed_input();
    input.resize(60000);
    std::string error;
    Bytes container;
    ASSERT_TRUE(through(Source::memory, input, container,
                        [&](ByteSource &in, ByteSink &out) { return pack(in, out, 8192, error); }));
    auto unpacked = [](const Bytes &c, unsigned threads, Source kind) {
        std::string e;
        Bytes out;
        const bool ok = through(kind, c, out, [&](ByteSource &in, ByteSink &sink) {
            return unpack(in, sink, e, kMaxBlockSize, {}, threads);
        });
        return std::make_pair(ok, e);
    };
    std::mt19937 rng(3);
    for (int trial = 0; trial < 150; ++trial) {
        Bytes damaged = container;
        if (trial % 3 == 0)
            damaged.resize(rng() % container.size());
        else
            damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        // A stream knows no length, so its truncations are found later.
        for (Source kind : {Source::memory, Source::file, Source::stream}) {
            const auto expected = unpacked(damaged, 1, kind);
            ASSERT_FALSE(expected.first) << "trial " << trial;
            ASSERT_EQ(unpacked(damaged, 4, kind), expected)
                << "trial " << trial << ", " << name_of(kind);
        }
    }
}

// Memory that lends nothing, as a file or a pipe: read through the chunks
// of the reader's own.
class LendingNothing : public MemorySource
{
  public:
    explicit LendingNothing(const Bytes &b) : MemorySource(b.data(), b.size()) {}
    const uint8_t *borrow(size_t) override { return nullptr; }
    bool lends() const override { return false; }
};

// Memory taken as a file is: written at any place, failing from a given
// place on.
class PlacesSink : public ByteSink
{
  public:
    explicit PlacesSink(uint64_t fail_from) : fail_from_(fail_from) {}
    bool write(const void *, size_t) override { return false; }
    bool positional() const override { return true; }
    bool write_at(uint64_t offset, const void *from, size_t size) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (offset + size > fail_from_)
            return false;
        if (bytes.size() < offset + size)
            bytes.resize(offset + size);
        std::copy_n(static_cast<const uint8_t *>(from), size, bytes.begin() + offset);
        return true;
    }
    Bytes bytes;

  private:
    uint64_t fail_from_;
    std::mutex lock_;
};

// Threads that write their own blocks at their places give what one thread
// gives, from a source that lends its bytes and from one read in chunks,
// across the chunks' ends; a write that fails is named.
TEST(Threads, WriteAtTheirPlaces)
{
    // Blocks of 8 KiB and stored ones of 512 KiB, half a chunk.
    Bytes input = mixed_input();
    std::mt19937 rng(8);
    for (int i = 0; i < (3 << 19); ++i)
        input.push_back(static_cast<uint8_t>(rng()));
    std::string error;
    Bytes container;
    ASSERT_TRUE(through(Source::memory, input, container, [&](ByteSource &in, ByteSink &out) {
        return pack(in, out, 1 << 19, error);
    }));
    constexpr uint64_t kNever = UINT64_MAX;
    for (unsigned threads : {1u, 3u}) {
        MemorySource lent(container.data(), container.size());
        LendingNothing read(container);
        for (ByteSource *in :
             {static_cast<ByteSource *>(&lent), static_cast<ByteSource *>(&read)}) {
            PlacesSink out(kNever);
            MemorySink in_order;
            ByteSink &sink = threads > 1 ? static_cast<ByteSink &>(out) : in_order;
            ASSERT_TRUE(unpack(*in, sink, error, kMaxBlockSize, {}, threads)) << error;
            EXPECT_EQ(threads > 1 ? out.bytes : in_order.bytes, input) << threads << " threads";
        }
    }
    MemorySource in(container.data(), container.size());
    PlacesSink out(input.size() / 2);
    EXPECT_FALSE(unpack(in, out, error, kMaxBlockSize, {}, 3));
    EXPECT_EQ(error, "cannot write the output");
}

// A stream that takes bytes in order up to a given total, then fails.
class StreamSink : public ByteSink
{
  public:
    explicit StreamSink(uint64_t fail_from) : fail_from_(fail_from) {}
    bool write(const void *from, size_t size) override
    {
        if (bytes.size() + size > fail_from_)
            return false;
        const auto *p = static_cast<const uint8_t *>(from);
        bytes.insert(bytes.end(), p, p + size);
        ++writes;
        return true;
    }
    Bytes bytes;
    int writes = 0;

  private:
    uint64_t fail_from_;
};

// Into a stream, pack gathers the blocks and passes them on some 256 KiB at
// a time, the same bytes as into memory; a write that fails anywhere, the
// last gathered bytes and the end marker included, is named.
TEST(Threads, PackIntoAStreamGivesTheBytesOfMemory)
{
    // Words: Huffman blocks to the end, over two pieces of 1 MiB.
    Bytes input;
    std::mt19937 rng(9);
    const std::string words[] = {"pack ", "unpack ", "block ", "stream ", "code ", "table ", "\n"};
    while (input.size() < 1500000) {
        const std::string &word = words[rng() % 7];
        input.insert(input.end(), word.begin(), word.end());
    }
    std::string error;
    Bytes container;
    ASSERT_TRUE(through(Source::memory, input, container, [&](ByteSource &in, ByteSink &out) {
        return pack(in, out, kDefaultBlockSize, error);
    }));
    const uint64_t size = container.size();
    for (unsigned threads : {1u, 2u}) {
        MemorySource in(input.data(), input.size());
        StreamSink out(UINT64_MAX);
        ASSERT_TRUE(pack(in, out, kDefaultBlockSize, error, {}, threads)) << error;
        EXPECT_EQ(out.bytes, container) << threads << " threads";
        EXPECT_LT(out.writes, threads > 1 ? 10 : 40) << threads << " threads";
        for (const uint64_t fail_from :
             {uint64_t{0}, uint64_t{100}, size / 2, size - 20, size - 1}) {
            MemorySource again(input.data(), input.size());
            StreamSink failing(fail_from);
            EXPECT_FALSE(pack(again, failing, kDefaultBlockSize, error, {}, threads))
                << fail_from << ", " << threads << " threads";
            EXPECT_EQ(error, "cannot write the output") << fail_from;
        }
    }
}

// Lends its bytes and, as a mapped file gives pages back, spoils those it
// is told are needed no more: a block read after its bytes were released
// comes out wrong. The offsets told must not go back or past the end.
class SpoilingSource : public MemorySource
{
  public:
    explicit SpoilingSource(Bytes bytes)
        : MemorySource(bytes.data(), bytes.size()), bytes_(std::move(bytes))
    {
    }
    void release_before(uint64_t offset) override
    {
        EXPECT_GE(offset, released) << "released before already";
        EXPECT_LE(offset, bytes_.size());
        std::fill(bytes_.begin(),
                  bytes_.begin() + static_cast<long>(std::min<uint64_t>(offset, bytes_.size())),
                  uint8_t{0xA5});
        released = std::max(released, offset);
    }
    uint64_t released = 0;

  private:
    Bytes bytes_; // moved, so the lent pointer stays valid
};

// Pack and unpack release what they took once it is written, whatever the
// threads and the sink, and never read it again; they release all of it
// but the container's end marker.
TEST(Threads, ReleaseWhatTheyTookOnlyOnceWritten)
{
    // Huffman blocks and stored ones of 512 KiB, over several pieces.
    Bytes input = mixed_input();
    std::mt19937 rng(5);
    for (int i = 0; i < (3 << 19); ++i)
        input.push_back(static_cast<uint8_t>(rng()));
    input.insert(input.end(), input.begin(), input.begin() + (1 << 20));
    std::string error;
    Bytes container;
    ASSERT_TRUE(through(Source::memory, input, container, [&](ByteSource &in, ByteSink &out) {
        return pack(in, out, 1 << 19, error);
    }));
    // Unpack takes all but the end marker, where there is one (its type and
    // the total as a varint, 7 bits a byte), as its blocks are written; the
    // last block ends the container where it is a final or final stored one.
    Bytes end_marker{0};
    for (uint64_t total = input.size(); total >= 0x80; total >>= 7)
        end_marker.push_back(static_cast<uint8_t>(total | 0x80));
    end_marker.push_back(static_cast<uint8_t>(input.size() >> (7 * (end_marker.size() - 1))));
    const bool marked = std::equal(end_marker.rbegin(), end_marker.rend(), container.rbegin());
    const size_t taken = container.size() - (marked ? end_marker.size() : 0);
    for (unsigned threads : {1u, 2u, 3u}) {
        SpoilingSource to_pack(input);
        MemorySink packed;
        ASSERT_TRUE(pack(to_pack, packed, 1 << 19, error, {}, threads)) << error;
        EXPECT_EQ(packed.bytes, container) << threads << " threads";
        EXPECT_EQ(to_pack.released, input.size()) << threads << " threads";
        for (const bool places : {false, true}) {
            if (places && threads == 1)
                continue; // one thread writes in order
            SpoilingSource to_unpack(container);
            PlacesSink at_places(UINT64_MAX);
            MemorySink in_order;
            ByteSink &sink = places ? static_cast<ByteSink &>(at_places) : in_order;
            ASSERT_TRUE(unpack(to_unpack, sink, error, kMaxBlockSize, {}, threads)) << error;
            EXPECT_EQ(places ? at_places.bytes : in_order.bytes, input)
                << threads << " threads, " << (places ? "at places" : "in order");
            EXPECT_EQ(to_unpack.released, taken) << threads;
        }
    }
}

// Block sizes the option allows, around the 8 KiB segments and the default.
INSTANTIATE_TEST_SUITE_P(
    BlockSizesAndSources, PackUnpackProperty,
    testing::Combine(testing::Values(1u, 2u, 17u, 8191u, 8192u, 8193u, 65536u, kDefaultBlockSize),
                     testing::Values(Source::memory, Source::file, Source::stream)),
    [](const auto &info) {
        return "block_" + std::to_string(std::get<0>(info.param)) + "_" +
               name_of(std::get<1>(info.param));
    });

} // namespace

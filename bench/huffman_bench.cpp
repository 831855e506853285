// dctlab pack and unpack against zlib's Huffman-only deflate and inflate, in
// one process on the same inputs: generated text-like and binary-like data
// and random bytes, 16 MiB each, and any files named on the command line.
// Every round trip is verified before anything is timed; the table at the
// end gives MB/s, compressed sizes and the ratios to zlib and to memcpy, and
// a line `RESULT input=NAME pack=P unpack=U size=S` for each input, P and U
// the speeds over zlib's Huffman-only deflate and inflate, S the size over
// zlib's.
//
//   huffman_bench [--benchmark_min_time=2] [FILE...]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "container.h"

namespace
{

using Bytes = std::vector<uint8_t>;
constexpr size_t kSize = size_t{16} << 20;

// English-like prose: words of a Zipf-distributed vocabulary built from
// syllables, sentences, punctuation and paragraphs, with the vocabulary
// drifting from chapter to chapter as real books do.
Bytes text_like(uint32_t seed)
{
    std::mt19937 rng(seed);
    static const char *syllables[] = {
        "the", "an", "re", "in", "ing",  "ed",   "er", "on", "at",  "es",  "or",   "ti",
        "al",  "st", "ou", "it", "is",   "en",   "ar", "ly", "pro", "com", "tion", "ment",
        "ver", "wh", "sh", "ch", "ight", "ough", "a",  "e",  "o",   "u",   "y"};
    Bytes out;
    out.reserve(kSize);
    while (out.size() < kSize) {
        std::vector<std::string> words(3000);
        for (auto &w : words) {
            const int parts = 1 + static_cast<int>(rng() % 3);
            for (int p = 0; p < parts; ++p)
                w += syllables[rng() % (sizeof syllables / sizeof *syllables)];
        }
        std::vector<double> weights(words.size());
        for (size_t i = 0; i < weights.size(); ++i)
            weights[i] = 1.0 / (1.0 + static_cast<double>(i));
        std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
        const size_t chapter = out.size() + (size_t{1} << 18) + rng() % (size_t{1} << 20);
        bool capital = true;
        while (out.size() < std::min(chapter, kSize)) {
            std::string w = words[pick(rng)];
            if (capital)
                w[0] = static_cast<char>(w[0] - 'a' + 'A');
            capital = false;
            out.insert(out.end(), w.begin(), w.end());
            const uint32_t r = rng() % 100;
            const char *tail = r < 6    ? ". "
                               : r < 11 ? ", "
                               : r < 12 ? ".\n\n"
                               : r < 13 ? "; "
                                        : " ";
            capital = r < 6 || r == 11;
            out.insert(out.end(), tail, tail + std::strlen(tail));
        }
    }
    out.resize(kSize);
    return out;
}

// Executable-like: sections of machine-code-like bytes (a skewed opcode
// distribution), tables of small little-endian integers, strings of
// identifiers and zero padding, in random order and sizes.
Bytes binary_like(uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(kSize);
    std::array<uint8_t, 256> order;
    for (int i = 0; i < 256; ++i)
        order[i] = static_cast<uint8_t>(i);
    while (out.size() < kSize) {
        const size_t size = 4096 + rng() % (size_t{1} << 18);
        const uint32_t kind = rng() % 10;
        if (kind < 5) { // code
            std::shuffle(order.begin() + 1, order.end(), rng);
            std::geometric_distribution<int> rank(0.04 + 0.02 * (rng() % 4));
            for (size_t i = 0; i < size; ++i)
                out.push_back(order[std::min(rank(rng), 255)]);
        } else if (kind < 7) { // tables of integers
            std::geometric_distribution<uint32_t> value(0.001 * (1 + rng() % 20));
            for (size_t i = 0; i + 4 <= size; i += 4) {
                const uint32_t v = value(rng);
                for (int b = 0; b < 4; ++b)
                    out.push_back(static_cast<uint8_t>(v >> (8 * b)));
            }
        } else if (kind < 9) { // strings
            for (size_t i = 0; i < size; ++i) {
                const uint32_t r = rng() % 40;
                out.push_back(r == 0 ? 0 : r < 3 ? '_' : static_cast<uint8_t>('a' + rng() % 26));
            }
        } else { // padding
            out.insert(out.end(), size % 16384, 0);
        }
    }
    out.resize(kSize);
    return out;
}

Bytes random_bytes(uint32_t seed)
{
    std::mt19937_64 rng(seed);
    Bytes out(kSize);
    for (size_t i = 0; i < kSize; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&out[i], &v, 8);
    }
    return out;
}

// Both coders write into an output buffer kept from run to run.
void pack_into(const Bytes &in, dctlab::container::MemorySink &sink)
{
    dctlab::container::MemorySource source(in.data(), in.size());
    sink.bytes.clear();
    std::string error;
    if (!dctlab::container::pack(source, sink, dctlab::container::kDefaultBlockSize, error))
        throw std::runtime_error("pack: " + error);
}

Bytes pack_bytes(const Bytes &in)
{
    dctlab::container::MemorySink sink;
    pack_into(in, sink);
    return std::move(sink.bytes);
}

// Into a buffer of the output's size, as inflate below and zlib's
// uncompress take one.
void unpack_into(const Bytes &packed, Bytes &out)
{
    dctlab::container::MemorySource source(packed.data(), packed.size());
    dctlab::container::BufferSink sink(out.data(), out.size());
    std::string error;
    if (!dctlab::container::unpack(source, sink, error))
        throw std::runtime_error("unpack: " + error);
    if (sink.size() != out.size())
        throw std::runtime_error("unpack: " + std::to_string(sink.size()) + " bytes");
}

// Huffman-only deflate, the peer: zlib's own Huffman coder, blocks of some
// 16 thousand symbols each with their own code.
void deflate_into(const Bytes &in, Bytes &out)
{
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_HUFFMAN_ONLY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    out.resize(deflateBound(&z, in.size()));
    z.next_in = const_cast<uint8_t *>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
}

Bytes deflate_bytes(const Bytes &in)
{
    Bytes out;
    deflate_into(in, out);
    return out;
}

void inflate_into(const Bytes &in, Bytes &out)
{
    z_stream z{};
    if (inflateInit2(&z, 15) != Z_OK)
        throw std::runtime_error("inflateInit2");
    z.next_in = const_cast<uint8_t *>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    if (result != Z_STREAM_END || z.total_out != out.size())
        throw std::runtime_error("inflate");
}

struct Input {
    std::string name;
    Bytes data, packed, deflated;
};

std::vector<Input> &inputs()
{
    static std::vector<Input> all;
    return all;
}

void add_input(std::string name, Bytes data)
{
    Input in{std::move(name), std::move(data), {}, {}};
    // Verified before anything is timed.
    in.packed = pack_bytes(in.data);
    Bytes back(in.data.size());
    unpack_into(in.packed, back);
    if (back != in.data)
        throw std::runtime_error(in.name + ": unpack did not return the input");
    in.deflated = deflate_bytes(in.data);
    inflate_into(in.deflated, back);
    if (back != in.data)
        throw std::runtime_error(in.name + ": inflate did not return the input");
    inputs().push_back(std::move(in));
}

void bytes_done(benchmark::State &state, size_t size)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void register_all()
{
    for (size_t i = 0; i < inputs().size(); ++i) {
        const std::string &name = inputs()[i].name;
        benchmark::RegisterBenchmark(("pack/" + name).c_str(), [i](benchmark::State &state) {
            const Input &in = inputs()[i];
            dctlab::container::MemorySink sink;
            pack_into(in.data, sink);
            for (auto _ : state) {
                pack_into(in.data, sink);
                benchmark::DoNotOptimize(sink.bytes.data());
            }
            bytes_done(state, in.data.size());
        });
        benchmark::RegisterBenchmark(("deflate/" + name).c_str(), [i](benchmark::State &state) {
            const Input &in = inputs()[i];
            Bytes out;
            deflate_into(in.data, out);
            for (auto _ : state) {
                deflate_into(in.data, out);
                benchmark::DoNotOptimize(out.data());
            }
            bytes_done(state, in.data.size());
        });
        benchmark::RegisterBenchmark(("unpack/" + name).c_str(), [i](benchmark::State &state) {
            const Input &in = inputs()[i];
            Bytes out(in.data.size());
            for (auto _ : state) {
                unpack_into(in.packed, out);
                benchmark::DoNotOptimize(out.data());
            }
            bytes_done(state, in.data.size());
        });
        benchmark::RegisterBenchmark(("inflate/" + name).c_str(), [i](benchmark::State &state) {
            const Input &in = inputs()[i];
            Bytes out(in.data.size());
            for (auto _ : state) {
                inflate_into(in.deflated, out);
                benchmark::DoNotOptimize(out.data());
            }
            bytes_done(state, in.data.size());
        });
        benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), [i](benchmark::State &state) {
            const Input &in = inputs()[i];
            Bytes out(in.data.size());
            for (auto _ : state) {
                std::memcpy(out.data(), in.data.data(), in.data.size());
                benchmark::DoNotOptimize(out.data());
                benchmark::ClobberMemory();
            }
            bytes_done(state, in.data.size());
        });
    }
}

// Keeps every run's throughput for the table at the end.
class Collector : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end() && run.run_type == Run::RT_Iteration)
                mbps[run.benchmark_name()] = rate->second.value / 1e6;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> mbps;
};

void print_table(const std::map<std::string, double> &mbps)
{
    const auto at = [&](const std::string &key) {
        const auto it = mbps.find(key);
        return it == mbps.end() ? 0.0 : it->second;
    };
    std::printf("\n%-14s %9s %9s %6s %9s %9s %6s %8s %12s %12s %7s\n", "input", "pack", "deflate",
                "x", "unpack", "inflate", "x", "/memcpy", "dctlab B", "zlib B", "size");
    for (const Input &in : inputs()) {
        const double pack = at("pack/" + in.name), deflate = at("deflate/" + in.name);
        const double unpack = at("unpack/" + in.name), inflate = at("inflate/" + in.name);
        const double copy = at("memcpy/" + in.name);
        std::printf("%-14s %9.0f %9.0f %6.2f %9.0f %9.0f %6.2f %8.2f %12zu %12zu %7.4f\n",
                    in.name.c_str(), pack, deflate, deflate > 0 ? pack / deflate : 0, unpack,
                    inflate, inflate > 0 ? unpack / inflate : 0, copy > 0 ? unpack / copy : 0,
                    in.packed.size(), in.deflated.size(),
                    static_cast<double>(in.packed.size()) /
                        static_cast<double>(in.deflated.size()));
    }
    std::printf("MB/s; x: dctlab over zlib; /memcpy: unpack over memcpy of the same bytes; "
                "size: dctlab's bytes over zlib's\n\n");
    // One line an input for scripts: the ratios against zlib of this run.
    for (const Input &in : inputs()) {
        const double pack = at("pack/" + in.name), deflate = at("deflate/" + in.name);
        const double unpack = at("unpack/" + in.name), inflate = at("inflate/" + in.name);
        std::printf("RESULT input=%s pack=%.2f unpack=%.2f size=%.4f\n", in.name.c_str(),
                    deflate > 0 ? pack / deflate : 0, inflate > 0 ? unpack / inflate : 0,
                    static_cast<double>(in.packed.size()) /
                        static_cast<double>(in.deflated.size()));
    }
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    try {
        add_input("text", text_like(1));
        add_input("binary", binary_like(2));
        add_input("random", random_bytes(3));
        for (int i = 1; i < argc; ++i) {
            std::ifstream file(argv[i], std::ios::binary);
            if (!file) {
                std::fprintf(stderr, "huffman_bench: cannot read %s\n", argv[i]);
                return 1;
            }
            Bytes data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            std::string name = argv[i];
            name = name.substr(name.find_last_of('/') + 1);
            add_input(name, std::move(data));
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "huffman_bench: %s\n", e.what());
        return 1;
    }
    register_all();
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    print_table(collector.mbps);
    benchmark::Shutdown();
    return 0;
}

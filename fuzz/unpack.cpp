// Fuzz target: dctlab's container reader on arbitrary bytes, in memory.
//
// unpack must refuse damage with an error line and never crash, leak, hang
// or allocate more than the input justifies: blocks are capped at kMaxBlock,
// and run.sh runs this target with a malloc limit a little above the
// decoder's fixed tables and an RSS limit. Whatever unpack accepts must give
// a result that packs and unpacks to itself again. The same bytes read
// through a stdio stream (no length, nothing lent, as from a pipe) must give
// the same verdict and the same output, and so must the bytes unpacked into
// a buffer of the caller's.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "container.h"

namespace
{

constexpr uint32_t kMaxBlock = 1u << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace dctlab::container;
    MemorySource source(data, size);
    MemorySink sink;
    std::string error;
    const bool ok = unpack(source, sink, error, kMaxBlock);
    if (ok != error.empty())
        std::abort(); // a refusal must say what is wrong, a success nothing
    if (std::FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb")) {
        FileSource streamed(file);
        MemorySink out;
        std::string streamed_error;
        const bool streamed_ok = unpack(streamed, out, streamed_error, kMaxBlock);
        std::fclose(file);
        if (streamed_ok != ok || out.bytes != sink.bytes)
            std::abort();
    }
    {
        // Into a buffer, where blocks are decoded and copied in place and
        // taken back when they fail: the same verdict and the same bytes,
        // with room for one block more than the memory sink kept.
        std::vector<uint8_t> buffer(sink.bytes.size() + kMaxBlock);
        MemorySource again(data, size);
        BufferSink in_place(buffer.data(), buffer.size());
        std::string in_place_error;
        const bool in_place_ok = unpack(again, in_place, in_place_error, kMaxBlock);
        if (in_place_ok != ok || in_place_error != error || in_place.size() != sink.bytes.size() ||
            !std::equal(sink.bytes.begin(), sink.bytes.end(), buffer.begin()))
            std::abort();
    }
    if (!ok)
        return 0;

    MemorySource again(sink.bytes.data(), sink.bytes.size());
    MemorySink packed;
    if (!pack(again, packed, kMaxBlock, error))
        std::abort();
    MemorySource repacked(packed.bytes.data(), packed.bytes.size());
    MemorySink restored;
    if (!unpack(repacked, restored, error, kMaxBlock) || restored.bytes != sink.bytes)
        std::abort();
    return 0;
}

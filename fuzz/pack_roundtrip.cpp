// Fuzz target: pack the input, then unpack the container, which must give
// the input back byte for byte. The first byte chooses the block size; the
// rest is the data. The container is read both from memory, which lends its
// bytes in place, and through a stdio stream, which knows no length and lends
// nothing, as a pipe does: the two take different paths through the reader.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "container.h"

namespace
{

constexpr uint32_t kBlockSizes[8] = {1, 2, 17, 4096, 8192, 8193, 65536, 1u << 20};

bool unpacks_to(const std::vector<uint8_t> &container, const uint8_t *data, size_t size,
                bool streamed, unsigned threads = 1)
{
    using namespace dctlab::container;
    MemorySink sink;
    std::string error;
    bool ok;
    if (streamed) {
        std::FILE *file = fmemopen(const_cast<uint8_t *>(container.data()), container.size(), "rb");
        if (!file)
            return true; // no memory for the stream: nothing to check
        FileSource in(file);
        ok = unpack(in, sink, error, kMaxBlockSize, {}, threads);
        std::fclose(file);
    } else {
        MemorySource in(container.data(), container.size());
        ok = unpack(in, sink, error);
    }
    return ok && sink.bytes.size() == size &&
           (size == 0 || std::equal(data, data + size, sink.bytes.begin()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    using namespace dctlab::container;
    if (size == 0)
        return 0;
    const uint32_t block_size = kBlockSizes[input[0] % 8];
    const uint8_t *data = input + 1;
    --size;
    MemorySource source(data, size);
    MemorySink packed;
    std::string error;
    if (!pack(source, packed, block_size, error))
        std::abort();
    if (!unpacks_to(packed.bytes, data, size, false) || !unpacks_to(packed.bytes, data, size, true))
        std::abort();
    // Threads change nothing: the same container, the same bytes back.
    if (input[0] & 8) {
        MemorySource again(data, size);
        MemorySink threaded;
        if (!pack(again, threaded, block_size, error, {}, 3) || threaded.bytes != packed.bytes ||
            !unpacks_to(packed.bytes, data, size, true, 2))
            std::abort();
    }
    return 0;
}

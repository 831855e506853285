// The peer of `dctlab pack` and `unpack` as users run them: zlib's
// Huffman-only deflate and its inflate, file to file, in one process each,
// for timing whole processes beside ours.
//
//   zlib_huffman deflate|inflate IN OUT
#include <cstdio>
#include <cstring>
#include <vector>

#include <zlib.h>

namespace
{

bool read_all(const char *path, std::vector<unsigned char> &bytes)
{
    std::FILE *in = std::fopen(path, "rb");
    if (!in)
        return false;
    unsigned char buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    const bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4 || (std::strcmp(argv[1], "deflate") != 0 && std::strcmp(argv[1], "inflate") != 0)) {
        std::fprintf(stderr, "usage: zlib_huffman deflate|inflate IN OUT\n");
        return 2;
    }
    const bool deflating = argv[1][0] == 'd';
    std::vector<unsigned char> in;
    if (!read_all(argv[2], in)) {
        std::fprintf(stderr, "zlib_huffman: cannot read %s\n", argv[2]);
        return 1;
    }
    std::FILE *out = std::fopen(argv[3], "wb");
    if (!out) {
        std::fprintf(stderr, "zlib_huffman: cannot write %s\n", argv[3]);
        return 1;
    }
    z_stream z{};
    const int init = deflating ? deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8,
                                              Z_HUFFMAN_ONLY)
                               : inflateInit2(&z, 15);
    if (init != Z_OK)
        return 1;
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(in.size());
    std::vector<unsigned char> buffer(1 << 20);
    int result;
    do {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        result = deflating ? deflate(&z, Z_FINISH) : inflate(&z, Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR || result == Z_DATA_ERROR || result == Z_MEM_ERROR ||
            (result == Z_BUF_ERROR && z.avail_out != 0)) {
            std::fprintf(stderr, "zlib_huffman: %s failed\n", argv[1]);
            return 1;
        }
        std::fwrite(buffer.data(), 1, buffer.size() - z.avail_out, out);
    } while (result != Z_STREAM_END);
    deflating ? deflateEnd(&z) : inflateEnd(&z);
    return std::fclose(out) == 0 ? 0 : 1;
}

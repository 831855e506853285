// Encoding a stream: the worked example, whole words, the empty input, and
// every way encode can fail, each of which must write nothing and close out.
#include <cerrno>
#include <unistd.h>

#include <gtest/gtest.h>

#include "caller.h"
#include "fault_injection.h"

namespace
{

struct Encoding {
    int result = -1;
    Bytes written;
};

// encode into a tmpfile, with the table form_tree builds from `table_of`.
Encoding encode_with(const Bytes &data, const CodeTable &codes, std::FILE *in = nullptr)
{
    Encoding run;
    std::FILE *own = in ? nullptr : stream_of(data);
    std::FILE *source = in ? in : own;
    run.written = written_and_closed_by(
        [&](std::FILE *out) { run.result = encode(source, codes.data(), out); });
    if (own)
        std::fclose(own);
    return run;
}

CodeTable table_for(const Bytes &data)
{
    const Counts counts = byte_counts(data);
    CodeTable codes{};
    written_by([&](std::FILE *out) { form_tree(out, counts.data(), 256, codes.data()); });
    return codes;
}

TEST(Encode, WritesWholeLittleEndianWords)
{
    Bytes alternating;
    for (int i = 0; i < 16; ++i)
        alternating.insert(alternating.end(), {'x', 'y'});
    const struct {
        Bytes data;
        Bytes written;
    } cases[] = {
        // 23 code bits: 0 110 111 0 100 0 101 0 110 111 0, then zeros.
        {bytes_of("abracadabra"), {0x00, 0xDC, 0x8A, 0x6E}},
        {alternating, {0x55, 0x55, 0x55, 0x55}}, // 32 bits: no further word
        {{}, {}},
        {Bytes(40, 'A'), {}}, // a single byte has a code of no bits
    };
    for (const auto &c : cases) {
        std::FILE *in = stream_of(c.data);
        ASSERT_NE(in, nullptr);
        std::fseek(in, 5, SEEK_SET); // the whole stream is encoded, wherever it stands
        const Encoding run = encode_with(c.data, table_for(c.data), in);
        EXPECT_EQ(run.result, 1) << c.data.size();
        EXPECT_EQ(run.written, c.written) << c.data.size();
        EXPECT_EQ(std::ftell(in), 0) << "input left at its start";
        std::fclose(in);
    }
}

TEST(Encode, ClosesOutOnEveryPath)
{
    const Bytes data = bytes_of("abracadabra");
    const CodeTable codes = table_for(data);
    CodeTable wrong = codes;
    wrong['a'].weight = 4;
    struct Case {
        const char *what;
        bool null_in, null_codes;
        const CodeTable *table;
        int result;
    };
    for (const Case &c :
         {Case{"success", false, false, &codes, 1}, Case{"null input", true, false, &codes, 0},
          Case{"null table", false, true, &codes, 0},
          Case{"table of other counts", false, false, &wrong, 0}}) {
        std::FILE *in = stream_of(data);
        fi::reset();
        std::FILE *out = std::fopen("/dev/null", "wb");
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(encode(c.null_in ? nullptr : in, c.null_codes ? nullptr : c.table->data(), out),
                  c.result)
            << c.what;
        EXPECT_EQ(fi::open_files(), 0) << c.what;
        std::fclose(in);
    }
    EXPECT_EQ(encode(nullptr, codes.data(), nullptr), 0);
}

TEST(Encode, RefusesTablesThatCannotEncodeTheInput)
{
    const Bytes data = bytes_of("abracadabra");
    const CodeTable good = table_for(data);
    struct Case {
        const char *what;
        void (*spoil)(CodeTable &);
    };
    const Case cases[] = {
        {"more bytes than weights", [](CodeTable &t) { t['b'].weight = 1; }},
        {"fewer bytes than weights", [](CodeTable &t) { t['r'].weight = 3; }},
        {"byte without a code", [](CodeTable &t) { t['a'].length = 0; }},
        {"length beyond 32", [](CodeTable &t) { t['z'].length = 33; }},
        {"negative length", [](CodeTable &t) { t['z'].length = -1; }},
        {"negative weight", [](CodeTable &t) { t['z'].weight = -1; }},
        {"code wider than its length", [](CodeTable &t) { t['a'].code = 2; }},
    };
    for (const Case &c : cases) {
        CodeTable spoilt = good;
        c.spoil(spoilt);
        const Encoding run = encode_with(data, spoilt);
        EXPECT_EQ(run.result, 0) << c.what;
        EXPECT_TRUE(run.written.empty()) << c.what;
    }
}

TEST(Encode, ReportsUnreadableInput)
{
    const Bytes data = bytes_of("abracadabra");
    const CodeTable codes = table_for(data);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fds[1]);
    std::FILE *pipe_in = fdopen(fds[0], "rb");
    ASSERT_NE(pipe_in, nullptr);
    Encoding run = encode_with(data, codes, pipe_in);
    EXPECT_EQ(run.result, 0) << "a pipe cannot be measured";
    EXPECT_TRUE(run.written.empty());
    std::fclose(pipe_in);

    // Seekable but opened for writing only: the read fails.
    std::FILE *file = stream_of(data);
    ASSERT_NE(file, nullptr);
    std::FILE *write_only = fdopen(dup(fileno(file)), "wb");
    ASSERT_NE(write_only, nullptr);
    run = encode_with(data, codes, write_only);
    EXPECT_EQ(run.result, 0) << "the read fails";
    EXPECT_TRUE(run.written.empty());
    std::fclose(write_only);
    std::fclose(file);
}

TEST(Encode, ReportsFailedWrite)
{
    const Bytes data = bytes_of("abracadabra");
    const CodeTable codes = table_for(data);
    // A read-only stream refuses the write; /dev/full takes it into the
    // buffer and fails when fclose flushes.
    for (const auto &[path, mode] : {std::pair{"/dev/null", "rb"}, std::pair{"/dev/full", "wb"}}) {
        std::FILE *out = std::fopen(path, mode);
        if (!out) {
            ADD_FAILURE() << path << " missing";
            continue;
        }
        std::FILE *in = stream_of(data);
        EXPECT_EQ(encode(in, codes.data(), out), 0) << path;
        std::fclose(in);
    }
}

TEST(Encode, AllocationFailureWritesNothingAndLeaksNothing)
{
    const Bytes data = bytes_of("abracadabra");
    const CodeTable codes = table_for(data);
    std::FILE *in = stream_of(data);
    ASSERT_NE(in, nullptr);
    Encoding run;
    const long sites =
        fi::each_allocation_failing([&] { run = encode_with(data, codes, in); },
                                    [&](long n) {
                                        EXPECT_EQ(run.result, 0) << "allocation " << n;
                                        EXPECT_TRUE(run.written.empty()) << "allocation " << n;
                                        EXPECT_EQ(fi::live_blocks(), 0) << "allocation " << n;
                                    });
    EXPECT_EQ(sites, 2); // the input and the word buffer
    std::fclose(in);
}

} // namespace

// Reading a JPEG file back into a DCTDATA. Nothing in the file is trusted:
// every length, table, code and value is checked before it is used, and the
// record is allocated only once the headers have passed and the frame's size
// is known to be one the toolkit takes.
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "heap_ptr.h"
#include "jfif.h"
#include "jpeg_layout.h"
#include "messages.h"
#include "records.h"
#include "result_memory.h"

namespace dctlab::jfif
{

namespace
{

constexpr int kLookupBits = 9;
constexpr int kValueBits = 10;

/* A code and the magnitude bits after it, when both fit in kValueBits: the
 * coefficient they give and how far it moves through the block. Most of a
 * scan's coefficients are short codes with small values, and one look-up
 * saves the dependent second step. */
struct ValueEntry {
    static constexpr uint8_t kEndOfBlock = 0xFF;
    int16_t value;
    uint8_t bits; // 0: not resolved here, take the symbol's way
    uint8_t run;  // zeros before the value, or kEndOfBlock
};
static_assert(sizeof(ValueEntry) == 4, "a value entry is one 32-bit load");

/* A Huffman table for decoding: codes of up to kLookupBits bits in one
 * look-up, longer ones by their length's largest code. */
struct DecodeTable {
    bool defined = false;
    std::array<ValueEntry, 1 << kValueBits> values{};
    std::array<uint16_t, 1 << kLookupBits> lookup{}; // length << 8 | symbol; 0: longer or none
    std::array<int32_t, 17> max_code{};              // -1 where a length has no code
    std::array<int32_t, 17> offset{};                // symbol index minus code, by length
    std::array<uint8_t, 256> symbols{};
};

struct QuantTable {
    bool defined = false;
    std::array<uint16_t, 64> divisors{};
};

struct Component {
    uint8_t id, sampling, table;
};

/* Why a file is refused: damage, or a kind of JPEG that the toolkit does not
 * take. The one line is printed by the public functions. */
class Refusal
{
  public:
    bool damaged(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        set("ERROR: Damaged JPEG file: ", format, args);
        va_end(args);
        return false;
    }
    bool unsupported(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        set("ERROR: Can't read a JPEG file with ", format, args);
        va_end(args);
        return false;
    }
    bool message(const char *line)
    {
        line_ = line;
        return false;
    }
    void print() const
    {
        if (!line_.empty())
            std::puts(line_.c_str());
    }

  private:
    void set(const char *start, const char *format, va_list args)
    {
        char text[160];
        std::vsnprintf(text, sizeof text, format, args);
        line_ = std::string(start) + text + "!";
    }
    std::string line_;
};

/* The entropy-coded bits of a scan, most significant first, with stuffed
 * zero bytes removed. At a marker or the end of the file it supplies zeros
 * and counts them, so that a block that reads past its data is caught when
 * the block ends, whatever its codes were. */
class BitReader
{
  public:
    BitReader(const uint8_t *p, const uint8_t *end) : p_(p), end_(end) {}

    void fill()
    {
        if (count_ > 56)
            return;
        // Most of a scan is bytes other than 0xFF: then the whole bytes that
        // fit come from one load, the same bytes the loop below takes.
        if (end_ - p_ >= 8) {
            uint64_t word;
            std::memcpy(&word, p_, sizeof word);
            word = __builtin_bswap64(word);
            const uint64_t inverse = ~word; // a zero byte where word has 0xFF
            constexpr uint64_t kLow = 0x0101010101010101, kHigh = 0x8080808080808080;
            if (((inverse - kLow) & ~inverse & kHigh) == 0) {
                const int bytes = (64 - count_) >> 3;
                const uint64_t taken = bytes == 8 ? word : word & ~(~uint64_t{0} >> (8 * bytes));
                acc_ |= taken >> count_;
                count_ += 8 * bytes;
                p_ += bytes;
                return;
            }
        }
        while (count_ <= 56) {
            acc_ |= uint64_t{next()} << (56 - count_);
            count_ += 8;
        }
    }
    uint32_t peek(int n) const { return static_cast<uint32_t>(acc_ >> (64 - n)); }
    int available() const { return count_; }
    void skip(int n)
    {
        acc_ <<= n;
        count_ -= n;
    }
    /* n (at most 16) bits, after a fill. */
    uint32_t take(int n)
    {
        if (n == 0)
            return 0;
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }
    /* Whether a code ran into the zeros supplied past the data. */
    bool overran() const { return count_ < supplied_; }
    /* Whether what is left before the marker is only the last byte's padding. */
    bool at_marker() const { return count_ - supplied_ < 8 && (p_ == end_ || *p_ == 0xFF); }
    /* Where the data stopped, for what follows the scan; drops the bits. */
    const uint8_t *position()
    {
        acc_ = 0;
        count_ = supplied_ = 0;
        return p_;
    }
    void restart(const uint8_t *p)
    {
        p_ = p;
        acc_ = 0;
        count_ = supplied_ = 0;
    }

  private:
    uint8_t next()
    {
        if (p_ < end_) {
            if (*p_ != 0xFF)
                return *p_++;
            if (end_ - p_ >= 2 && p_[1] == 0) {
                p_ += 2;
                return 0xFF;
            }
        }
        supplied_ += 8;
        return 0;
    }

    const uint8_t *p_, *end_;
    uint64_t acc_ = 0;
    int count_ = 0, supplied_ = 0;
};

inline __attribute__((always_inline)) int decode_symbol(BitReader &bits, const DecodeTable &t)
{
    const uint16_t e = t.lookup[bits.peek(kLookupBits)];
    if (e != 0) {
        bits.skip(e >> 8);
        return e & 0xFF;
    }
    for (int length = kLookupBits + 1; length <= 16; ++length) {
        const int32_t code = static_cast<int32_t>(bits.peek(length));
        if (code <= t.max_code[length]) {
            bits.skip(length);
            return t.symbols[t.offset[length] + code];
        }
    }
    return -1;
}

int extend(uint32_t v, int category)
{
    return v < (1u << (category - 1)) ? static_cast<int>(v) - (1 << category) + 1
                                      : static_cast<int>(v);
}

/* The value entries of a code of `length` bits for `symbol`. Only symbols
 * that decode_block takes without complaint are resolved; the others go the
 * symbol's way, which names what is wrong. */
void fill_values(DecodeTable &t, bool dc, uint32_t code, int length, int symbol)
{
    const int run = dc ? 0 : symbol >> 4, category = dc ? symbol : symbol & 15;
    const bool end_of_block = !dc && symbol == 0;
    const bool zeros = !dc && symbol == 0xF0;
    if (dc ? category > kMaxDcCategory
           : category > kMaxAcCategory || (category == 0 && !end_of_block && !zeros))
        return;
    const int magnitude = end_of_block || zeros ? 0 : category;
    const int used = length + magnitude;
    if (used > kValueBits)
        return;
    const int free = kValueBits - used;
    for (uint32_t m = 0; m < (1u << magnitude); ++m)
        for (uint32_t j = 0; j < (1u << free); ++j) {
            ValueEntry &e = t.values[(code << (kValueBits - length)) | (m << free) | j];
            e.bits = static_cast<uint8_t>(used);
            e.run = end_of_block ? ValueEntry::kEndOfBlock : static_cast<uint8_t>(run);
            e.value = static_cast<int16_t>(magnitude ? extend(m, magnitude) : 0);
        }
}

class FileReader
{
  public:
    FileReader(const uint8_t *bytes, std::size_t size) : p_(bytes), end_(bytes + size) {}

    DCTDATA *read(uint16_t *rate);
    void print_refusal() const { refusal_.print(); }

  private:
    bool next_marker(uint8_t *code);
    bool segment(std::size_t *length);
    bool headers_before_scan();
    bool quantisation_tables(std::size_t length);
    bool huffman_tables(std::size_t length);
    bool restart_interval(std::size_t length);
    bool frame(std::size_t length);
    bool scan_header(std::size_t length);
    bool frame_rate(uint16_t *rate);
    bool allocate();
    bool decode_scan();
    bool decode_block(BitReader &bits, int c, int16_t *block);
    bool after_scan();
    bool dc_differences_fit();

    const uint8_t *p_, *end_;
    Refusal refusal_;
    QuantTable quant_[4];
    DecodeTable dc_[4], ac_[4];
    uint32_t restart_ = 0;
    bool have_frame_ = false;
    uint32_t w_ = 0, h_ = 0;
    Component components_[3]{};
    const DecodeTable *scan_dc_[3]{}, *scan_ac_[3]{};
    int dc_prediction_[3]{};
    img::DctPtr record_;
};

bool FileReader::next_marker(uint8_t *code)
{
    if (p_ == end_)
        return refusal_.damaged("it ends before its end-of-image marker");
    if (*p_ != 0xFF)
        return refusal_.damaged("a byte 0x%02X where a marker belongs", *p_);
    while (p_ < end_ && *p_ == 0xFF) // fill bytes
        ++p_;
    if (p_ == end_)
        return refusal_.damaged("it ends before its end-of-image marker");
    *code = *p_++;
    if (*code == 0)
        return refusal_.damaged("a stuffed zero byte outside the scan");
    return true;
}

/* The length of the segment that starts at p_, whose bytes then lie from p_
 * to p_ + length. */
bool FileReader::segment(std::size_t *length)
{
    if (end_ - p_ < 2)
        return refusal_.damaged("a segment length runs past the end of the file");
    const std::size_t n = std::size_t{p_[0]} << 8 | p_[1];
    if (n < 2 || n > static_cast<std::size_t>(end_ - p_))
        return refusal_.damaged("a segment length runs past the end of the file");
    p_ += 2;
    *length = n - 2;
    return true;
}

bool FileReader::quantisation_tables(std::size_t length)
{
    const uint8_t *s = p_, *e = p_ + length;
    while (s < e) {
        const int precision = *s >> 4, id = *s & 15;
        ++s;
        if (precision > 1 || id > 3)
            return refusal_.damaged("a quantisation table of precision %d, number %d", precision,
                                    id);
        const std::size_t bytes = 64 * (precision + 1);
        if (static_cast<std::size_t>(e - s) < bytes)
            return refusal_.damaged("a quantisation table runs past its segment");
        QuantTable &t = quant_[id];
        for (int k = 0; k < 64; ++k)
            t.divisors[k] = precision ? static_cast<uint16_t>(s[2 * k] << 8 | s[2 * k + 1]) : s[k];
        t.defined = true;
        s += bytes;
    }
    return true;
}

bool FileReader::huffman_tables(std::size_t length)
{
    const uint8_t *s = p_, *e = p_ + length;
    while (s < e) {
        const int cls = *s >> 4, id = *s & 15;
        ++s;
        if (cls > 1 || id > 3)
            return refusal_.damaged("a Huffman table of class %d, number %d", cls, id);
        if (e - s < 16)
            return refusal_.damaged("a Huffman table runs past its segment");
        const uint8_t *counts = s;
        s += 16;
        int total = 0;
        for (int i = 0; i < 16; ++i)
            total += counts[i];
        if (total > 256 || e - s < total)
            return refusal_.damaged("a Huffman table runs past its segment");
        DecodeTable &t = (cls == 0 ? dc_ : ac_)[id];
        t = DecodeTable{};
        std::memcpy(t.symbols.data(), s, static_cast<std::size_t>(total));
        s += total;
        int32_t code = 0;
        int k = 0;
        for (int length = 1; length <= 16; ++length) {
            const int n = counts[length - 1];
            if (code + n > (1 << length))
                return refusal_.damaged("a Huffman table with more codes than its lengths allow");
            t.offset[length] = k - code;
            t.max_code[length] = n ? code + n - 1 : -1;
            for (int i = 0; i < n; ++i, ++k, ++code) {
                if (length <= kLookupBits) {
                    const int shift = kLookupBits - length;
                    for (int j = 0; j < (1 << shift); ++j)
                        t.lookup[(code << shift) | j] =
                            static_cast<uint16_t>(length << 8 | t.symbols[k]);
                }
                if (length <= kValueBits)
                    fill_values(t, cls == 0, static_cast<uint32_t>(code), length, t.symbols[k]);
            }
            code <<= 1;
        }
        t.defined = true;
    }
    return true;
}

bool FileReader::restart_interval(std::size_t length)
{
    if (length != 2)
        return refusal_.damaged("a restart-interval segment of %zu bytes", length + 2);
    restart_ = uint32_t{p_[0]} << 8 | p_[1];
    return true;
}

bool FileReader::frame(std::size_t length)
{
    if (have_frame_)
        return refusal_.damaged("a second frame header");
    have_frame_ = true;
    if (length < 6)
        return refusal_.damaged("a frame header of %zu bytes", length + 2);
    const int precision = p_[0];
    h_ = uint32_t{p_[1]} << 8 | p_[2];
    w_ = uint32_t{p_[3]} << 8 | p_[4];
    const int n = p_[5];
    if (length != 6 + 3 * std::size_t(n))
        return refusal_.damaged("a frame header of %zu bytes for %d components", length + 2, n);
    if (precision != 8)
        return refusal_.unsupported("%d-bit samples", precision);
    if (n != 3)
        return refusal_.unsupported("%d components", n);
    for (int i = 0; i < 3; ++i) {
        const uint8_t *c = p_ + 6 + 3 * i;
        components_[i] = {c[0], c[1], c[2]};
        const int hf = c[1] >> 4, vf = c[1] & 15;
        if (hf < 1 || hf > 4 || vf < 1 || vf > 4 || c[2] > 3)
            return refusal_.damaged("component %d with sampling %dx%d, table %d", c[0], hf, vf,
                                    c[2]);
        for (int j = 0; j < i; ++j)
            if (components_[j].id == c[0])
                return refusal_.damaged("two components numbered %d", c[0]);
    }
    if (components_[0].sampling != 0x22 || components_[1].sampling != 0x11 ||
        components_[2].sampling != 0x11)
        return refusal_.unsupported("sampling factors %dx%d, %dx%d, %dx%d (only 2x2, 1x1, 1x1)",
                                    components_[0].sampling >> 4, components_[0].sampling & 15,
                                    components_[1].sampling >> 4, components_[1].sampling & 15,
                                    components_[2].sampling >> 4, components_[2].sampling & 15);
    if (h_ == 0)
        return refusal_.unsupported("its height in a DNL segment after the scan");
    if (w_ == 0)
        return refusal_.damaged("a frame width of 0");
    if (uint64_t{w_} * h_ > kMaxFramePixels)
        return refusal_.unsupported("a frame of %ux%u pixels (at most 2^28)", w_, h_);
    return true;
}

/* Every segment up to and including the scan header. */
bool FileReader::headers_before_scan()
{
    uint8_t code = 0;
    if (end_ - p_ < 2 || p_[0] != 0xFF || p_[1] != marker::SOI)
        return refusal_.message("ERROR: This is not a JPEG file!");
    p_ += 2;
    for (;;) {
        if (!next_marker(&code))
            return false;
        if (code == marker::SOI || code == marker::EOI || code == 0x01 ||
            (code >= marker::RST0 && code <= marker::RST7))
            return code == marker::EOI ? refusal_.damaged("no scan before its end-of-image marker")
                                       : refusal_.damaged("a marker 0x%02X before the scan", code);
        std::size_t length = 0;
        if (!segment(&length))
            return false;
        bool ok = true;
        switch (code) {
        case marker::SOF0:
        case marker::SOF1:
            ok = frame(length);
            break;
        case marker::SOF2:
            return refusal_.unsupported("progressive coding");
        case marker::SOF3:
            return refusal_.unsupported("lossless coding");
        case marker::SOF5:
        case marker::SOF5 + 1:
        case marker::SOF7:
        case marker::DHP:
        case marker::EXP:
            return refusal_.unsupported("hierarchical coding");
        case marker::DAC:
            return refusal_.unsupported("arithmetic coding");
        case marker::DQT:
            ok = quantisation_tables(length);
            break;
        case marker::DHT:
            ok = huffman_tables(length);
            break;
        case marker::DRI:
            ok = restart_interval(length);
            break;
        case marker::SOS:
            if (!have_frame_)
                return refusal_.damaged("a scan before the frame header");
            ok = scan_header(length);
            if (ok)
                p_ += length;
            return ok;
        case marker::DNL:
            return refusal_.damaged("a DNL segment before the scan");
        default:
            if (code >= marker::SOF9 && code <= marker::SOF15)
                return refusal_.unsupported("arithmetic coding");
            if (code == marker::JPG || code < marker::SOF0)
                return refusal_.damaged("a reserved marker 0x%02X", code);
            // APPn, COM and the reserved JPGn (0xF0 to 0xFD): skipped.
            break;
        }
        if (!ok)
            return false;
        p_ += length;
    }
}

bool FileReader::scan_header(std::size_t length)
{
    if (length < 1)
        return refusal_.damaged("an empty scan header");
    const int n = p_[0];
    if (length != 4 + 2 * std::size_t(n))
        return refusal_.damaged("a scan header of %zu bytes for %d components", length + 2, n);
    if (n != 3)
        return refusal_.unsupported("a scan of %d components (only one interleaved scan of all "
                                    "three)",
                                    n);
    for (int i = 0; i < 3; ++i) {
        const uint8_t id = p_[1 + 2 * i], tables = p_[2 + 2 * i];
        if (id != components_[i].id)
            return refusal_.damaged("scan component %d where the frame has %d", id,
                                    components_[i].id);
        const int td = tables >> 4, ta = tables & 15;
        if (td > 3 || ta > 3 || !dc_[td].defined || !ac_[ta].defined)
            return refusal_.damaged("component %d uses an undefined Huffman table", id);
        scan_dc_[i] = &dc_[td];
        scan_ac_[i] = &ac_[ta];
    }
    const uint8_t *s = p_ + 1 + 2 * n;
    if (s[0] != 0 || s[1] != 63 || s[2] != 0)
        return refusal_.damaged("spectral selection %d to %d, approximation %d", s[0], s[1], s[2]);
    return true;
}

/* The rate whose matrix all three components' tables are. */
bool FileReader::frame_rate(uint16_t *rate)
{
    int found = -1;
    for (const Component &c : components_) {
        const QuantTable &t = quant_[c.table];
        if (!t.defined)
            return refusal_.damaged("component %d uses an undefined quantisation table", c.id);
        const int r = t.divisors[1] - 1;
        bool matches = r >= 0 && r <= kLargestRate;
        for (int k = 0; matches && k < 64; ++k)
            matches = t.divisors[k] == divisor(r, k);
        if (!matches || (found >= 0 && r != found))
            return refusal_.unsupported("quantisation tables that are not the matrix of one rate");
        found = r;
    }
    *rate = static_cast<uint16_t>(found);
    return true;
}

bool FileReader::allocate()
{
    img::PictureBlocks blocks;
    std::size_t luma = 0, chroma = 0;
    if (!img::picture_blocks(w_, h_, &blocks) ||
        !img::block_store_samples(blocks.luma.count, &luma) ||
        !img::block_store_samples(blocks.chroma.count, &chroma))
        return refusal_.unsupported("a frame of %ux%u pixels", w_, h_);
    record_ = img::new_dct_record();
    if (!record_)
        return false; // after the memory line
    DCTDATA &r = *record_;
    r.w = w_;
    r.h = h_;
    r.YBlks = blocks.luma.count;
    r.CBlks = blocks.chroma.count;
    // Zeroed, as the blocks store only their nonzero coefficients, and with
    // large pages behind them like the picture path's results.
    r.YdataDCT = img::new_samples(luma);
    r.CbDataDCT = r.YdataDCT ? img::new_samples(chroma) : nullptr;
    r.CrDataDCT = r.CbDataDCT ? img::new_samples(chroma) : nullptr;
    return r.CrDataDCT != nullptr; // else after the memory line
}

bool FileReader::decode_block(BitReader &bits, int c, int16_t *block)
{
    // A symbol with its magnitude bits takes at most 16 + 11 bits.
    constexpr int kSymbolBits = 27;
    bits.fill();
    int &dc = dc_prediction_[c];
    const ValueEntry d = scan_dc_[c]->values[bits.peek(kValueBits)];
    if (d.bits != 0) {
        bits.skip(d.bits);
        dc += d.value;
    } else {
        const int dc_category = decode_symbol(bits, *scan_dc_[c]);
        if (dc_category < 0)
            return refusal_.damaged("an invalid Huffman code");
        if (dc_category > kMaxDcCategory)
            return refusal_.damaged("a DC difference of category %d", dc_category);
        dc += dc_category ? extend(bits.take(dc_category), dc_category) : 0;
    }
    if (dc + kDcShift < INT16_MIN || dc + kDcShift > INT16_MAX)
        return refusal_.damaged("a DC value of %d", dc);
    block[0] = static_cast<int16_t>(dc + kDcShift);
    const DecodeTable &ac = *scan_ac_[c];
    for (int k = 1; k < 64;) {
        if (bits.available() < kSymbolBits)
            bits.fill();
        const ValueEntry e = ac.values[bits.peek(kValueBits)];
        int run, value;
        if (e.bits != 0) {
            bits.skip(e.bits);
            if (e.run == ValueEntry::kEndOfBlock)
                break;
            run = e.run;
            value = e.value;
        } else {
            const int symbol = decode_symbol(bits, ac);
            if (symbol < 0)
                return refusal_.damaged("an invalid Huffman code");
            run = symbol >> 4;
            const int category = symbol & 15;
            if (category == 0) {
                if (run == 0)
                    break;
                if (run != 15)
                    return refusal_.damaged("an AC symbol 0x%02X", symbol);
            }
            if (category > kMaxAcCategory)
                return refusal_.damaged("an AC coefficient of category %d", category);
            value = category ? extend(bits.take(category), category) : 0;
        }
        // A run of 15 zeros with no value (ZRL) stores its zero in place.
        k += run;
        if (k > 63)
            return refusal_.damaged("a run of zeros past the end of a block");
        block[k++] = static_cast<int16_t>(value);
    }
    if (bits.overran())
        return refusal_.damaged("its data ends inside a block");
    return true;
}

bool FileReader::decode_scan()
{
    const ScanGeometry g(w_, h_);
    const uint64_t mcus = g.mcus();
    BitReader bits(p_, end_);
    DCTDATA &r = *record_;
    uint64_t done = 0;
    int16_t padding[64];
    uint8_t next_restart = 0;
    return for_each_mcu(g, [&](const int64_t *y, uint64_t c) {
        if (restart_ && done != 0 && done % restart_ == 0) {
            if (!bits.at_marker())
                return refusal_.damaged("data where restart marker %d belongs", next_restart);
            const uint8_t *p = bits.position();
            while (p < end_ && *p == 0xFF)
                ++p;
            if (p == end_ || *p != marker::RST0 + next_restart)
                return refusal_.damaged("restart marker %d missing", next_restart);
            bits.restart(p + 1);
            next_restart = (next_restart + 1) & 7;
            dc_prediction_[0] = dc_prediction_[1] = dc_prediction_[2] = 0;
        }
        for (int i = 0; i < 4; ++i) {
            int16_t *block = padding;
            if (y[i] >= 0)
                block = r.YdataDCT + 64 * y[i];
            else
                std::memset(padding, 0, sizeof padding);
            if (!decode_block(bits, 0, block))
                return false;
        }
        if (!decode_block(bits, 1, r.CbDataDCT + 64 * c) ||
            !decode_block(bits, 2, r.CrDataDCT + 64 * c))
            return false;
        if (++done == mcus) {
            if (!bits.at_marker())
                return refusal_.damaged("data after the last block");
            p_ = bits.position();
        }
        return true;
    });
}

/* What may follow the scan: tables and comments that nothing uses, then
 * the end of the image. */
bool FileReader::after_scan()
{
    for (;;) {
        uint8_t code = 0;
        if (!next_marker(&code))
            return false;
        if (code == marker::EOI)
            return true;
        if (code == marker::SOS)
            return refusal_.unsupported("several scans");
        if (code == marker::DNL)
            return refusal_.unsupported("a DNL segment");
        const bool skipped = code == marker::DQT || code == marker::DHT || code == marker::DRI ||
                             code == marker::COM || (code >= marker::APP0 && code <= marker::APP15);
        if (!skipped)
            return refusal_.damaged("a marker 0x%02X after the scan", code);
        std::size_t length = 0;
        if (!segment(&length))
            return false;
        p_ += length;
    }
}

/* The record must be one the writer can store again: its DC differences in
 * the writer's order, where padding blocks repeat the DC before them, within
 * the largest category. A file with other padding blocks could break that. */
bool FileReader::dc_differences_fit()
{
    const DCTDATA &r = *record_;
    int dc[3] = {0, 0, 0};
    auto fits = [&](int c, const int16_t *block) {
        const int value = block[0] - kDcShift, difference = value - dc[c];
        dc[c] = value;
        return difference >= -kMaxDcDifference && difference <= kMaxDcDifference;
    };
    const bool ok = for_each_mcu(ScanGeometry(w_, h_), [&](const int64_t *y, uint64_t c) {
        for (int i = 0; i < 4; ++i)
            if (y[i] >= 0 && !fits(0, r.YdataDCT + 64 * y[i]))
                return false;
        return fits(1, r.CbDataDCT + 64 * c) && fits(2, r.CrDataDCT + 64 * c);
    });
    return ok || refusal_.damaged("DC values that differ beyond category %d", kMaxDcCategory);
}

DCTDATA *FileReader::read(uint16_t *rate)
{
    uint16_t found = 0;
    if (!headers_before_scan() || !frame_rate(&found) || !allocate() || !decode_scan() ||
        !after_scan() || !dc_differences_fit())
        return nullptr;
    *rate = found;
    return record_.release();
}

} // namespace

} // namespace dctlab::jfif

DCTDATA *decodeJPEG(const uint8_t *bytes, size_t size, uint16_t *qRate)
{
    if ((!bytes && size != 0) || !qRate) {
        std::puts(dctlab::img::kNullArgument);
        return nullptr;
    }
    static const uint8_t kNothing[1] = {0};
    dctlab::jfif::FileReader reader(bytes ? bytes : kNothing, size);
    DCTDATA *record = reader.read(qRate);
    if (!record)
        reader.print_refusal();
    return record;
}

DCTDATA *readJPEG(const char *fName, uint16_t *qRate)
{
    if (!fName || !qRate) {
        std::puts(dctlab::img::kNullArgument);
        return nullptr;
    }
    std::FILE *f = std::fopen(fName, "rb");
    if (!f) {
        std::puts(dctlab::img::kCantRead);
        return nullptr;
    }
    // Read in growing pieces rather than by a size the file claims: pipes
    // and special files have none.
    std::string bytes;
    char piece[1 << 16];
    std::size_t n = 0;
    try {
        while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
            bytes.append(piece, n);
    } catch (const std::bad_alloc &) {
        std::fclose(f);
        std::puts(dctlab::img::kNoMemory);
        return nullptr;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        std::puts(dctlab::img::kCantRead);
        return nullptr;
    }
    return decodeJPEG(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), qRate);
}

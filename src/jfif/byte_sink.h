/* A growing malloc buffer that the writer fills and hands out, and the bit
 * writer of entropy-coded data on top of it. */
#ifndef DCTLAB_JFIF_BYTE_SINK_H
#define DCTLAB_JFIF_BYTE_SINK_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace dctlab::jfif
{

class ByteSink
{
  public:
    ByteSink() = default;
    ByteSink(const ByteSink &) = delete;
    ByteSink &operator=(const ByteSink &) = delete;
    ~ByteSink() { std::free(data_); }

    /* Room for `extra` more bytes; false when memory runs out. */
    bool reserve(std::size_t extra)
    {
        if (capacity_ - size_ >= extra)
            return true;
        std::size_t want = capacity_ < 4096 ? 4096 : capacity_;
        while (want - size_ < extra) {
            if (want > SIZE_MAX / 2)
                return false;
            want *= 2;
        }
        auto *grown = static_cast<uint8_t *>(std::realloc(data_, want));
        if (!grown)
            return false;
        data_ = grown;
        capacity_ = want;
        return true;
    }
    /* These write into reserved room only. */
    void byte(uint8_t b) { data_[size_++] = b; }
    void word(uint16_t w)
    {
        byte(static_cast<uint8_t>(w >> 8));
        byte(static_cast<uint8_t>(w));
    }
    void bytes(const void *p, std::size_t n)
    {
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    uint8_t *end() { return data_ + size_; }
    void advance(std::size_t n) { size_ += n; }

    std::size_t size() const { return size_; }
    /* The buffer, now the caller's. */
    uint8_t *release()
    {
        uint8_t *p = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return p;
    }

  private:
    uint8_t *data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

/* Entropy-coded bits, most significant first, with a zero byte stuffed after
 * every 0xFF so that no marker appears in the data. Writes into room the
 * caller reserved: at most 2 bytes a 8 bits put. */
class BitWriter
{
  public:
    explicit BitWriter(ByteSink &sink) : sink_(sink) {}

    /* Up to 32 bits; `bits` holds no bits above `count`. */
    void put(uint32_t bits, int count)
    {
        acc_ = (acc_ << count) | bits;
        count_ += count;
        if (count_ >= 32) {
            count_ -= 32;
            flush_word(static_cast<uint32_t>(acc_ >> count_));
        }
    }
    /* Pads the last byte with ones, as decoders expect. */
    void finish()
    {
        const int pad = (8 - count_ % 8) % 8;
        put((1u << pad) - 1, pad);
        while (count_ >= 8) {
            count_ -= 8;
            flush_byte(static_cast<uint8_t>(acc_ >> count_));
        }
    }

  private:
    void flush_byte(uint8_t b)
    {
        sink_.byte(b);
        if (b == 0xFF)
            sink_.byte(0);
    }
    void flush_word(uint32_t w)
    {
        // A byte of 0xFF is a zero byte of ~w.
        const uint32_t inverted = ~w;
        if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
            uint8_t *p = sink_.end();
            p[0] = static_cast<uint8_t>(w >> 24);
            p[1] = static_cast<uint8_t>(w >> 16);
            p[2] = static_cast<uint8_t>(w >> 8);
            p[3] = static_cast<uint8_t>(w);
            sink_.advance(4);
            return;
        }
        for (int shift = 24; shift >= 0; shift -= 8)
            flush_byte(static_cast<uint8_t>(w >> shift));
    }

    ByteSink &sink_;
    uint64_t acc_ = 0;
    int count_ = 0;
};

} // namespace dctlab::jfif

#endif

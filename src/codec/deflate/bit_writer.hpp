// Writing a deflate bit stream: codes and extra bits go in least significant bit first, as
// the format packs them, through a 64-bit accumulator that stores whole words at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv::deflate {

class BitWriter {
public:
    // Writes from `out` on, which must have room for everything written plus 8 bytes (whole
    // words are stored). `first_bits` bits of the first byte are taken already (by whatever
    // precedes: they are left as zeros and ORed in by the caller).
    BitWriter(uint8_t* out, int first_bits = 0) : out_(out), count_(first_bits) {}

    // `bits` must hold no bits above `length` (at most 32).
    void put(uint32_t bits, int length)
    {
        accumulator_ |= uint64_t{bits} << count_;
        count_ += length;
        if (count_ >= 32) {
            store32(static_cast<uint32_t>(accumulator_));
            accumulator_ >>= 32;
            count_ -= 32;
        }
    }

    // Pads with zeros to the next byte boundary and writes out everything held.
    void align()
    {
        const int bytes = (count_ + 7) / 8;
        store64(accumulator_);
        at_ += static_cast<size_t>(bytes);
        accumulator_ = 0;
        count_ = 0;
    }

    // Whole bytes, after align().
    void put_bytes(const uint8_t* data, size_t size)
    {
        if (size != 0) std::memcpy(out_ + at_, data, size);
        at_ += size;
    }

    // `count` bits from `bits` (least significant first, as another writer left them, with 8
    // readable bytes past them).
    void put_bits(const uint8_t* bits, uint64_t count)
    {
        for (; count >= 32; count -= 32, bits += 4) put(load32(bits), 32);
        if (count > 0) put(load32(bits) & ((uint32_t{1} << count) - 1), static_cast<int>(count));
    }

    // Bits written so far, the first byte's taken bits included.
    uint64_t bit_count() const { return uint64_t{at_} * 8 + static_cast<uint64_t>(count_); }

    // Writes out the bits still held (the last byte padded with zeros); bit_count() is kept.
    void flush() { store64(accumulator_); }

private:
    static uint32_t load32(const uint8_t* p)
    {
        uint32_t word;
        std::memcpy(&word, p, sizeof word);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        return word;
    }

    // The stream is little-endian: the earliest bits in the lowest byte.
    void store32(uint32_t word)
    {
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        std::memcpy(out_ + at_, &word, sizeof word);
        at_ += 4;
    }
    void store64(uint64_t word) const
    {
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        std::memcpy(out_ + at_, &word, sizeof word);
    }

    uint8_t* out_;
    size_t at_ = 0;
    uint64_t accumulator_ = 0;
    int count_ = 0;
};

}  // namespace qv::deflate

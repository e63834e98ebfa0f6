// Shared by the native fuzz targets: reading a header off the input, cutting data into
// pieces, a zlib stream of stored blocks (valid whatever the payload, and cheap to build: no
// deflate state per input) and a check that aborts, so that libFuzzer keeps the input.
#pragma once

#include "codec/png/row_inflater.hpp"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace qv::fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    const uint8_t* rest() const { return data_ + pos_; }
    size_t left() const { return size_ - pos_; }
    void skip(size_t n) { pos_ += n < left() ? n : left(); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// `data` in `count` pieces at points drawn from `seed` (pieces may be empty).
inline std::vector<png::ByteSpan> split(const uint8_t* data, size_t size, size_t count, uint32_t seed)
{
    std::vector<png::ByteSpan> pieces;
    size_t at = 0;
    for (size_t i = 1; i < count && at < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = (seed >> 8) % (size - at + 1);
        pieces.push_back({data + at, n});
        at += n;
    }
    pieces.push_back({data + at, size - at});
    return pieces;
}

// A complete zlib stream that inflates to exactly `data`.
inline std::vector<uint8_t> stored_stream(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> out{0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = size - at < 65535 ? size - at : 65535;
        const bool last = at + n == size;
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<uint8_t>(n));
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(~n));
        out.push_back(static_cast<uint8_t>(~n >> 8));
        out.insert(out.end(), data + at, data + at + n);
        at += n;
    } while (at < size);
    const auto sum = static_cast<uint32_t>(adler32(1, data, static_cast<uInt>(size)));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(sum >> shift));
    return out;
}

}  // namespace qv::fuzz

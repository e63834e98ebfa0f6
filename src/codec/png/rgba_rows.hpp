// Moving between RGBA scanlines and the separate RGB buffer and alpha plane. Each pixel is
// moved as one 4-byte word; a 4-byte store of a 3-byte RGB pixel spills into the next pixel,
// which is written right after, so only the row's last pixel needs exact-size accesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv::png {

inline uint32_t load_word(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void store_word(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// R, G, B, A pixels into R, G, B bytes and alpha bytes.
inline void split_rgba_row(const uint8_t* rgba, size_t width, uint8_t* rgb, uint8_t* alpha)
{
    if (width == 0) return;
    for (size_t x = 0; x + 1 < width; ++x) {
        store_word(rgb + 3 * x, load_word(rgba + 4 * x));
        alpha[x] = rgba[4 * x + 3];
    }
    const size_t last = width - 1;
    std::memcpy(rgb + 3 * last, rgba + 4 * last, 3);
    alpha[last] = rgba[4 * last + 3];
}

// R, G, B bytes and alpha bytes into R, G, B, A pixels.
inline void join_rgba_row(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* rgba)
{
    if (width == 0) return;
    for (size_t x = 0; x + 1 < width; ++x) {
        uint8_t* out = rgba + 4 * x;
        store_word(out, load_word(rgb + 3 * x));  // the spilled fourth byte is replaced below
        out[3] = alpha[x];
    }
    const size_t last = width - 1;
    std::memcpy(rgba + 4 * last, rgb + 3 * last, 3);
    rgba[4 * last + 3] = alpha[last];
}

}  // namespace qv::png

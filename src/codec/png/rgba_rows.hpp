// Moving between RGBA scanlines and the separate RGB buffer and alpha plane. The pixel loops
// move each pixel as one 4-byte word; a 4-byte store of a 3-byte RGB pixel spills into the
// next pixel, which is written right after, so only the row's last pixel needs exact-size
// accesses. With SSSE3, four pixels go at a time through a byte shuffle.
#pragma once

#include "codec/png/kernel_path.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv::png {
QV_KERNELS_BEGIN

inline uint32_t load_word(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void store_word(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// R, G, B, A pixels into R, G, B bytes and alpha bytes, a pixel at a time: the reference.
inline void split_rgba_row_scalar(const uint8_t* rgba, size_t width, uint8_t* rgb, uint8_t* alpha)
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

// R, G, B bytes and alpha bytes into R, G, B, A pixels, a pixel at a time: the reference.
inline void join_rgba_row_scalar(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* rgba)
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

#if defined(__SSSE3__)
namespace kernels {

// Four pixels a step, one byte shuffle each way. A step reads or writes 16 RGB bytes of which
// it owns 12 (the next step rewrites the other 4), so the steps stop while 6 pixels remain
// (3 * 6 >= 16) and the pixel loop finishes the row within its bounds.
inline constexpr size_t kShuffleTail = 6;

inline void split_rgba_row(const uint8_t* rgba, size_t width, uint8_t* rgb, uint8_t* alpha)
{
    const __m128i rgb_then_alpha = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
    size_t x = 0;
    for (; x + kShuffleTail <= width; x += 4) {
        const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba + 4 * x)),
                                           rgb_then_alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rgb + 3 * x), v);
        store_word(alpha + x, static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 12))));
    }
    split_rgba_row_scalar(rgba + 4 * x, width - x, rgb + 3 * x, alpha + x);
}

inline void join_rgba_row(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* rgba)
{
    const __m128i spread_rgb = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i spread_alpha = _mm_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3);
    size_t x = 0;
    for (; x + kShuffleTail <= width; x += 4) {
        const __m128i colour = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb + 3 * x)),
                                                spread_rgb);
        const __m128i opacity = _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(load_word(alpha + x))),
                                                 spread_alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rgba + 4 * x), _mm_or_si128(colour, opacity));
    }
    join_rgba_row_scalar(rgb + 3 * x, alpha + x, width - x, rgba + 4 * x);
}

}  // namespace kernels
#endif

// The entry points, on `path` (the run-time choice by default). Without SSSE3 the pixel
// loops are the fastest way: SSE2 has no byte shuffle.
inline void split_rgba_row(const uint8_t* rgba, size_t width, uint8_t* rgb, uint8_t* alpha,
                           KernelPath path = chosen_kernel_path())
{
    if (handed_to_unit(path, [&](const auto& unit) { unit.split_rgba_row(rgba, width, rgb, alpha); })) return;
#if defined(__SSSE3__)
    if (path >= KernelPath::kSsse3) return kernels::split_rgba_row(rgba, width, rgb, alpha);
#endif
    (void)path;
    split_rgba_row_scalar(rgba, width, rgb, alpha);
}

inline void join_rgba_row(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* rgba,
                          KernelPath path = chosen_kernel_path())
{
    if (handed_to_unit(path, [&](const auto& unit) { unit.join_rgba_row(rgb, alpha, width, rgba); })) return;
#if defined(__SSSE3__)
    if (path >= KernelPath::kSsse3) return kernels::join_rgba_row(rgb, alpha, width, rgba);
#endif
    (void)path;
    join_rgba_row_scalar(rgb, alpha, width, rgba);
}

QV_KERNELS_END
}  // namespace qv::png

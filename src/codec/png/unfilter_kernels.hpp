// Scanline reconstruction for 3- and 4-byte pixels, a pixel at a time in SSE2 registers.
// Sub, Average and Paeth carry a dependency from each pixel to the next, so the byte loops in
// filters.hpp cannot be vectorised across a row; working on whole pixels removes the inner
// per-byte chain. Results are bit-exact with unfilter_row, which handles everything else.
#pragma once

#include "codec/png/filters.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qv::png {

#if defined(__SSE2__)
namespace kernels {

// A pixel's bytes in the low lanes of a register. Reading or writing 4 bytes for a 3-byte
// pixel touches the first byte of the next pixel: harmless inside a row (that byte is
// written again in the next step), never done for the row's last pixel.
template <size_t Bpp, bool Wide>
inline __m128i load_pixel(const uint8_t* p)
{
    uint32_t v = 0;
    if constexpr (Wide || Bpp == 4) {
        std::memcpy(&v, p, 4);
    } else {
        uint16_t low = 0;
        std::memcpy(&low, p, 2);
        v = low | (uint32_t{p[2]} << 16);
    }
    return _mm_cvtsi32_si128(static_cast<int>(v));
}

template <size_t Bpp, bool Wide>
inline void store_pixel(uint8_t* p, __m128i px)
{
    const auto v = static_cast<uint32_t>(_mm_cvtsi128_si32(px));
    if constexpr (Wide || Bpp == 4) {
        std::memcpy(p, &v, 4);
    } else {
        const auto low = static_cast<uint16_t>(v);
        std::memcpy(p, &low, 2);
        p[2] = static_cast<uint8_t>(v >> 16);
    }
}

inline __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

inline __m128i select(__m128i mask, __m128i yes, __m128i no)
{
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// Runs `step(offset, wide)` over every pixel of a row; the last pixel of a 3-byte row is the
// only one handled with exact-size memory accesses.
template <size_t Bpp, typename Step>
inline void for_each_pixel(size_t length, Step step)
{
    const size_t pixels = length / Bpp;
    if (pixels == 0) return;
    size_t i = 0;
    for (size_t n = 1; n < pixels; ++n, i += Bpp) step(i, std::true_type{});
    step(i, std::false_type{});
}

template <size_t Bpp>
inline void sub(const uint8_t* filtered, size_t length, uint8_t* recon)
{
    __m128i a = _mm_setzero_si128();
    for_each_pixel<Bpp>(length, [&](size_t i, auto wide) {
        a = _mm_add_epi8(load_pixel<Bpp, decltype(wide)::value>(filtered + i), a);
        store_pixel<Bpp, decltype(wide)::value>(recon + i, a);
    });
}

// floor((a + b) / 2) per byte: the rounding-up average less the bit it rounded up.
template <size_t Bpp>
inline void average(const uint8_t* filtered, const uint8_t* prev, size_t length, uint8_t* recon)
{
    const __m128i one = _mm_set1_epi8(1);
    __m128i a = _mm_setzero_si128();
    for_each_pixel<Bpp>(length, [&](size_t i, auto wide) {
        const __m128i b = load_pixel<Bpp, decltype(wide)::value>(prev + i);
        const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        a = _mm_add_epi8(load_pixel<Bpp, decltype(wide)::value>(filtered + i), mean);
        store_pixel<Bpp, decltype(wide)::value>(recon + i, a);
    });
}

// Paeth in 16-bit lanes, arranged so that the chain from one pixel to the next is short:
// everything that depends only on the row above is worked out first. pa = |b - c| needs no
// left byte; pb = |a - c| and pc = |(a - c) + (b - c)|. The choice is a when pa is not above
// pb nor pc, else b when pb is not above pc, else c: the tie order of paeth_predictor.
template <size_t Bpp>
inline void paeth(const uint8_t* filtered, const uint8_t* prev, size_t length, uint8_t* recon)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    __m128i a = zero;  // left, widened
    __m128i c = zero;  // upper left, widened
    for_each_pixel<Bpp>(length, [&](size_t i, auto wide) {
        constexpr bool kWide = decltype(wide)::value;
        const __m128i b = _mm_unpacklo_epi8(load_pixel<Bpp, kWide>(prev + i), zero);
        const __m128i x = _mm_unpacklo_epi8(load_pixel<Bpp, kWide>(filtered + i), zero);
        const __m128i b_minus_c = _mm_sub_epi16(b, c);
        const __m128i pa = abs16(b_minus_c);
        const __m128i a_minus_c = _mm_sub_epi16(a, c);
        const __m128i pb = abs16(a_minus_c);
        const __m128i pc = abs16(_mm_add_epi16(a_minus_c, b_minus_c));
        const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i b_or_c = _mm_add_epi16(c, _mm_andnot_si128(_mm_cmpgt_epi16(pb, pc), b_minus_c));
        const __m128i pred = select(not_a, b_or_c, a);
        a = _mm_and_si128(_mm_add_epi16(pred, x), low_byte);
        store_pixel<Bpp, kWide>(recon + i, _mm_packus_epi16(a, a));
        c = b;
    });
}

template <size_t Bpp>
inline bool reconstruct(int type, const uint8_t* filtered, const uint8_t* prev, size_t length, uint8_t* recon)
{
    switch (type) {
    case kSub:
        sub<Bpp>(filtered, length, recon);
        return true;
    case kAverage:
        if (prev == nullptr) return false;
        average<Bpp>(filtered, prev, length, recon);
        return true;
    case kPaeth:
        if (prev == nullptr) sub<Bpp>(filtered, length, recon);  // Paeth(a, 0, 0) = a
        else paeth<Bpp>(filtered, prev, length, recon);
        return true;
    default:
        return false;
    }
}

}  // namespace kernels
#endif

// unfilter_row with the pixel-wise kernels where they apply. `recon` must not overlap
// `filtered` or `prev`.
inline void reconstruct_row(int type, const uint8_t* filtered, const uint8_t* prev, size_t length, size_t bpp,
                            uint8_t* recon)
{
#if defined(__SSE2__)
    if (bpp == 3 && kernels::reconstruct<3>(type, filtered, prev, length, recon)) return;
    if (bpp == 4 && kernels::reconstruct<4>(type, filtered, prev, length, recon)) return;
#endif
    unfilter_row(type, filtered, prev, length, bpp, recon);
}

}  // namespace qv::png

// Two consecutive scanlines of 3- or 4-byte pixels reconstructed in one pass. Paeth and
// Average are bound by the latency of the chain from each pixel to the next; running the
// lower row one pixel behind the upper one gives the processor two independent chains. The
// lower row takes its up and upper-left bytes from registers, so it never waits on memory.
// Bit-exact with unfilter_row.
#pragma once

#include "codec/png/unfilter_kernels.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qv::png {

#if defined(__SSE2__)
namespace kernels {

// One pixel, in 16-bit lanes: x filtered, a left, b up, c upper left, all 0..255. Returns the
// reconstructed pixel.
template <int Type>
inline __m128i reconstruct_pixel(__m128i x, __m128i a, __m128i b, __m128i c)
{
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    if constexpr (Type == kNone) {
        return x;
    } else if constexpr (Type == kSub) {
        return _mm_and_si128(_mm_add_epi16(x, a), low_byte);
    } else if constexpr (Type == kUp) {
        return _mm_and_si128(_mm_add_epi16(x, b), low_byte);
    } else if constexpr (Type == kAverage) {
        return _mm_and_si128(_mm_add_epi16(x, _mm_srli_epi16(_mm_add_epi16(a, b), 1)), low_byte);
    } else {
        // As in paeth(): a when pa is not above pb nor pc, else b when pb is not above pc, else c.
        const __m128i b_minus_c = _mm_sub_epi16(b, c);
        const __m128i a_minus_c = _mm_sub_epi16(a, c);
        const __m128i pa = abs16(b_minus_c);
        const __m128i pb = abs16(a_minus_c);
        const __m128i pc = abs16(_mm_add_epi16(a_minus_c, b_minus_c));
        const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i b_or_c = _mm_add_epi16(c, _mm_andnot_si128(_mm_cmpgt_epi16(pb, pc), b_minus_c));
        return _mm_and_si128(_mm_add_epi16(select(not_a, b_or_c, a), x), low_byte);
    }
}

template <size_t Bpp, bool Wide>
inline __m128i load_wide16(const uint8_t* p)
{
    return _mm_unpacklo_epi8(load_pixel<Bpp, Wide>(p), _mm_setzero_si128());
}

template <size_t Bpp, bool Wide>
inline void store16(uint8_t* p, __m128i v)
{
    store_pixel<Bpp, Wide>(p, _mm_packus_epi16(v, v));
}

// Rows 0 and 1 of a pair: row 0 above `prev0` (a whole previous row), row 1 above row 0.
// `out1` may be the memory of `prev0`: row 1 writes each pixel after row 0 has read it.
// Row lengths are whole pixels, at least one.
template <size_t Bpp, int T0, int T1>
void reconstruct_pair(const uint8_t* f0, const uint8_t* f1, const uint8_t* prev0, size_t length, uint8_t* out0,
                      uint8_t* out1)
{
    const size_t pixels = length / Bpp;
    const __m128i zero = _mm_setzero_si128();
    __m128i a0 = zero, c0 = zero, a1 = zero, c1 = zero;
    __m128i above = zero;  // row 0's pixel over row 1's current one
    size_t i = 0;          // byte offset of row 0's pixel; row 1 is one pixel behind
    auto upper = [&](auto wide) {
        constexpr bool kWide = decltype(wide)::value;
        const __m128i b0 = load_wide16<Bpp, kWide>(prev0 + i);
        a0 = reconstruct_pixel<T0>(load_wide16<Bpp, kWide>(f0 + i), a0, b0, c0);
        store16<Bpp, kWide>(out0 + i, a0);
        c0 = b0;
    };
    auto lower = [&](auto wide) {
        constexpr bool kWide = decltype(wide)::value;
        const size_t j = i - Bpp;
        a1 = reconstruct_pixel<T1>(load_wide16<Bpp, kWide>(f1 + j), a1, above, c1);
        store16<Bpp, kWide>(out1 + j, a1);
        c1 = above;
    };
    if (pixels == 1) {
        upper(std::false_type{});
    } else {
        upper(std::true_type{});
    }
    above = a0;
    for (size_t n = 1; n < pixels; ++n) {
        i += Bpp;
        if (n + 1 < pixels) upper(std::true_type{});
        else upper(std::false_type{});
        lower(std::true_type{});
        above = a0;
    }
    i += Bpp;
    lower(std::false_type{});
}

using PairKernel = void (*)(const uint8_t*, const uint8_t*, const uint8_t*, size_t, uint8_t*, uint8_t*);

template <size_t Bpp, int T0, size_t... T1>
constexpr std::array<PairKernel, 5> lower_types(std::index_sequence<T1...>)
{
    return {&reconstruct_pair<Bpp, T0, static_cast<int>(T1)>...};
}

template <size_t Bpp, size_t... T0>
constexpr std::array<std::array<PairKernel, 5>, 5> pair_table(std::index_sequence<T0...>)
{
    return {lower_types<Bpp, static_cast<int>(T0)>(std::make_index_sequence<5>{})...};
}

template <size_t Bpp>
inline constexpr auto kPairKernels = pair_table<Bpp>(std::make_index_sequence<5>{});

}  // namespace kernels
#endif

// Whether reconstruct_pair can take rows of `bpp` bytes a pixel.
inline bool pairs_supported(size_t bpp)
{
#if defined(__SSE2__)
    return bpp == 3 || bpp == 4;
#else
    (void)bpp;
    return false;
#endif
}

// Reconstructs two consecutive rows with filter types 0..4; `prev0` is the row above the first
// (never null: the first row of an image goes through reconstruct_row). Only when
// pairs_supported(bpp); `out0` must not overlap the inputs, `out1` may be `prev0`.
inline void reconstruct_pair(int type0, int type1, const uint8_t* f0, const uint8_t* f1, const uint8_t* prev0,
                             size_t length, size_t bpp, uint8_t* out0, uint8_t* out1)
{
#if defined(__SSE2__)
    if (length == 0) return;
    const auto& table = bpp == 3 ? kernels::kPairKernels<3> : kernels::kPairKernels<4>;
    table[type0][type1](f0, f1, prev0, length, out0, out1);
#else
    (void)type0, (void)type1, (void)f0, (void)f1, (void)prev0, (void)length, (void)bpp, (void)out0, (void)out1;
#endif
}

}  // namespace qv::png

// PNG scanline filters, for decoding and encoding alike: the predictors (one scalar and one
// vector form of each), the plain byte loops that are the reference for every kernel, and the
// encoder's row filter. Plain byte arithmetic: no Python, no allocation, nothing that can
// fail; callers guarantee the lengths.
//
// Each filter type predicts a byte from a (the byte one pixel to the left), b (the byte
// above) and c (the byte above and to the left), bytes outside the image reading as zero.
// Encoding stores x - predictor, decoding rebuilds x = filtered + predictor, all mod 256;
// the encoder takes a from the raw row, the decoder from the row it has rebuilt so far.
#pragma once

#include "codec/png/kernel_path.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace qv::png {
QV_KERNELS_BEGIN

enum FilterType : int { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
inline constexpr int kMaxFilterType = 4;

// ---- Predictors -----------------------------------------------------------------------

inline int predict_none(int, int, int) { return 0; }
inline int predict_sub(int a, int, int) { return a; }
inline int predict_up(int, int b, int) { return b; }
inline int predict_average(int a, int b, int) { return (a + b) >> 1; }

// Ties go to a, then b, then c. With p = a + b - c the three distances are |b - c|, |a - c|
// and |a + b - 2c|; written without branches, the compiler turns the choice into
// conditional moves.
inline int predict_paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - c - c);
    const int bc = pb <= pc ? b : c;
    return ((pa <= pb) & (pa <= pc)) ? a : bc;
}

template <int Type>
inline int predict(int a, int b, int c)
{
    if constexpr (Type == kNone) return predict_none(a, b, c);
    else if constexpr (Type == kSub) return predict_sub(a, b, c);
    else if constexpr (Type == kUp) return predict_up(a, b, c);
    else if constexpr (Type == kAverage) return predict_average(a, b, c);
    else return predict_paeth(a, b, c);
}

// The vector predictors work on lanes of 8 or 16 bits holding 0..255. Paeth needs signed
// differences up to 510, so it works on 16-bit lanes only.
template <int Type>
inline constexpr int kLaneBits = Type == kPaeth ? 16 : 8;
// Whether the predictor reads a, the byte one pixel back.
template <int Type>
inline constexpr bool kReadsLeft = Type == kSub || Type == kAverage || Type == kPaeth;

#if defined(__SSE2__)
namespace simd {

template <int Bits>
QV_KERNEL_INLINE __m128i complement(__m128i v)
{
    return _mm_xor_si128(v, _mm_set1_epi32(-1));
}

// The rounding-up average the instruction set has, (a + b + 1) >> 1 per lane.
template <int Bits>
QV_KERNEL_INLINE __m128i average_up(__m128i a, __m128i b)
{
    if constexpr (Bits == 8) return _mm_avg_epu8(a, b);
    else return _mm_avg_epu16(a, b);
}

// The predictors on whole registers. Average is floor((a + b) / 2) = ~avg_up(~a, ~b): the
// complements sum to (2^n - 1) * 2 - (a + b), so rounding their average up rounds the
// average of a and b down. Paeth is arranged so that the chain from a to the result is
// short: pa = |b - c| does not involve a, pb = |a - c| and pc = |a + (b - 2c)| are one add and
// one abs from a, and the choice of b or c waits only for those. The result is a when pa is
// not above pb nor pc (not above the smaller of them), else b when pb is not above pc, else
// c: the tie order of predict_paeth.
template <int Type, typename Ops, int Bits = kLaneBits<Type>>
QV_KERNEL_INLINE __m128i predict(__m128i a, __m128i b, __m128i c)
{
    static_assert(Bits == 16 || Type != kPaeth, "Paeth needs 16-bit lanes");
    if constexpr (Type == kNone) {
        return _mm_setzero_si128();
    } else if constexpr (Type == kSub) {
        return a;
    } else if constexpr (Type == kUp) {
        return b;
    } else if constexpr (Type == kAverage) {
        return complement<Bits>(average_up<Bits>(complement<Bits>(a), complement<Bits>(b)));
    } else {
        const __m128i b_minus_c = _mm_sub_epi16(b, c);
        const __m128i pa = Ops::abs16(b_minus_c);
        const __m128i pb = Ops::abs16(_mm_sub_epi16(a, c));
        const __m128i pc = Ops::abs16(_mm_add_epi16(a, _mm_sub_epi16(b_minus_c, c)));
        const __m128i not_a = _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc));
        const __m128i c_wins = _mm_cmpgt_epi16(pb, pc);
        const __m128i b_or_c =
            Ops::kBlends ? Ops::select(c_wins, c, b) : _mm_add_epi16(c, _mm_andnot_si128(c_wins, b_minus_c));
        return Ops::select(not_a, b_or_c, a);
    }
}

// x + p (decoding) or x - p (encoding), mod 256.
template <bool Decode, int Bits>
QV_KERNEL_INLINE __m128i apply(__m128i x, __m128i p)
{
    if constexpr (Bits == 8) {
        return Decode ? _mm_add_epi8(x, p) : _mm_sub_epi8(x, p);
    } else {
        const __m128i sum = Decode ? _mm_add_epi16(x, p) : _mm_sub_epi16(x, p);
        return _mm_and_si128(sum, _mm_set1_epi16(0xFF));
    }
}

// A rebuilt byte, x + predictor. For Average, x + ~m = (x - 1) - m drops the outer
// complement from the chain that runs from one pixel to the next (x - 1 does not wait).
template <int Type, typename Ops, int Bits = kLaneBits<Type>>
QV_KERNEL_INLINE __m128i unfilter(__m128i x, __m128i a, __m128i b, __m128i c)
{
    if constexpr (Type == kAverage) {
        const __m128i ones = _mm_set1_epi32(-1);
        const __m128i x_less_one = Bits == 8 ? _mm_add_epi8(x, ones) : _mm_add_epi16(x, ones);
        const __m128i m = average_up<Bits>(complement<Bits>(a), complement<Bits>(b));
        return apply<false, Bits>(x_less_one, m);
    } else if constexpr (Bits == 16) {
        // x and every other predictor are bytes in 16-bit lanes: a bytewise add keeps the high
        // bytes zero, one step on the chain instead of a 16-bit add and a mask.
        return _mm_add_epi8(x, predict<Type, Ops, Bits>(a, b, c));
    } else {
        return apply<true, Bits>(x, predict<Type, Ops, Bits>(a, b, c));
    }
}

}  // namespace simd
#endif

// ---- Dispatch on the filter type --------------------------------------------------------

// Calls `body(type, has_prev)` with both as compile-time constants. Without a row above, the
// predictors read b = c = 0: Up becomes None and Paeth(a, 0, 0) = a becomes Sub. Types above
// 4 call nothing.
template <typename Body>
inline void with_filter_type(int type, const uint8_t* prev, Body&& body)
{
    using std::integral_constant;
    if (prev == nullptr) {
        switch (type) {
        case kNone:
        case kUp: return body(integral_constant<int, kNone>{}, std::false_type{});
        case kSub:
        case kPaeth: return body(integral_constant<int, kSub>{}, std::false_type{});
        case kAverage: return body(integral_constant<int, kAverage>{}, std::false_type{});
        default: return;
        }
    }
    switch (type) {
    case kNone: return body(integral_constant<int, kNone>{}, std::true_type{});
    case kSub: return body(integral_constant<int, kSub>{}, std::true_type{});
    case kUp: return body(integral_constant<int, kUp>{}, std::true_type{});
    case kAverage: return body(integral_constant<int, kAverage>{}, std::true_type{});
    case kPaeth: return body(integral_constant<int, kPaeth>{}, std::true_type{});
    default: return;
    }
}

// ---- The byte loops -----------------------------------------------------------------------

namespace scalar {

// Bytes [from, to) of a row: out[i] = src[i] + predictor (decoding, a read from `out`) or
// src[i] - predictor (encoding, a read from `src`).
template <int Type, bool Decode, bool HasPrev>
inline void filter_range(const uint8_t* src, const uint8_t* prev, size_t from, size_t to, size_t bpp, uint8_t* out)
{
    if constexpr (Type == kNone) {
        if (to > from) std::memcpy(out + from, src + from, to - from);
        return;
    }
    auto apply = [](uint8_t x, int p) { return static_cast<uint8_t>(Decode ? x + p : x - p); };
    // Plain comparisons rather than std::min and std::max: see the note on kernel units in kernel_path.hpp.
    const size_t first_end = to < bpp ? to : bpp;
    for (size_t i = from; i < first_end; ++i) out[i] = apply(src[i], predict<Type>(0, HasPrev ? prev[i] : 0, 0));
    const uint8_t* left = Decode ? out : src;
    for (size_t i = from > bpp ? from : bpp; i < to; ++i) {
        out[i] = apply(src[i], predict<Type>(left[i - bpp], HasPrev ? prev[i] : 0, HasPrev ? prev[i - bpp] : 0));
    }
}

}  // namespace scalar

// Rebuilds one scanline from its filtered bytes and the previous rebuilt row `prev` (nullptr
// for the first row, read as zeros), a byte at a time. 0 <= type <= 4, bpp >= 1; `recon`
// must not overlap the inputs. The reference for the kernels, and the fastest way for rows
// of a few bytes.
inline void unfilter_row_scalar(int type, const uint8_t* filtered, const uint8_t* prev, size_t length, size_t bpp,
                                uint8_t* recon)
{
    with_filter_type(type, prev, [&](auto t, auto has_prev) {
        scalar::filter_range<decltype(t)::value, true, decltype(has_prev)::value>(filtered, prev, 0, length, bpp,
                                                                                   recon);
    });
}

inline void filter_row_scalar(int type, const uint8_t* raw, const uint8_t* prev, size_t length, size_t bpp,
                              uint8_t* out)
{
    with_filter_type(type, prev, [&](auto t, auto has_prev) {
        scalar::filter_range<decltype(t)::value, false, decltype(has_prev)::value>(raw, prev, 0, length, bpp, out);
    });
}

// ---- Sixteen bytes at a time ------------------------------------------------------------

#if defined(__SSE2__)
namespace kernels {

// Bytes [from, from + 16k) of a row, in 16-byte steps, for directions where no byte depends
// on the output: every type when encoding, None and Up when decoding. Returns where it
// stopped (fewer than 16 bytes before `length`). `from` is at least bpp when the type reads
// the left byte.
template <int Type, bool Decode, bool HasPrev, typename Ops>
inline size_t filter_blocks(const uint8_t* src, const uint8_t* prev, size_t from, size_t length, size_t bpp,
                            uint8_t* out)
{
    static_assert(!Decode || !kReadsLeft<Type>, "the left byte of a rebuilt row is not known 16 bytes ahead");
    const __m128i zero = _mm_setzero_si128();
    auto load = [](const uint8_t* p) QV_KERNEL_LAMBDA { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    if constexpr (Type == kNone) {
        return from;  // the byte loop copies
    }
    auto step = [&](size_t i) QV_KERNEL_LAMBDA {
        const __m128i x = load(src + i);
        const __m128i b = HasPrev ? load(prev + i) : zero;
        const __m128i a = kReadsLeft<Type> ? load(src + i - bpp) : zero;
        const __m128i c = kReadsLeft<Type> && HasPrev ? load(prev + i - bpp) : zero;
        __m128i result;
        if constexpr (kLaneBits<Type> == 16) {
            auto half = [&](auto widen) QV_KERNEL_LAMBDA {
                return simd::apply<Decode, 16>(widen(x), simd::predict<Type, Ops>(widen(a), widen(b), widen(c)));
            };
            const __m128i lo = half([&](__m128i v) QV_KERNEL_LAMBDA { return _mm_unpacklo_epi8(v, zero); });
            const __m128i hi = half([&](__m128i v) QV_KERNEL_LAMBDA { return _mm_unpackhi_epi8(v, zero); });
            result = _mm_packus_epi16(lo, hi);
        } else {
            result = simd::apply<Decode, 8>(x, simd::predict<Type, Ops>(a, b, c));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), result);
    };
    // Two blocks a trip: the loop's own work is then small next to the arithmetic.
    size_t i = from;
    for (; length - i >= 32; i += 32) {
        step(i);
        step(i + 16);
    }
    if (length - i >= 16) {
        step(i);
        i += 16;
    }
    return i;
}

// A whole row: the bytes without a left neighbour and the last few bytes by the byte loop,
// the rest in blocks.
template <int Type, bool Decode, bool HasPrev, typename Ops>
inline void filter_row_blocks(const uint8_t* src, const uint8_t* prev, size_t length, size_t bpp, uint8_t* out)
{
    const size_t start = kReadsLeft<Type> ? (bpp < length ? bpp : length) : 0;
    scalar::filter_range<Type, Decode, HasPrev>(src, prev, 0, start, bpp, out);
    const size_t end = filter_blocks<Type, Decode, HasPrev, Ops>(src, prev, start, length, bpp, out);
    scalar::filter_range<Type, Decode, HasPrev>(src, prev, end, length, bpp, out);
}

}  // namespace kernels
#endif

// Filters one scanline, the exact inverse of unfilter_row_scalar: out[i] = raw[i] - predictor
// (mod 256), the predictor taken from the unfiltered bytes `raw` and `prev` (nullptr for the
// first row, read as zeros). `out` must not overlap the inputs.
inline void filter_row(int type, const uint8_t* raw, const uint8_t* prev, size_t length, size_t bpp, uint8_t* out,
                       KernelPath path = chosen_kernel_path())
{
    if (handed_to_unit(path, [&](const auto& unit) { unit.filter_row(type, raw, prev, length, bpp, out); })) return;
    simd::with_kernel_path(path, [&](auto ops) {
        using Ops = decltype(ops);
        if constexpr (simd::kIsScalar<Ops>) {
            filter_row_scalar(type, raw, prev, length, bpp, out);
        } else {
#if defined(__SSE2__)
            with_filter_type(type, prev, [&](auto t, auto has_prev) {
                kernels::filter_row_blocks<decltype(t)::value, false, decltype(has_prev)::value, Ops>(raw, prev, length,
                                                                                                     bpp, out);
            });
#endif
        }
    });
}

QV_KERNELS_END
}  // namespace qv::png

// Scanline reconstruction with the vector kernels. None and Up have no chain along the row and
// go 16 bytes at a time; Sub, Average and Paeth carry a dependency from each pixel to the
// next, so for 3- and 4-byte pixels they go a pixel at a time in one register, which removes
// the per-byte chain inside the pixel. Everything else takes the byte loops. Bit-exact with
// unfilter_row_scalar.
#pragma once

#include "codec/png/filters.hpp"

#include <cstddef>
#include <cstdint>

namespace qv::png {
QV_KERNELS_BEGIN

#if defined(__SSE2__)
namespace kernels {

template <size_t Bpp, int Type, bool HasPrev, typename Ops>
inline void unfilter_pixels(const uint8_t* filtered, const uint8_t* prev, size_t length, uint8_t* recon)
{
    const __m128i zero = _mm_setzero_si128();
    // The pixel just rebuilt, in the predictor's lanes (complemented for Average).
    __m128i a = Type == kAverage ? simd::complement<8>(zero) : zero;
    __m128i c = zero;  // the pixel above it
    simd::for_each_pixel<Bpp>(length, [&](size_t i, auto wide) QV_KERNEL_LAMBDA {
        constexpr bool kWide = decltype(wide)::value;
        __m128i x = simd::load_pixel<Bpp, kWide>(filtered + i);
        __m128i b = HasPrev ? simd::load_pixel<Bpp, kWide>(prev + i) : zero;
        if constexpr (kLaneBits<Type> == 16) {
            x = Ops::widen(x);
            b = Ops::widen(b);
            a = simd::unfilter<Type, Ops>(x, a, b, c);
            simd::store_pixel<Bpp, kWide>(recon + i, _mm_packus_epi16(a, a));
        } else if constexpr (Type == kAverage) {
            // The row is carried complemented: ~(x + ~avg_up(~a, ~b)) = avg_up(~a, ~b) - x,
            // two steps from one pixel to the next.
            a = _mm_sub_epi8(simd::average_up<8>(a, simd::complement<8>(b)), x);
            simd::store_pixel<Bpp, kWide>(recon + i, simd::complement<8>(a));
        } else {
            a = simd::unfilter<Type, Ops>(x, a, b, c);
            simd::store_pixel<Bpp, kWide>(recon + i, a);
        }
        c = b;
    });
}

}  // namespace kernels
#endif

// Rebuilds one scanline: recon[i] = filtered[i] + predictor (mod 256), with the previous
// rebuilt row `prev` (nullptr for the first row). `recon` must not overlap `filtered` or
// `prev`.
inline void reconstruct_row(int type, const uint8_t* filtered, const uint8_t* prev, size_t length, size_t bpp,
                            uint8_t* recon, KernelPath path = chosen_kernel_path())
{
    if (handed_to_unit(path, [&](const auto& unit) { unit.reconstruct_row(type, filtered, prev, length, bpp, recon); })) {
        return;
    }
    simd::with_kernel_path(path, [&](auto ops) {
        using Ops = decltype(ops);
        if constexpr (simd::kIsScalar<Ops>) {
            unfilter_row_scalar(type, filtered, prev, length, bpp, recon);
        } else {
#if defined(__SSE2__)
            with_filter_type(type, prev, [&](auto t, auto has_prev) {
                constexpr int kType = decltype(t)::value;
                constexpr bool kHasPrev = decltype(has_prev)::value;
                if constexpr (!kReadsLeft<kType>) {
                    kernels::filter_row_blocks<kType, true, kHasPrev, Ops>(filtered, prev, length, bpp, recon);
                } else if (bpp == 3) {
                    kernels::unfilter_pixels<3, kType, kHasPrev, Ops>(filtered, prev, length, recon);
                } else if (bpp == 4) {
                    kernels::unfilter_pixels<4, kType, kHasPrev, Ops>(filtered, prev, length, recon);
                } else {
                    scalar::filter_range<kType, true, kHasPrev>(filtered, prev, 0, length, bpp, recon);
                }
            });
#endif
        }
    });
}

QV_KERNELS_END
}  // namespace qv::png

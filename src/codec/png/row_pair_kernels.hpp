// Two consecutive scanlines of 3- or 4-byte pixels reconstructed in one pass. Paeth and
// Average are bound by the latency of the chain from each pixel to the next; running the
// lower row one pixel behind the upper one gives the processor two independent chains. The
// lower row takes its up and upper-left bytes from registers, so it never waits on memory.
// Bit-exact with unfilter_row_scalar.
#pragma once

#include "codec/png/unfilter_kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace qv::png {
QV_KERNELS_BEGIN

#if defined(__SSE2__)
namespace kernels {

// Rows 0 and 1 of a pair, both in 16-bit lanes: row 0 above `prev0` (a whole previous row), row 1 above row 0.
// `out1` may be the memory of `prev0`: row 1 writes each pixel after row 0 has read it.
// Row lengths are whole pixels, at least one.
template <typename Ops, size_t Bpp, int T0, int T1>
void reconstruct_pair(const uint8_t* f0, const uint8_t* f1, const uint8_t* prev0, size_t length, uint8_t* out0,
                      uint8_t* out1)
{
    const size_t pixels = length / Bpp;
    const __m128i zero = _mm_setzero_si128();
    __m128i a0 = zero, c0 = zero, a1 = zero, c1 = zero;
    __m128i above = zero;  // row 0's pixel over row 1's current one
    size_t i = 0;          // byte offset of row 0's pixel; row 1 is one pixel behind
    auto load16 = [](const uint8_t* p, auto wide) QV_KERNEL_LAMBDA {
        return Ops::widen(simd::load_pixel<Bpp, decltype(wide)::value>(p));
    };
    auto store16 = [](uint8_t* p, __m128i v, auto wide) QV_KERNEL_LAMBDA {
        simd::store_pixel<Bpp, decltype(wide)::value>(p, _mm_packus_epi16(v, v));
    };
    auto upper = [&](auto wide) QV_KERNEL_LAMBDA {
        const __m128i b0 = load16(prev0 + i, wide);
        a0 = simd::unfilter<T0, Ops, 16>(load16(f0 + i, wide), a0, b0, c0);
        store16(out0 + i, a0, wide);
        c0 = b0;
    };
    auto lower = [&](auto wide) QV_KERNEL_LAMBDA {
        const size_t j = i - Bpp;
        a1 = simd::unfilter<T1, Ops, 16>(load16(f1 + j, wide), a1, above, c1);
        store16(out1 + j, a1, wide);
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

// Indexed by type0 * 5 + type1. A plain array, not std::array: see kernel_path.hpp on kernel units.
struct PairKernels {
    PairKernel by_types[25];
};

template <typename Ops, size_t Bpp, size_t... Types>
constexpr PairKernels pair_kernels(std::index_sequence<Types...>)
{
    return {{&reconstruct_pair<Ops, Bpp, static_cast<int>(Types / 5), static_cast<int>(Types % 5)>...}};
}

template <typename Ops, size_t Bpp>
inline constexpr PairKernels kPairKernels = pair_kernels<Ops, Bpp>(std::make_index_sequence<25>{});

}  // namespace kernels
#endif

// Whether reconstruct_pair has a kernel for rows of `bpp` bytes a pixel on `path` (it is
// correct everywhere, but elsewhere no faster than two rows).
inline bool pairs_supported(size_t bpp, KernelPath path = chosen_kernel_path())
{
    return (bpp == 3 || bpp == 4) && path != KernelPath::kScalar && chosen_kernel_path() != KernelPath::kScalar;
}

// Reconstructs two consecutive rows with filter types 0..4; `prev0` is the row above the first
// (never null: the first row of an image goes through reconstruct_row). `out0` must not
// overlap the inputs, `out1` may be `prev0`.
inline void reconstruct_pair(int type0, int type1, const uint8_t* f0, const uint8_t* f1, const uint8_t* prev0,
                             size_t length, size_t bpp, uint8_t* out0, uint8_t* out1,
                             KernelPath path = chosen_kernel_path())
{
    if (length == 0 || type0 > kMaxFilterType || type1 > kMaxFilterType) return;
    if (handed_to_unit(path, [&](const auto& unit) {
            unit.reconstruct_pair(type0, type1, f0, f1, prev0, length, bpp, out0, out1);
        })) {
        return;
    }
    simd::with_kernel_path(path, [&](auto ops) {
        using Ops = decltype(ops);
#if defined(__SSE2__)
        if constexpr (!simd::kIsScalar<Ops>) {
            // Paeth's chain is the long one that a second row can hide behind. Rows without
            // a chain (None, Up) go faster 16 bytes at a time, and Sub and Average rows
            // carry a chain short enough on their own.
            auto chained = [](int type) { return type != kNone && type != kUp; };
            const bool paired = chained(type0) && chained(type1) && (type0 == kPaeth || type1 == kPaeth);
            if (paired && (bpp == 3 || bpp == 4)) {
                const auto& table = bpp == 3 ? kernels::kPairKernels<Ops, 3> : kernels::kPairKernels<Ops, 4>;
                table.by_types[type0 * 5 + type1](f0, f1, prev0, length, out0, out1);
                return;
            }
        }
#endif
        // Row 0 is whole before row 1 overwrites `prev0`.
        reconstruct_row(type0, f0, prev0, length, bpp, out0, path);
        reconstruct_row(type1, f1, out0, length, bpp, out1, path);
    });
}

QV_KERNELS_END
}  // namespace qv::png

// The one place that decides which instruction set the filter kernels use. Each translation
// unit gets the kernels of the widest of SSE4.1, SSSE3 and SSE2 that its flags allow (an AVX2
// build takes the SSE4.1 kernels: a pixel is at most 4 bytes, so wider registers would not
// shorten the chain from one pixel to the next, and measured they gain nothing). On x86-64
// with GCC or clang the kernels are also built a second and third time, in translation units
// of their own with -mssse3 and -msse4.1 (src/codec/simd/), and the entry points hand a row
// to the widest of those the processor has, chosen once at run time: a default build thus
// runs the SSE4.1 kernels where the machine has them. Every kernel entry point takes a
// KernelPath, defaulting to that choice, so tests and benchmarks can run each narrower path,
// down to the plain byte loops, in the same binary.
//
// A kernel translation unit built with wider flags defines QV_KERNEL_ISA (the name of a
// namespace) before including these headers: everything they declare then lands in
// qv::png::QV_KERNEL_ISA, so none of its inline functions shares a mangled name with the
// default-flag copy, and the linker can never hand the SSE4.1 code to a caller that runs on
// any processor. For the same reason the kernels call no function template of the standard
// library (std::min<size_t> would be the same symbol in both copies): only builtins and C
// functions, which no kernel unit compiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSSE3__)
#include <tmmintrin.h>
#endif
#if defined(__SSE4_1__)
#include <smmintrin.h>
#endif

// The kernels are built from many small steps; the compiler's inlining limits must not
// split them into calls inside a pixel loop.
#if defined(__GNUC__)
#define QV_KERNEL_INLINE __attribute__((always_inline)) inline
#define QV_KERNEL_LAMBDA __attribute__((always_inline))
#else
#define QV_KERNEL_INLINE inline
#define QV_KERNEL_LAMBDA
#endif

#if defined(QV_KERNEL_ISA)
#define QV_KERNELS_BEGIN namespace QV_KERNEL_ISA {
#define QV_KERNELS_END }
#else
#define QV_KERNELS_BEGIN
#define QV_KERNELS_END
#endif

// Whether the default-flag entry points hand rows to the kernel translation units.
#if !defined(QV_KERNEL_ISA) && defined(__x86_64__) && defined(__GNUC__)
#define QV_KERNEL_DISPATCH 1
#else
#define QV_KERNEL_DISPATCH 0
#endif

#if QV_KERNEL_DISPATCH
#include "codec/simd/wide_kernels.hpp"
#endif

namespace qv::png {
QV_KERNELS_BEGIN

// Ordered: each path may use everything the ones before it use.
enum class KernelPath : int { kScalar = 0, kSse2 = 1, kSsse3 = 2, kSse41 = 3 };

#if defined(__SSE4_1__)
inline constexpr KernelPath kBestKernelPath = KernelPath::kSse41;
#elif defined(__SSSE3__)
inline constexpr KernelPath kBestKernelPath = KernelPath::kSsse3;
#elif defined(__SSE2__)
inline constexpr KernelPath kBestKernelPath = KernelPath::kSse2;
#else
inline constexpr KernelPath kBestKernelPath = KernelPath::kScalar;
#endif

// Whether this translation unit's own code has `path` (the kernel translation units aside).
inline constexpr bool kernel_path_built(KernelPath path) { return path <= kBestKernelPath; }

#if QV_KERNEL_DISPATCH
// The widest path this process can run: the best built here, or the widest kernel translation
// unit the processor supports. Found at the first call and kept.
KernelPath chosen_kernel_path();

// The kernel unit for `path`, clamped to what the processor runs, or nullptr when that path
// is built here already (src/codec/simd/kernel_dispatch.cpp).
const WideKernels* wide_kernels(KernelPath path);
#else
inline constexpr KernelPath chosen_kernel_path() { return kBestKernelPath; }
#endif

// Hands a call on `path` to the kernel unit that has it, when this code's own kernels are
// narrower: true when `call(const WideKernels&)` ran. Otherwise `path` is cut to what is built
// here. Kernel units themselves (and builds without them) never hand on.
template <typename Call>
inline bool handed_to_unit(KernelPath& path, Call&& call)
{
#if QV_KERNEL_DISPATCH
    if (path <= kBestKernelPath) return false;
    if (const WideKernels* wide = wide_kernels(path)) {
        call(*wide);
        return true;
    }
    path = kBestKernelPath;
#else
    (void)path;
    (void)call;
#endif
    return false;
}

// Whether `path` runs here, in this unit's code or in a kernel translation unit. A path
// that does not runs the widest one below it that does.
inline bool kernel_path_supported(KernelPath path) { return path <= chosen_kernel_path(); }

inline const char* kernel_path_name(KernelPath path)
{
    switch (path) {
    case KernelPath::kScalar: return "scalar";
    case KernelPath::kSse2: return "SSE2";
    case KernelPath::kSsse3: return "SSSE3";
    case KernelPath::kSse41: return "SSE4.1";
    }
    return "?";
}

namespace simd {

// The byte loops: no vector instructions of our own (the compiler may still vectorise them).
struct Scalar {};

#if defined(__SSE2__)
// The few operations whose best form depends on the instruction set; everything else in the
// kernels is plain SSE2. Lanes are 16 bits holding 0..510 at most, so signed compares work.
struct Sse2 {
    // Whether select is one instruction; without it c + (b - c) masked is one step shorter.
    static constexpr bool kBlends = false;
    QV_KERNEL_INLINE static __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }
    // Lanes of `mask` are all ones or all zeros.
    QV_KERNEL_INLINE static __m128i select(__m128i mask, __m128i yes, __m128i no)
    {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    }
    // The low 8 bytes zero-extended to 16-bit lanes.
    QV_KERNEL_INLINE static __m128i widen(__m128i v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }
};
#endif

#if defined(__SSSE3__)
struct Ssse3 : Sse2 {
    QV_KERNEL_INLINE static __m128i abs16(__m128i v) { return _mm_abs_epi16(v); }
};
#endif

#if defined(__SSE4_1__)
struct Sse41 : Ssse3 {
    static constexpr bool kBlends = true;
    QV_KERNEL_INLINE static __m128i select(__m128i mask, __m128i yes, __m128i no) { return _mm_blendv_epi8(no, yes, mask); }
    QV_KERNEL_INLINE static __m128i widen(__m128i v) { return _mm_cvtepu8_epi16(v); }
};
#endif

// Runs `body(ops)` with the operations of `path`, or of the best path built when `path` is
// wider than that. `body` is a generic callable; Scalar means the byte loops.
template <typename Body>
inline decltype(auto) with_kernel_path(KernelPath path, Body&& body)
{
    switch (path) {
    case KernelPath::kSse41:
#if defined(__SSE4_1__)
        return body(Sse41{});
#else
        [[fallthrough]];
#endif
    case KernelPath::kSsse3:
#if defined(__SSSE3__)
        return body(Ssse3{});
#else
        [[fallthrough]];
#endif
    case KernelPath::kSse2:
#if defined(__SSE2__)
        return body(Sse2{});
#else
        [[fallthrough]];
#endif
    case KernelPath::kScalar:
        break;
    }
    return body(Scalar{});
}

template <typename Ops>
inline constexpr bool kIsScalar = std::is_same_v<Ops, Scalar>;

#if defined(__SSE2__)
// A pixel's bytes in the low lanes of a register. Reading or writing 4 bytes for a 3-byte
// pixel touches the first byte of the next pixel: harmless inside a row (that byte is
// written again in the next step), never done for the row's last pixel (`Wide` false).
template <size_t Bpp, bool Wide>
QV_KERNEL_INLINE __m128i load_pixel(const uint8_t* p)
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
QV_KERNEL_INLINE void store_pixel(uint8_t* p, __m128i px)
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

// Runs `step(offset, wide)` over every pixel of a row; the last pixel of a 3-byte row is the
// only one handled with exact-size memory accesses.
template <size_t Bpp, typename Step>
QV_KERNEL_INLINE void for_each_pixel(size_t length, Step step)
{
    const size_t pixels = length / Bpp;
    if (pixels == 0) return;
    size_t i = 0;
    for (size_t n = 1; n < pixels; ++n, i += Bpp) step(i, std::true_type{});
    step(i, std::false_type{});
}
#endif

}  // namespace simd

QV_KERNELS_END
}  // namespace qv::png

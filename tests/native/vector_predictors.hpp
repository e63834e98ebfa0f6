// The vector predictors against the scalar ones for every byte triple, counted per predictor
// and lane width. Included by test_kernels.cpp with the default flags and by the test kernel
// units (test_kernels_ssse3.cpp, test_kernels_sse41.cpp) with theirs, so that each path is
// checked as the library builds it: in a unit that defines QV_KERNEL_ISA the helpers land in
// that unit's own namespace, as the kernels do.
#pragma once

#include "codec/png/filters.hpp"

#include <cstdint>

namespace qv::png {
QV_KERNELS_BEGIN
namespace test {

#if defined(__SSE2__)
// The triples (a, b, c) where the vector predictor of `Type` on `Ops`, in lanes of `Bits`,
// differs from the scalar definition. a and b are splat, c runs along the lanes.
template <int Type, typename Ops, int Bits>
int vector_mismatches()
{
    constexpr int kLanes = 128 / Bits;
    auto splat = [](int v) { return Bits == 8 ? _mm_set1_epi8(static_cast<char>(v)) : _mm_set1_epi16(static_cast<short>(v)); };
    int wrong = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (int c0 = 0; c0 < 256; c0 += kLanes) {
                alignas(16) uint8_t cs[16] = {};
                alignas(16) uint16_t cs16[8] = {};
                for (int k = 0; k < kLanes; ++k) {
                    cs[k] = static_cast<uint8_t>(c0 + k);
                    if (k < 8) cs16[k] = static_cast<uint16_t>(c0 + k);
                }
                const __m128i c = Bits == 8 ? _mm_load_si128(reinterpret_cast<const __m128i*>(cs))
                                            : _mm_load_si128(reinterpret_cast<const __m128i*>(cs16));
                const __m128i p = simd::predict<Type, Ops, Bits>(splat(a), splat(b), c);
                alignas(16) uint8_t out[16] = {};
                _mm_store_si128(reinterpret_cast<__m128i*>(out), p);
                for (int k = 0; k < kLanes; ++k) {
                    const int got = Bits == 8 ? out[k] : out[2 * k] | out[2 * k + 1] << 8;
                    wrong += got != predict<Type>(a, b, c0 + k);
                }
            }
        }
    }
    return wrong;
}

// The counts in the order of qv::test_units::kPredictorNames.
template <typename Ops>
void count_predictor_mismatches(int* wrong)
{
    wrong[0] = vector_mismatches<kNone, Ops, 8>();
    wrong[1] = vector_mismatches<kSub, Ops, 8>();
    wrong[2] = vector_mismatches<kUp, Ops, 16>();
    wrong[3] = vector_mismatches<kAverage, Ops, 8>();
    wrong[4] = vector_mismatches<kAverage, Ops, 16>();
    wrong[5] = vector_mismatches<kPaeth, Ops, 16>();
}
#endif

}  // namespace test
QV_KERNELS_END
}  // namespace qv::png

namespace qv::test_units {

inline constexpr int kPredictorCount = 6;
inline constexpr const char* kPredictorNames[kPredictorCount] = {"None/8",     "Sub/8",      "Up/16",
                                                                 "Average/8",  "Average/16", "Paeth/16"};

// The test kernel units' counts; call only where the processor has the instruction set.
void ssse3_predictor_mismatches(int* wrong);
void sse41_predictor_mismatches(int* wrong);

}  // namespace qv::test_units

// The vector predictors against the scalar ones for every byte triple, on each instruction-set
// path built and each lane width the kernels use, and the path choice itself. The row-level
// kernels are checked against the reference in test_filters.cpp.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/filters.hpp"

#include <array>

namespace {

using qv::png::KernelPath;

constexpr KernelPath kAllPaths[] = {KernelPath::kScalar, KernelPath::kSse2, KernelPath::kSsse3, KernelPath::kSse41};

#if defined(__SSE2__)
// Counts the (a, b, c) triples where the vector predictor of `Type` on `Ops`, in lanes of
// `Bits`, differs from the scalar definition. a and b are splat, c runs along the lanes.
template <int Type, typename Ops, int Bits>
int vector_mismatches()
{
    constexpr int kLanes = 128 / Bits;
    auto splat = [](int v) { return Bits == 8 ? _mm_set1_epi8(static_cast<char>(v)) : _mm_set1_epi16(static_cast<short>(v)); };
    int wrong = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (int c0 = 0; c0 < 256; c0 += kLanes) {
                alignas(16) std::array<uint8_t, 16> cs{};
                alignas(16) std::array<uint16_t, 8> cs16{};
                for (int k = 0; k < kLanes; ++k) {
                    cs[static_cast<size_t>(k)] = static_cast<uint8_t>(c0 + k);
                    if (k < 8) cs16[static_cast<size_t>(k)] = static_cast<uint16_t>(c0 + k);
                }
                const __m128i c = Bits == 8 ? _mm_load_si128(reinterpret_cast<const __m128i*>(cs.data()))
                                            : _mm_load_si128(reinterpret_cast<const __m128i*>(cs16.data()));
                const __m128i p = qv::png::simd::predict<Type, Ops, Bits>(splat(a), splat(b), c);
                alignas(16) std::array<uint8_t, 16> out{};
                _mm_store_si128(reinterpret_cast<__m128i*>(out.data()), p);
                for (int k = 0; k < kLanes; ++k) {
                    const int got = Bits == 8 ? out[static_cast<size_t>(k)]
                                              : out[static_cast<size_t>(2 * k)] | out[static_cast<size_t>(2 * k + 1)] << 8;
                    wrong += got != qv::png::predict<Type>(a, b, c0 + k);
                }
            }
        }
    }
    return wrong;
}
#endif

TEST_CASE("Scalar predictors equal the definitions for every byte triple")
{
    int wrong = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (int c = 0; c < 256; ++c) {
                wrong += qv::png::predict<qv::png::kNone>(a, b, c) != 0;
                wrong += qv::png::predict<qv::png::kSub>(a, b, c) != a;
                wrong += qv::png::predict<qv::png::kUp>(a, b, c) != b;
                wrong += qv::png::predict<qv::png::kAverage>(a, b, c) != (a + b) / 2;
                wrong += qv::png::predict<qv::png::kPaeth>(a, b, c) != qv::ref::paeth(a, b, c);
            }
        }
    }
    CHECK_EQ(wrong, 0);
}

TEST_CASE("Vector predictors equal the scalar ones on every path and lane width")
{
    for (KernelPath path : kAllPaths) {
        if (path == KernelPath::kScalar || !qv::png::kernel_path_built(path)) continue;
        const qv::check::Scope scope(qv::png::kernel_path_name(path));
#if defined(__SSE2__)
        qv::png::simd::with_kernel_path(path, [](auto ops) {
            using Ops = decltype(ops);
            if constexpr (!qv::png::simd::kIsScalar<Ops>) {
                using namespace qv::png;
                const struct {
                    const char* name;
                    int wrong;
                } table[] = {
                    {"None/8", vector_mismatches<kNone, Ops, 8>()},
                    {"Sub/8", vector_mismatches<kSub, Ops, 8>()},
                    {"Up/16", vector_mismatches<kUp, Ops, 16>()},
                    {"Average/8", vector_mismatches<kAverage, Ops, 8>()},
                    {"Average/16", vector_mismatches<kAverage, Ops, 16>()},
                    {"Paeth/16", vector_mismatches<kPaeth, Ops, 16>()},
                };
                for (const auto& row : table) {
                    const qv::check::Scope inner(row.name);
                    CHECK_EQ(row.wrong, 0);
                }
            }
        });
#endif
    }
}

// A path wider than the build has runs the best one built; the order of the enum is the
// order of the instruction sets, each including the ones before.
TEST_CASE("The kernel path asked for is clamped to the best one built")
{
    for (KernelPath path : kAllPaths) {
        const qv::check::Scope scope(qv::png::kernel_path_name(path));
        const int ran = qv::png::simd::with_kernel_path(path, [](auto ops) {
            using Ops = decltype(ops);
            if constexpr (qv::png::simd::kIsScalar<Ops>) return 0;
#if defined(__SSE4_1__)
            else if constexpr (std::is_same_v<Ops, qv::png::simd::Sse41>) return 3;
#endif
#if defined(__SSSE3__)
            else if constexpr (std::is_same_v<Ops, qv::png::simd::Ssse3>) return 2;
#endif
            else return 1;
        });
        const int want = std::min(static_cast<int>(path), static_cast<int>(qv::png::kBestKernelPath));
        CHECK_EQ(ran, want);
        CHECK_EQ(qv::png::kernel_path_built(path), static_cast<int>(path) <= static_cast<int>(qv::png::kBestKernelPath));
    }
}

}  // namespace

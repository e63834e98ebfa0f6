// The vector predictors against the scalar ones for every byte triple, on each instruction-set
// path that runs here (built in, or built by a kernel unit and supported by the processor) and
// each lane width the kernels use, and the path choice itself. The row-level kernels are
// checked against the reference in test_filters.cpp.
#include "check.hpp"
#include "reference.hpp"
#include "vector_predictors.hpp"

#include "codec/png/filters.hpp"

#include <algorithm>
#include <cstdio>

namespace {

using qv::png::KernelPath;

constexpr KernelPath kAllPaths[] = {KernelPath::kScalar, KernelPath::kSse2, KernelPath::kSsse3, KernelPath::kSse41};

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
        if (path == KernelPath::kScalar) continue;
        const qv::check::Scope scope(qv::png::kernel_path_name(path));
        int wrong[qv::test_units::kPredictorCount] = {};
        bool ran = false;
        if (qv::png::kernel_path_built(path)) {
#if defined(__SSE2__)
            qv::png::simd::with_kernel_path(path, [&](auto ops) {
                using Ops = decltype(ops);
                if constexpr (!qv::png::simd::kIsScalar<Ops>) qv::png::test::count_predictor_mismatches<Ops>(wrong);
            });
            ran = true;
#endif
        } else if (qv::png::kernel_path_supported(path)) {
#if QV_KERNEL_DISPATCH
            if (path == KernelPath::kSsse3) qv::test_units::ssse3_predictor_mismatches(wrong);
            if (path == KernelPath::kSse41) qv::test_units::sse41_predictor_mismatches(wrong);
            ran = true;
#endif
        }
        if (!ran) {
            std::printf("  note: the %s predictors are not tested: neither built in nor supported by this processor\n",
                        qv::png::kernel_path_name(path));
            continue;
        }
        for (int i = 0; i < qv::test_units::kPredictorCount; ++i) {
            const qv::check::Scope inner(qv::test_units::kPredictorNames[i]);
            CHECK_EQ(wrong[i], 0);
        }
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

// The widest path the processor runs, found here from its own answers; a table of what each
// path asked for runs. On x86-64 a path beyond the default build's goes to the kernel unit of
// the path it is clamped to, and a wrong unit would run narrower code than asked for (or
// wider than the processor has) without any row coming out wrong.
TEST_CASE("The path chosen at run time is the widest one the processor supports")
{
    KernelPath widest = qv::png::kBestKernelPath;
#if QV_KERNEL_DISPATCH
    __builtin_cpu_init();
    const bool has_ssse3 = __builtin_cpu_supports("ssse3");
    const bool has_sse41 = has_ssse3 && __builtin_cpu_supports("sse4.1");
    if (has_ssse3) widest = std::max(widest, KernelPath::kSsse3);
    if (has_sse41) widest = std::max(widest, KernelPath::kSse41);
#endif
    std::printf("  note: kernel path %s (built in: %s)\n", qv::png::kernel_path_name(qv::png::chosen_kernel_path()),
                qv::png::kernel_path_name(qv::png::kBestKernelPath));
    CHECK_EQ(qv::png::chosen_kernel_path(), widest);
    CHECK_EQ(qv::png::chosen_kernel_path(), widest);  // kept, not found anew
    for (KernelPath path : kAllPaths) {
        const qv::check::Scope scope(qv::png::kernel_path_name(path));
        CHECK_EQ(qv::png::kernel_path_supported(path), path <= widest);
#if QV_KERNEL_DISPATCH
        const KernelPath runs = std::min(path, widest);
        const qv::png::WideKernels* want = nullptr;
        if (runs > qv::png::kBestKernelPath) {
            want = runs == KernelPath::kSse41 ? &qv::png::isa_sse41::kWideKernels : &qv::png::isa_ssse3::kWideKernels;
        }
        CHECK(qv::png::wide_kernels(path) == want);
#endif
    }
}

}  // namespace

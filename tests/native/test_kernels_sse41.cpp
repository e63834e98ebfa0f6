// The vector predictors built with -msse4.1, as the SSE4.1 kernel unit builds them.
#define QV_KERNEL_ISA test_sse41
#include "vector_predictors.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
static_assert(qv::png::test_sse41::kernel_path_built(qv::png::test_sse41::KernelPath::kSse41),
              "test unit compiled without -msse4.1");
void qv::test_units::sse41_predictor_mismatches(int* wrong)
{
    qv::png::test_sse41::test::count_predictor_mismatches<qv::png::test_sse41::simd::Sse41>(wrong);
}
#endif

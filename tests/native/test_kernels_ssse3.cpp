// The vector predictors built with -mssse3, as the SSSE3 kernel unit builds them.
#define QV_KERNEL_ISA test_ssse3
#include "vector_predictors.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
static_assert(qv::png::test_ssse3::kernel_path_built(qv::png::test_ssse3::KernelPath::kSsse3),
              "test unit compiled without -mssse3");
void qv::test_units::ssse3_predictor_mismatches(int* wrong)
{
    qv::png::test_ssse3::test::count_predictor_mismatches<qv::png::test_ssse3::simd::Ssse3>(wrong);
}
#endif

// The filter kernels for processors with SSE4.1; built with -msse4.1.
#define QV_KERNEL_ISA isa_sse41
#define QV_KERNEL_UNIT_PATH kSse41
#include "codec/simd/kernel_unit.hpp"

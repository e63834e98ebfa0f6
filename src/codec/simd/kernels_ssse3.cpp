// The filter kernels for processors with SSSE3 but not SSE4.1; built with -mssse3.
#define QV_KERNEL_ISA isa_ssse3
#define QV_KERNEL_UNIT_PATH kSsse3
#include "codec/simd/kernel_unit.hpp"

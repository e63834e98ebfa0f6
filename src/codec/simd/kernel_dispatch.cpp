// The run-time choice of the kernel path (kernel_path.hpp), built with the default flags.
#include "codec/png/kernel_path.hpp"

#if QV_KERNEL_DISPATCH
#include "codec/simd/wide_kernels.hpp"

#include <atomic>

namespace qv::png {

namespace {

KernelPath widest_supported()
{
    __builtin_cpu_init();
    KernelPath best = kBestKernelPath;
    if (!__builtin_cpu_supports("ssse3")) return best;
    if (best < KernelPath::kSsse3) best = KernelPath::kSsse3;
    if (!__builtin_cpu_supports("sse4.1")) return best;
    if (best < KernelPath::kSse41) best = KernelPath::kSse41;
    return best;
}

// -1 until the first call. Threads that race there all store the same value: no lock.
constinit std::atomic<int> chosen_path{-1};

}  // namespace

KernelPath chosen_kernel_path()
{
    int path = chosen_path.load(std::memory_order_relaxed);
    if (path < 0) {
        path = static_cast<int>(widest_supported());
        chosen_path.store(path, std::memory_order_relaxed);
    }
    return static_cast<KernelPath>(path);
}

const WideKernels* wide_kernels(KernelPath path)
{
    const KernelPath chosen = chosen_kernel_path();
    if (path > chosen) path = chosen;
    if (path <= kBestKernelPath) return nullptr;
    switch (path) {
    case KernelPath::kSse41: return &isa_sse41::kWideKernels;
    case KernelPath::kSsse3: return &isa_ssse3::kWideKernels;
    default: return nullptr;
    }
}

}  // namespace qv::png
#endif

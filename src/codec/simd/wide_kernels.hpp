// The seam between the default-flag entry points and the kernel units: the table of entry
// points each unit built with wider flags gives (kernels_ssse3.cpp, kernels_sse41.cpp). Types
// and declarations only, so that both sides may include it: no code of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::png {

// One unit's reconstruct_row, reconstruct_pair, filter_row and RGBA row moves, on that unit's path.
struct WideKernels {
    void (*reconstruct_row)(int type, const uint8_t* filtered, const uint8_t* prev, size_t length, size_t bpp,
                            uint8_t* recon);
    void (*reconstruct_pair)(int type0, int type1, const uint8_t* f0, const uint8_t* f1, const uint8_t* prev0,
                             size_t length, size_t bpp, uint8_t* out0, uint8_t* out1);
    void (*filter_row)(int type, const uint8_t* raw, const uint8_t* prev, size_t length, size_t bpp, uint8_t* out);
    void (*split_rgba_row)(const uint8_t* rgba, size_t width, uint8_t* rgb, uint8_t* alpha);
    void (*join_rgba_row)(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* rgba);
};

// Each in the namespace its unit builds the kernels in.
namespace isa_ssse3 {
extern const WideKernels kWideKernels;
}
namespace isa_sse41 {
extern const WideKernels kWideKernels;
}

}  // namespace qv::png

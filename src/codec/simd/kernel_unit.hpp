// The body of a kernel unit: the filter kernels compiled with the flags of one instruction set,
// in a namespace of their own (QV_KERNEL_ISA, which the including file names with the path,
// QV_KERNEL_UNIT_PATH), and the table of entry points that the default-flag code calls when
// the processor has that instruction set. Included by exactly one .cpp per instruction set.
#pragma once

#if !defined(QV_KERNEL_ISA) || !defined(QV_KERNEL_UNIT_PATH)
#error "a kernel unit names its namespace and path before including kernel_unit.hpp"
#endif

// Outside the unit's namespace: the table type is shared with the default-flag code.
#include "codec/simd/wide_kernels.hpp"

#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"
#include "codec/png/row_pair_kernels.hpp"
#include "codec/png/unfilter_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
namespace qv::png::QV_KERNEL_ISA {

inline constexpr KernelPath kUnitPath = KernelPath::QV_KERNEL_UNIT_PATH;
// The build gives this file its instruction set's flag (cmake/codec.cmake, scripts/kernel-bench).
static_assert(kernel_path_built(kUnitPath), "kernel unit compiled without its instruction set's flag");

namespace {

void unit_reconstruct_row(int type, const uint8_t* filtered, const uint8_t* prev, size_t length, size_t bpp,
                          uint8_t* recon)
{
    reconstruct_row(type, filtered, prev, length, bpp, recon, kUnitPath);
}

void unit_reconstruct_pair(int type0, int type1, const uint8_t* f0, const uint8_t* f1, const uint8_t* prev0,
                           size_t length, size_t bpp, uint8_t* out0, uint8_t* out1)
{
    reconstruct_pair(type0, type1, f0, f1, prev0, length, bpp, out0, out1, kUnitPath);
}

void unit_filter_row(int type, const uint8_t* raw, const uint8_t* prev, size_t length, size_t bpp, uint8_t* out)
{
    filter_row(type, raw, prev, length, bpp, out, kUnitPath);
}

void unit_split_rgba_row(const uint8_t* rgba, size_t width, uint8_t* rgb, uint8_t* alpha)
{
    split_rgba_row(rgba, width, rgb, alpha, kUnitPath);
}

void unit_join_rgba_row(const uint8_t* rgb, const uint8_t* alpha, size_t width, uint8_t* rgba)
{
    join_rgba_row(rgb, alpha, width, rgba, kUnitPath);
}

}  // namespace

const WideKernels kWideKernels = {&unit_reconstruct_row, &unit_reconstruct_pair, &unit_filter_row,
                                  &unit_split_rgba_row, &unit_join_rgba_row};

}  // namespace qv::png::QV_KERNEL_ISA
#endif

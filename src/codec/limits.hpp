// The codec's limits and working sizes, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::limits {

// Deflate turns one compressed byte into at most 1032 bytes (a 258-byte match in 2 bits), so
// compressed data of n bytes can never inflate to more than 1032 * n: output buffers are
// allocated only when the compressed data can reach the size the header claims.
inline constexpr uint64_t kMaxDeflateRatio = 1032;

// The scanline encoder gathers lines narrower than this into blocks of about this many bytes,
// so that deflate is called per block, not per row.
inline constexpr size_t kEncodeBlockSize = 128 * 1024;

}  // namespace qv::limits

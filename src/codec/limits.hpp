// The codec's limits and working sizes, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::limits {

// Deflate turns one compressed byte into at most 1032 bytes (a 258-byte match in 2 bits), so
// compressed data of n bytes can never inflate to more than 1032 * n: output buffers are
// allocated only when the compressed data can reach the size the header claims.
inline constexpr uint64_t kMaxDeflateRatio = 1032;

}  // namespace qv::limits

namespace qv::limits {

// CRC runs over more chunk data than this are done without the GIL.
inline constexpr size_t kLongCrc = size_t{1} << 20;

// BMP pixel rows are read many at a time, so a large image costs a few reads, not one a row.
inline constexpr int64_t kBmpBlockBytes = int64_t{2} << 20;
// BMP rows beyond this size are read in at least two blocks. A single block would be a
// little larger than the pixel buffer; the C allocator then maps fresh pages for it on every
// open (its mapping threshold follows the largest block freed), and faulting them in costs
// more than the copy. Half-size blocks are served from memory freed by earlier reads.
inline constexpr int64_t kBmpSplitAbove = int64_t{128} << 10;

}  // namespace qv::limits

// The codec's limits and working sizes, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::limits {

// Deflate turns one compressed byte into at most 1032 bytes (a 258-byte match in 2 bits), so
// compressed data of n bytes can never inflate to more than 1032 * n: output buffers are
// allocated only when the compressed data can reach the size the header claims.
inline constexpr uint64_t kMaxDeflateRatio = 1032;

// Work over at least this many bytes (a chunk's CRC, read or written; an inflate, counted as
// the most the data can inflate to) goes to the caller's executor as heavy work (the binding
// runs it without the GIL); below it, handing it over
// costs more than the work.
inline constexpr uint64_t kHeavyWorkBytes = 64 * 1024;

// Chunk data up to this size is asked of a stream in one read. A file object sets aside the
// whole size it is asked for before it finds out how much is there, so a few bytes that claim
// a 4 GiB chunk would cost a 4 GiB allocation: larger data is read in pieces that grow (from
// this size, doubling) only as the data turns out to exist.
inline constexpr uint32_t kSingleRead = 16u << 20;
inline constexpr size_t kMaxReadPieces = 64;  // far more than 4 GiB needs, doubling from 16 MiB

// The row inflater's staging buffer: zlib writes whole scanlines into it, up to this size.
inline constexpr size_t kInflateStage = 256 * 1024;
// Bytes after the last row are only counted; a small stage would make inflate return once
// every few bytes, so they go to a buffer of this size instead.
inline constexpr size_t kInflateDrain = 256 * 1024;

// BMP pixel rows are read many at a time, so a large image costs a few reads, not one a row.
inline constexpr int64_t kBmpBlockBytes = int64_t{2} << 20;
// BMP rows beyond this size are read in at least two blocks. A single block would be a
// little larger than the pixel buffer; the C allocator then maps fresh pages for it on every
// open (its mapping threshold follows the largest block freed), and faulting them in costs
// more than the copy. Half-size blocks are served from memory freed by earlier reads.
inline constexpr int64_t kBmpSplitAbove = int64_t{128} << 10;

// Decoding in one go, RGBA rows hand the room they leave in the pixel buffer back to the
// system once their alpha plane has grown this much past what was handed back (so that the
// open stays within its outputs, the compressed data and 2 MB), in blocks of this size; spare
// room smaller than a block stays with the pixel buffer.
inline constexpr size_t kAlphaAllowance = 1u << 20;
inline constexpr size_t kReleaseBlock = 256u << 10;
// The scanline encoder gathers lines narrower than this into blocks of about this many bytes,
// so that deflate is called per block, not per row.
inline constexpr size_t kEncodeBlockSize = 128 * 1024;

}  // namespace qv::limits

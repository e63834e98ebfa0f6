// The exact deflater on several threads. The data are cut into segments of the size asked
// for, or (for 0) of sizes that keep their tokens few; every segment is parsed on its own, its
// chains first filled with the 32 KiB before it, and the parse of the segment before it goes
// on past the cut until both parses stand right after a match at the same position: from
// there they agree, since the rest of a parse depends only on the bytes. Where they never
// meet (long runs can keep two parses out of step) the earlier parse simply goes on, so the
// result never depends on meeting early. The tokens are then cut into blocks as the reference
// cuts them, and the blocks are coded in parallel.
#pragma once

#include "codec/deflate/exact_deflate.hpp"

namespace qv::deflate {

// Writes the zlib stream (header, blocks, Adler-32) to `out`; returns its size, or 0 when
// memory runs out.
size_t segmented_deflate(const Input& input, int threads, uint64_t segment_size, uint8_t* out, size_t capacity);

}  // namespace qv::deflate

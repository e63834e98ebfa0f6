// A shortcut for inflating PNG image data with libdeflate, taken only where its answer is
// provably the zlib path's: on any other outcome the caller inflates with zlib from the start,
// which then produces every error. Without libdeflate in the build it never applies.
#pragma once

#include "codec/bytes.hpp"

namespace qv::png {

// Whether the build has the shortcut at all.
bool fast_inflate_available();

// Inflates `data` into `out`, true only when all of this holds: `data` starts a zlib stream
// with the 32 KiB window (the only window for which zlib's result cannot depend on how its
// output is staged) and no preset dictionary; the stream is valid, its Adler-32 matches, and it
// inflates to exactly out.size() bytes. Bytes after the end of the stream are ignored, as zlib's
// one-shot decompress ignores them. On false, `out` holds nothing of use.
bool fast_inflate_exact(ByteSpan data, MutableByteSpan out);

}  // namespace qv::png

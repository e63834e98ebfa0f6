// A shortcut for inflating PNG image data in one go, taken only where its answer is provably
// the zlib path's: on any other outcome the caller inflates with zlib from the start, which then
// produces every error.
#pragma once

#include "codec/bytes.hpp"

namespace qv::png {

// Inflates `data` into `out`, true only when all of this holds: `data` starts a zlib stream
// with the 32 KiB window (the only window for which zlib's result cannot depend on how its
// output is staged) and no preset dictionary; zlib takes the stream, its Adler-32 matches, and
// it inflates to exactly out.size() bytes. Bytes after the end of the stream are ignored, as
// zlib's one-shot decompress ignores them. On false, `out` holds nothing of use.
bool fast_inflate_exact(ByteSpan data, MutableByteSpan out);

}  // namespace qv::png

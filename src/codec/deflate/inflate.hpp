// Inflating a whole zlib stream (RFC 1950, 1951) straight into a buffer of the size the caller
// expects. It is strict where zlib is strict: every stream zlib refuses is refused here too (and
// a few that zlib would take, such as other window sizes), so that a caller can answer with this
// inflater's output when it succeeds and leave everything else to zlib, which gives the errors.
#pragma once

#include "codec/bytes.hpp"

namespace qv::deflate {

// Inflates `data` into `out`, true only when all of this holds: `data` starts a zlib stream with
// the 32 KiB window and no preset dictionary; zlib's inflate takes every block of it; the stream
// inflates to exactly out.size() bytes and its Adler-32 matches. Bytes after the stream are
// ignored, as zlib's one-shot decompress ignores them. On false, `out` holds nothing of use.
bool inflate_zlib_exact(ByteSpan data, MutableByteSpan out);

}  // namespace qv::deflate

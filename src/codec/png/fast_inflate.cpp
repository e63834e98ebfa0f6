#include "codec/png/fast_inflate.hpp"

#include "codec/deflate/inflate.hpp"

namespace qv::png {

bool fast_inflate_exact(ByteSpan data, MutableByteSpan out) { return deflate::inflate_zlib_exact(data, out); }

}  // namespace qv::png

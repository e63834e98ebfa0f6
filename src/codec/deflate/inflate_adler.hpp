// Adler-32 (RFC 1950) of inflated data, with vector code on x86-64 (AVX2 where the processor
// has it, checked at run time, else SSE2) and zlib's elsewhere: the same values as zlib's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::deflate {

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t size);

}  // namespace qv::deflate

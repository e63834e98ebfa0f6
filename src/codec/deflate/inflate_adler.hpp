// Adler-32 (RFC 1950) of inflated data, with vector code where the processor has AVX2 (checked
// at run time) and zlib's otherwise: the same values as zlib's adler32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::deflate {

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t size);

}  // namespace qv::deflate

// The PNG chunk layout: 4-byte big-endian length, 4 type bytes, data, 4-byte big-endian
// CRC-32 over type and data. Plain byte arithmetic, no Python.
#pragma once

#include "codec/bytes.hpp"

#include <zlib.h>
#ifdef QUORVEX_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <cstddef>
#include <cstdint>

namespace qv::png {

inline constexpr size_t kChunkOverhead = 12;  // length + type + CRC

using qv::read_be32;
using qv::write_be32;

// CRC-32 continued over `data` from `crc` (start with 0): libdeflate's where the build has it
// (the same values, several times as fast), else zlib's. zlib answers 0 for a null buffer
// whatever the running value, so an empty span must leave the CRC as it is.
inline uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t size)
{
    if (size == 0) return crc;
#ifdef QUORVEX_HAVE_LIBDEFLATE
    return libdeflate_crc32(crc, data, size);
#else
    return static_cast<uint32_t>(crc32_z(crc, data, size));
#endif
}

// The chunk CRC: over the type bytes, then continued over the data.
inline uint32_t chunk_crc(const uint8_t* type, size_t type_size, const uint8_t* data, size_t size)
{
    return crc32_update(crc32_update(0, type, type_size), data, size);
}

}  // namespace qv::png

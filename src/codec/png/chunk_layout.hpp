// The PNG chunk layout: 4-byte big-endian length, 4 type bytes, data, 4-byte big-endian
// CRC-32 over type and data. Plain byte arithmetic, no Python.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace qv::png {

inline constexpr size_t kChunkOverhead = 12;  // length + type + CRC

inline uint32_t read_be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void write_be32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// CRC-32 continued over `data` from `crc` (start with 0). zlib answers 0 for a null buffer
// whatever the running value, so an empty span must leave the CRC as it is.
inline uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t size)
{
    if (size == 0) return crc;
    return static_cast<uint32_t>(crc32_z(crc, data, size));
}

// The chunk CRC: over the type bytes, then continued over the data.
inline uint32_t chunk_crc(const uint8_t* type, size_t type_size, const uint8_t* data, size_t size)
{
    return crc32_update(crc32_update(0, type, type_size), data, size);
}

}  // namespace qv::png

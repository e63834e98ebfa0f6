// The zlib wrapper around a deflate stream: the two header bytes the reference writes at its
// default level, and the Adler-32 of the data, big-endian, after the last block.
#pragma once

#include "codec/bytes.hpp"

#include <cstddef>
#include <cstdint>

namespace qv::deflate {

inline constexpr uint8_t kZlibHeader[2] = {0x78, 0x9c};  // 32 KiB window, default level
inline constexpr uint64_t kHeaderBits = 16;

inline void write_header(uint8_t* out)
{
    out[0] = kZlibHeader[0];
    out[1] = kZlibHeader[1];
}

// The stream's size once the trailer follows the last block, which ends `bit_count` bits in.
inline size_t write_trailer(uint8_t* out, uint64_t bit_count, uint32_t adler)
{
    const auto size = static_cast<size_t>((bit_count + 7) / 8);
    write_be32(out + size, adler);
    return size + 4;
}

}  // namespace qv::deflate

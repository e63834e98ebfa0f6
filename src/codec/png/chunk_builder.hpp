// Building PNG chunks: the length field, type, data and CRC-32 over type and data, either
// into one buffer or as the length and CRC fields of data written from where they lie.
#pragma once

#include "codec/bytes.hpp"
#include "codec/status.hpp"

#include <cstddef>
#include <cstdint>

namespace qv::png {

inline constexpr uint8_t kIhdr[4] = {'I', 'H', 'D', 'R'};
inline constexpr uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
inline constexpr uint8_t kIend[4] = {'I', 'E', 'N', 'D'};

// The largest data length the 4-byte length field holds.
inline constexpr uint64_t kMaxChunkLength = 0xFFFFFFFFu;

// Whether `type` is exactly the four bytes of `tag`.
bool is_type(ByteSpan type, const uint8_t (&tag)[4]);

// kChunkTooLong when `data_size` does not fit the length field.
Status check_chunk_length(uint64_t data_size);

// The bytes of the whole chunk, or false when they would exceed `limit` (the largest
// buffer the caller can make).
bool chunk_size(size_t type_size, size_t data_size, size_t limit, size_t* size);

// The fields around data written in place: the length and the CRC of exactly these bytes.
// The data length must have passed check_chunk_length.
struct ChunkFrame {
    uint8_t length[4];
    uint8_t crc[4];
};
ChunkFrame frame_chunk(ByteSpan type, ByteSpan data);

// The whole chunk into `out`, which must hold exactly chunk_size() bytes.
void build_chunk(ByteSpan type, ByteSpan data, MutableByteSpan out);

}  // namespace qv::png

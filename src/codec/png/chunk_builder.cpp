#include "codec/png/chunk_builder.hpp"

#include "codec/png/chunk_layout.hpp"

#include <cstring>

namespace qv::png {

bool is_type(ByteSpan type, const uint8_t (&tag)[4])
{
    return type.size() == 4 && std::memcmp(type.data(), tag, 4) == 0;
}

Status check_chunk_length(uint64_t data_size)
{
    return data_size <= kMaxChunkLength ? Status{} : Status::of(Code::kChunkTooLong);
}

bool chunk_size(size_t type_size, size_t data_size, size_t limit, size_t* size)
{
    constexpr size_t kFields = kChunkOverhead - 4;  // length and CRC; the type's size varies
    if (limit < kFields || type_size > limit - kFields || data_size > limit - kFields - type_size) return false;
    *size = kFields + type_size + data_size;
    return true;
}

ChunkFrame frame_chunk(ByteSpan type, ByteSpan data)
{
    ChunkFrame frame;
    write_be32(frame.length, static_cast<uint32_t>(data.size()));
    write_be32(frame.crc, chunk_crc(type.data(), type.size(), data.data(), data.size()));
    return frame;
}

void build_chunk(ByteSpan type, ByteSpan data, MutableByteSpan out)
{
    const ChunkFrame frame = frame_chunk(type, data);
    uint8_t* p = out.data();
    std::memcpy(p, frame.length, 4);
    if (!type.empty()) std::memcpy(p + 4, type.data(), type.size());
    if (!data.empty()) std::memcpy(p + 4 + type.size(), data.data(), data.size());
    std::memcpy(p + 4 + type.size() + data.size(), frame.crc, 4);
}

}  // namespace qv::png

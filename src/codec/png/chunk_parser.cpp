#include "codec/png/chunk_parser.hpp"

#include "codec/limits.hpp"
#include "codec/png/chunk_layout.hpp"

#include <algorithm>
#include <cstring>

namespace qv::png {

namespace {

// A field read in full, else `short_read`.
Status read_exactly(ChunkSource& source, Field field, uint32_t n, Code short_read)
{
    uint64_t got = 0;
    const Status read = source.read(field, n, &got);
    if (!read.ok()) return read;
    return got == n ? Status{} : Status::of(short_read);
}

// A 4-byte big-endian field as viewed; another size is the host's unpack error for ">I".
Status be32_field(ChunkSource& source, Field field, uint32_t* out)
{
    ByteSpan bytes;
    const Status viewed = source.view(field, &bytes);
    if (!viewed.ok()) return viewed;
    if (bytes.size() != 4) return Status::of(Code::kFieldSize, static_cast<int32_t>(field));
    *out = read_be32(bytes.data());
    return {};
}

Status parse_chunk(ChunkSource& source, Executor& executor, Chunk* out)
{
    *out = Chunk{};
    uint64_t got = 0;
    if (const Status read = source.read(Field::kLength, 4, &got); !read.ok()) return read;
    if (got == 0) {
        out->end = true;
        return {};
    }
    if (got != 4) return Status::of(Code::kEofLength);
    if (const Status length = be32_field(source, Field::kLength, &out->length); !length.ok()) return length;

    if (Status s = read_exactly(source, Field::kType, 4, Code::kEofType); !s.ok()) return s;
    if (Status s = read_exactly(source, Field::kData, out->length, Code::kEofData); !s.ok()) return s;
    if (Status s = read_exactly(source, Field::kCrc, 4, Code::kEofCrc); !s.ok()) return s;

    ByteSpan type;
    if (Status s = source.view(Field::kType, &type); !s.ok()) return s;
    if (Status s = source.view(Field::kData, &out->data); !s.ok()) return s;
    if (out->data.size() != out->length) return Status::of(Code::kEofData);  // an object that lied about its size

    uint32_t expected = 0;
    auto checksum = [&] { expected = chunk_crc(type.data(), type.size(), out->data.data(), out->data.size()); };
    const uint64_t covered = type.size() + out->data.size();
    if (covered >= limits::kHeavyWorkBytes) {
        executor.run(checksum);
    } else {
        checksum();
    }
    if (type.size() == 4) std::memcpy(out->tag, type.data(), 4);

    uint32_t stored = 0;
    if (const Status crc = be32_field(source, Field::kCrc, &stored); !crc.ok()) return crc;
    return stored == expected ? Status{} : Status::of(Code::kCorruptChunk);
}

}  // namespace

Status next_chunk(ChunkSource& source, Executor& executor, Chunk* out)
{
    const Status parsed = parse_chunk(source, executor, out);
    source.end_chunk();
    return parsed;
}

Status MemorySource::read(Field field, uint32_t n, uint64_t* got)
{
    ByteSpan& taken = fields_[static_cast<size_t>(field)];
    if (pos_ >= bytes_.size()) {
        taken = bytes_.subspan(bytes_.size());  // at or past the end: nothing, nowhere
    } else {
        const uint64_t left = bytes_.size() - pos_;
        taken = bytes_.subspan(static_cast<size_t>(pos_), static_cast<size_t>(std::min<uint64_t>(n, left)));
        pos_ += taken.size();
    }
    *got = taken.size();
    return {};
}

Status MemorySource::view(Field field, ByteSpan* out)
{
    *out = fields_[static_cast<size_t>(field)];
    return {};
}

}  // namespace qv::png

// Reading PNG chunks from a byte source: the length, type, data and CRC fields in that order,
// the end-of-data checks after each read, and the CRC check. The one parser for every
// source: a span in memory here, a host stream in the binding.
#pragma once

#include "codec/bytes.hpp"
#include "codec/executor.hpp"
#include "codec/status.hpp"

#include <cstdint>

namespace qv::png {

enum class Field : uint8_t { kLength, kType, kData, kCrc };

// Where chunk bytes come from. Each chunk is four reads, one per field in order, and then
// the views of the type, the data and the CRC (the length's view comes right after its
// read): a stream source can so keep the exact call order of reading a file object.
class ChunkSource {
public:
    virtual ~ChunkSource() = default;
    // Reads up to `n` bytes for `field`; `*got` is how many there were. A source's own
    // failure is kHostError.
    virtual Status read(Field field, uint32_t n, uint64_t* got) = 0;
    // The bytes read for `field` in this chunk, pinned until the next chunk's length is
    // read (and for kData longer, once `keep_data` was called). May differ in size from what
    // `read` reported when the source's objects lie about their length.
    virtual Status view(Field field, ByteSpan* out) = 0;
    // Keeps the data of the chunk just read in place until the source is gone (IDAT data,
    // inflated once the last chunk is read).
    virtual Status keep_data() { return {}; }
    // The parser is done with this chunk's views (the data's, once kept, excepted).
    virtual void end_chunk() {}
};

struct Chunk {
    bool end = false;     // the source was at its end: nothing else set
    uint32_t length = 0;  // the length field
    uint8_t tag[4] = {};  // the type bytes (zeros when the type's view is not 4 bytes)
    ByteSpan data;        // the `length` data bytes whose CRC was checked: valid until the
                          // next chunk is read, or while the source lives once kept

    bool is(const char (&name)[5]) const
    {
        return tag[0] == name[0] && tag[1] == name[1] && tag[2] == name[2] && tag[3] == name[3];
    }
};

// The next chunk of `source`, its CRC checked (through `executor`, as heavy work when the
// type and data hold at least limits::kHeavyWorkBytes). Refusals: kEofLength, kEofType,
// kEofData, kEofCrc, kCorruptChunk, kFieldSize (detail: the field), or the source's own.
Status next_chunk(ChunkSource& source, Executor& executor, Chunk* out);

// A source over bytes in memory, read as a stream positioned at `start` would be: a read
// at or past the end gets nothing.
class MemorySource final : public ChunkSource {
public:
    MemorySource(ByteSpan bytes, uint64_t start) : bytes_(bytes), pos_(start) {}

    Status read(Field field, uint32_t n, uint64_t* got) override;
    Status view(Field field, ByteSpan* out) override;
    // Where the next read would start: the position a stream would be left at.
    uint64_t position() const { return pos_; }
    // The bytes the last read of `field` got.
    ByteSpan last(Field field) const { return fields_[static_cast<size_t>(field)]; }

private:
    ByteSpan bytes_;
    uint64_t pos_;
    ByteSpan fields_[4];
};

}  // namespace qv::png

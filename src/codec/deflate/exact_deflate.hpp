// A deflater whose zlib stream is byte for byte what the reference library writes in one call
// at its default settings (level 6, 32 KiB window, memory level 8, default strategy), on as
// many threads as it is given: the parse is cut into segments whose parses meet again a few
// bytes past each cut, and the blocks are then formed and coded as the reference forms them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::deflate {

// The bytes to compress, read by position; read() may be called from several threads at once.
class Input {
public:
    virtual ~Input() = default;
    virtual uint64_t size() const = 0;
    // Writes bytes [from, from + count) to `out`.
    virtual void read(uint64_t from, size_t count, uint8_t* out) const = 0;
};

struct ExactOptions {
    int threads = 1;            // 1: this thread alone
    // Bytes a worker parses at a time; 0: chosen from what the data give, and one thread
    // below 512 KiB.
    // Any other value cuts even small data into segments (the joins are then tested on them).
    uint64_t segment_size = 0;
};

// Bytes the output may need beyond the stream itself (whole words are stored).
inline constexpr size_t kOutputSlack = 8;
// The most input the exact deflater takes (positions are held in 32 bits).
inline constexpr uint64_t kMaxExactInput = (uint64_t{1} << 32) - (uint64_t{1} << 20);

// Writes the zlib stream of `input` to `out` (room for `capacity` bytes, at least the stream's
// bound plus kOutputSlack) and returns its size; 0 when memory runs out or the input is too
// large.
size_t exact_deflate(const Input& input, const ExactOptions& options, uint8_t* out, size_t capacity);

}  // namespace qv::deflate

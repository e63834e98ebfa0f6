// Decoding a PNG after its signature: the chunk loop (every chunk recorded, IDAT data
// gathered, the last IHDR honoured, IEND or the end of the data stops it), the header checks,
// then the streaming inflate straight into the caller's output buffers.
#pragma once

#include "codec/decoded_image.hpp"
#include "codec/executor.hpp"
#include "codec/png/chunk_parser.hpp"
#include "codec/png/image_header.hpp"

namespace qv::png {

// Receives each chunk as it is read, in file order, before the next is read. `keep_data` is
// false for IDAT (its data is the image, not kept with the record).
class ChunkRecorder {
public:
    virtual ~ChunkRecorder() = default;
    virtual Status record(const Chunk& chunk, bool keep_data) = 0;
};

// Records nothing: for callers that want only the image.
class NoRecords final : public ChunkRecorder {
public:
    Status record(const Chunk&, bool) override { return {}; }
};

struct DecodeHooks {
    ChunkSource& source;
    ChunkRecorder& records;
    OutputBuffers& outputs;
    Executor& executor;
};

// Whether the outputs for `header` are allocated: its sizes fit 32-bit ints and `compressed`
// bytes of zlib data can inflate to the image data it promises. Otherwise the data are only
// inflated and counted, which still tells a zlib error from a wrong size.
bool outputs_justified(const ImageHeader& header, uint64_t compressed);

// Decodes the chunks from the source's position on. Refusals, in the order they are found:
// those of the chunks (next_chunk) and of the recorder as each chunk is read, kIhdrSize or
// kDimensionTooLarge from an IHDR, then the header checks (check_header), then the image
// data: kZlibError, kZlibNoMemory, kMalformedData, kBadFilter, and kNoMemory or the outputs'
// own failure. `out` is filled on success only; `header` (when given) gets the honoured IHDR.
Status decode_png(const DecodeHooks& hooks, DecodedImage* out, ImageHeader* header = nullptr);

}  // namespace qv::png

// Inflating PNG image data piece by piece and rebuilding each scanline as soon as its bytes
// are in, straight into the pixel buffer and alpha plane. Pure C++ over raw memory (no
// Python), so it runs without the GIL and can be exercised on its own.
#pragma once

#include "codec/bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv::png {

using qv::ByteSpan;

// The image data a header promises; all sizes exact in 64 bits.
struct ScanlineLayout {
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t bytes_per_pixel = 3;  // 3 (RGB) or 4 (RGBA)

    uint64_t row_length() const { return width * bytes_per_pixel; }
    uint64_t inflated_size() const { return height * (row_length() + 1); }
};

// Where rebuilt rows go: `rgb` width*height*3 bytes, `alpha` width*height bytes (4 bytes a
// pixel only), `filters` height bytes.
struct RowTargets {
    uint8_t* rgb = nullptr;
    uint8_t* alpha = nullptr;
    uint8_t* filters = nullptr;
};

struct InflateOutcome {
    enum class Status {
        Ok,            // every row rebuilt into the targets
        Counted,       // counting only, and the inflated size matched
        ZlibError,     // zlib refused the data: code, message (may be null), stage
        ZlibNoMemory,  // zlib could not get its own memory
        NoMemory,      // the working rows could not be allocated
        SizeMismatch,  // a valid zlib stream of the wrong inflated size
        BadFilter,     // the first row whose filter type is above 4: bad_filter
    };
    Status status = Status::Ok;
    int zlib_code = 0;
    const char* zlib_message = nullptr;
    bool while_preparing = false;  // the error came from setting up the inflater
    int bad_filter = 0;
    uint64_t inflated = 0;         // bytes the stream inflated to (up to where it stopped)
};

// Inflates the concatenation of `pieces` as one zlib stream, with the outcome of one-shot
// decompression of the joined data: a zlib error wins over a wrong inflated size, which wins
// over a bad filter type. Bytes after the end of the zlib stream are ignored. The layout's
// sizes must fit in size_t, and the targets must have the sizes stated above. Without
// targets the data are only inflated and counted (a matching size then gives Counted).
InflateOutcome inflate_rows(std::span<const ByteSpan> pieces, const ScanlineLayout& layout,
                            const RowTargets* targets);

}  // namespace qv::png

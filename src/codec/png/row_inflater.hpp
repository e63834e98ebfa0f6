// Inflating PNG image data piece by piece and rebuilding each scanline as soon as its bytes
// are in, straight into the pixel buffer and alpha plane. Pure C++ over raw memory (no
// Python), so it runs without the GIL and can be exercised on its own.
#pragma once

#include "codec/bytes.hpp"
#include "codec/status.hpp"

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
    // kOk: every row rebuilt into the targets. kZlibError (detail: zlib's code; its message,
    // or the host's wording where zlib gives none; the stage), kZlibNoMemory, kNoMemory (the
    // working rows), kMalformedData (a valid stream of another inflated size, or counting
    // only), kBadFilter (detail: the first filter type above 4).
    Status status;
    uint64_t inflated = 0;  // bytes the stream inflated to (up to where it stopped)
};

// Inflates the concatenation of `pieces` as one zlib stream, with the outcome of one-shot
// decompression of the joined data: a zlib error wins over a wrong inflated size, which wins
// over a bad filter type. Bytes after the end of the zlib stream are ignored. The layout's
// sizes must fit in size_t, and the targets must have the sizes stated above. Without
// targets the data are only inflated and counted: kMalformedData whatever the size, which
// `inflated` then tells.
InflateOutcome inflate_rows(std::span<const ByteSpan> pieces, const ScanlineLayout& layout,
                            const RowTargets* targets);

}  // namespace qv::png

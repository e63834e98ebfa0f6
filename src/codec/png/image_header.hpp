// The IHDR chunk: its 13 bytes (">IIBBBBB"), the checks a decoder makes on them, the image
// data they promise, and the header the writers pack. Every IHDR fact lives here.
#pragma once

#include "codec/bytes.hpp"
#include "codec/png/row_inflater.hpp"
#include "codec/status.hpp"

#include <cstdint>

namespace qv::png {

inline constexpr size_t kIhdrSize = 13;
inline constexpr uint8_t kBitDepth = 8;
inline constexpr uint8_t kColourRgb = 2;
inline constexpr uint8_t kColourRgba = 6;

struct ImageHeader {
    bool seen = false;  // an IHDR chunk was read (its fields are all set at once)
    int32_t width = -1;
    int32_t height = -1;
    int32_t bit_depth = -1;
    int32_t color_type = -1;
    int32_t compression = -1;
    int32_t filter_method = -1;
    int32_t interlace = -1;

    int32_t bytes_per_pixel() const { return color_type == kColourRgb ? 3 : 4; }
    ScanlineLayout layout() const
    {
        return {static_cast<uint64_t>(width), static_cast<uint64_t>(height),
                static_cast<uint64_t>(bytes_per_pixel())};
    }
};

// Unpacks IHDR data into `header` (left as it was on failure): kIhdrSize for data that is not
// 13 bytes, kDimensionTooLarge for a width or height of 2^31 or more.
Status parse_ihdr(ByteSpan data, ImageHeader* header);

// The decoder's header checks, in their order: no IHDR, bit depth, colour type, methods.
Status check_header(const ImageHeader& header);

// Whether every size derived from the header (row length + 1 when there are rows, inflated
// size, pixel buffer) fits a signed 32-bit integer.
bool sizes_fit_int32(const ImageHeader& header);

// The IHDR data the writers emit for an 8-bit RGB or RGBA image, not interlaced. Dimensions
// must not be negative (kNegativeDimension otherwise: nothing is written to `out`).
Status pack_ihdr(int32_t width, int32_t height, bool has_alpha, uint8_t (&out)[kIhdrSize]);

// Whether IHDR data describe an image of these dimensions, with alpha exactly when
// `has_alpha`: what a writer of kept chunks requires of the header it keeps.
bool ihdr_describes(ByteSpan ihdr, int32_t width, int32_t height, bool has_alpha);

}  // namespace qv::png

// The IHDR fields of a PNG being decoded, their checks, and the image data they promise.
#pragma once

#include "interop/ref.hpp"
#include "codec/png/row_inflater.hpp"

#include <cstdint>

namespace qv::png {

struct ImageHeader {
    bool seen = false;  // an IHDR chunk was read (its fields are all set at once)
    int32_t width = -1;
    int32_t height = -1;
    int32_t bit_depth = -1;
    int32_t color_type = -1;
    int32_t compression = -1;
    int32_t filter_method = -1;
    int32_t interlace = -1;

    int32_t bytes_per_pixel() const { return color_type == 2 ? 3 : 4; }
    ScanlineLayout layout() const
    {
        return {static_cast<uint64_t>(width), static_cast<uint64_t>(height),
                static_cast<uint64_t>(bytes_per_pixel())};
    }
};

struct ChunkRead;

// Unpacks IHDR data (">IIBBBBB") into `header`: the host's struct error for data that is not
// 13 bytes, OverflowError for a width or height of 2^31 or more. The bytes are those whose
// CRC was checked. False with the error set.
bool parse_ihdr(PyObject* module, const ChunkRead& chunk, ImageHeader* header);

// The header checks, in their order, with their messages. False with the error set.
bool check_header(const ImageHeader& header);

// Whether every size derived from the header (row length + 1 when there are rows, inflated
// size, pixel buffer) fits a signed 32-bit integer.
bool sizes_fit_int32(const ImageHeader& header);

}  // namespace qv::png

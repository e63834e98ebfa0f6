// What both PNG writers require of the buffers they are given, as checks over sizes: the
// lengths the caller reports, then the bytes the encoder will read (it reads without bounds
// checks, and a length taken with len() may disagree with the bytes behind it).
#pragma once

#include "codec/png/scanline_encoder.hpp"
#include "codec/status.hpp"

#include <cstdint>

namespace qv::png {

// len(pixels) == width * height * 3, sizes within 32-bit signed integers (kPixelLength).
Status check_pixel_length(int32_t width, int32_t height, int64_t length);

// len(alpha) == width * height (kAlphaLength). After check_pixel_length.
Status check_alpha_length(int32_t width, int32_t height, int64_t length);

// The exported pixel bytes cover the image (kPixelLength), and the width is one the encoder
// takes (kNegativeCount).
Status check_pixel_buffer(int32_t width, int32_t height, int64_t size);

// The exported alpha bytes cover the image (kAlphaLength).
Status check_alpha_buffer(int32_t width, int32_t height, int64_t size);

// One filter type a row: the list's length, then its exported bytes (kFilterCount).
Status check_filter_count(int32_t height, int64_t count);
Status check_filter_buffer(int32_t height, int64_t size);

// The encoder's outcome as a status: a filter type above 4, zlib's error, or no memory.
Status encode_status(const EncodeResult& result);

}  // namespace qv::png

// Reading a 24-bit BMP with a BITMAPINFOHEADER: each step over the bytes a read returned for
// it, in the order a reader asks for them (14 header bytes, the 4-byte info-header size, 36
// info fields, then the pixel rows from the pixel offset), so that a caller reading from a
// stream makes exactly its own reads; and the whole reader over a file in memory.
#pragma once

#include "codec/bmp/bmp_format.hpp"
#include "codec/bytes.hpp"
#include "codec/decoded_image.hpp"
#include "codec/status.hpp"

#include <cstdint>

namespace qv::bmp {

// The 14 bytes read for the file header: kBmpHeader when fewer came back or they do not
// start with "BM".
Status read_file_header(ByteSpan bytes, FileHeader* out);

// The 4 bytes read for the info-header size: kBmpDibHeader when fewer came back,
// kBmpSizeField (the host's unpack error) when more did, kBmpInfoHeader unless it is 40.
Status read_info_size(ByteSpan bytes);

// The 36 bytes read for the info fields: kBmpInfoFields (the host's unpack error) when they
// are another size; kBmpFormat unless planes 1, 24 bits and no compression.
Status read_info_fields(ByteSpan bytes, InfoFields* out);

// Where the pixel rows lie and what they become.
struct PixelLayout {
    int64_t width = 0;
    int64_t rows = 0;            // |height|
    bool top_down = false;       // a negative height: the first stored row is the top one
    int64_t stride = 0;          // bytes of one stored row (0 for a negative width)
    uint64_t stored_bytes = 0;   // stride * rows
    uint32_t pixel_offset = 0;

    int64_t row_bytes() const { return width * 3; }
    int64_t pixel_bytes() const { return width * rows * 3; }  // after check_sizes
};

// kNegativeCount for a negative width with rows (the buffer size would be negative; `out`
// still holds width and rows); a negative width without rows reads nothing and keeps an
// empty buffer.
Status pixel_layout(const FileHeader& file, const InfoFields& info, PixelLayout* out);

// The position of the last stored byte, which a reader probes before allocating anything
// (a small file that claims a huge image is refused without allocating it). False when no
// stream position can hold it: the rows are not there. Only for stored_bytes > 0.
bool last_stored_byte(const PixelLayout& layout, uint64_t* position);

// kBmpTooLarge when a stride, the row count or the pixel buffer does not fit 32-bit sizes.
Status check_sizes(const PixelLayout& layout);

// Rows asked of the stream in one read.
int64_t rows_per_read(const PixelLayout& layout);

// `rows` stored rows from `block`, `first_row` being the file's index of the first, into
// their places in the top-down RGB `pixels` (pixel_bytes() long). kBmpIncomplete when the
// block holds fewer than rows * stride bytes: every row, the last with its padding, must be
// there in full.
Status place_rows(ByteSpan block, int64_t first_row, int64_t rows, const PixelLayout& layout, uint8_t* pixels);

// The decoder result of a BMP whose pixels are in `pixels`.
DecodedImage decoded_image(const InfoFields& info, const PixelLayout& layout, uint8_t* pixels);

// The whole reader over a file in memory, with the checks and their order of a stream read:
// a read past the end returns what is there, a seek anywhere succeeds.
Status decode_bmp(ByteSpan file, OutputBuffers& buffers, DecodedImage* image);

}  // namespace qv::bmp

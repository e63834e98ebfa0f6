// The 24-bit BMP layout: a 14-byte file header, the 40-byte BITMAPINFOHEADER, then rows of
// B, G, R pixels padded to a multiple of 4 bytes. Plain byte arithmetic, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv::bmp {

inline constexpr size_t kFileHeaderSize = 14;
inline constexpr size_t kInfoHeaderSize = 40;
inline constexpr size_t kInfoFieldsSize = kInfoHeaderSize - 4;  // after the size field
inline constexpr size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
inline constexpr uint16_t kPlanes = 1;
inline constexpr uint16_t kBitCount = 24;
inline constexpr uint32_t kNoCompression = 0;

inline uint16_t read_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t read_le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline int32_t read_le32_signed(const uint8_t* p) { return static_cast<int32_t>(read_le32(p)); }

inline void write_le16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void write_le32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Floor division, as the row-size formula rounds a negative width toward minus infinity.
inline int64_t floor_div(int64_t a, int64_t b)
{
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The bytes of one stored row: 3 * width rounded up to a multiple of 4. Exact in 64 bits for
// every 32-bit width, negative ones included.
inline int64_t row_stride(int64_t width) { return floor_div(width * 3 + 3, 4) * 4; }

inline bool fits_int32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Bytes 2 to 13 of the file header (after "BM").
struct FileHeader {
    uint32_t file_size;
    uint32_t pixel_offset;
};

inline FileHeader parse_file_header(const uint8_t* p)
{
    return {read_le32(p + 2), read_le32(p + 10)};
}

// The info header after its size field.
struct InfoFields {
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bit_count;
    uint32_t compression;
    uint32_t image_size;
    int32_t xppm;
    int32_t yppm;
    uint32_t clr_used;
    uint32_t clr_important;
};

inline InfoFields parse_info_fields(const uint8_t* p)
{
    return {read_le32_signed(p), read_le32_signed(p + 4), read_le16(p + 8), read_le16(p + 10),
            read_le32(p + 12),   read_le32(p + 16),        read_le32_signed(p + 20),
            read_le32_signed(p + 24), read_le32(p + 28), read_le32(p + 32)};
}

// What the writer puts into the two headers; every field is stored unsigned.
struct HeaderValues {
    uint32_t file_size;
    uint32_t width;
    uint32_t height;
    uint32_t image_size;
    uint32_t xppm;
    uint32_t yppm;
    uint32_t clr_used;
    uint32_t clr_important;
};

// Writes the 54 header bytes; the pixel rows follow directly (no colour table).
inline void write_headers(uint8_t* out, const HeaderValues& v)
{
    out[0] = 'B';
    out[1] = 'M';
    write_le32(out + 2, v.file_size);
    write_le16(out + 6, 0);
    write_le16(out + 8, 0);
    write_le32(out + 10, static_cast<uint32_t>(kHeadersSize));
    write_le32(out + 14, static_cast<uint32_t>(kInfoHeaderSize));
    write_le32(out + 18, v.width);
    write_le32(out + 22, v.height);
    write_le16(out + 26, kPlanes);
    write_le16(out + 28, kBitCount);
    write_le32(out + 30, kNoCompression);
    write_le32(out + 34, v.image_size);
    write_le32(out + 38, v.xppm);
    write_le32(out + 42, v.yppm);
    write_le32(out + 46, v.clr_used);
    write_le32(out + 50, v.clr_important);
}

// Copies `pixels` three-byte pixels, exchanging the first and third byte of each: B, G, R
// rows become R, G, B and back. The buffers must not overlap. (bgr_swap.cpp)
void copy_row_swapping_red_blue(const uint8_t* src, uint8_t* dst, size_t pixels);

// Zeroes the padding that follows `used` bytes of a `stride`-byte stored row.
inline void clear_row_padding(uint8_t* row, size_t used, size_t stride)
{
    if (stride > used) std::memset(row + used, 0, stride - used);
}

}  // namespace qv::bmp

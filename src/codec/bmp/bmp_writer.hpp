// Writing a 24-bit BMP: the 54 header bytes (the 14-byte file header "<IHHI" after "BM", the
// 40-byte info header "<IIIHHIIIIII"), then the rows bottom-up as B, G, R with zero padding
// to 4 bytes. Every field is stored unsigned.
#pragma once

#include "codec/bmp/bmp_format.hpp"
#include "codec/bytes.hpp"
#include "codec/status.hpp"

#include <cstddef>
#include <cstdint>

namespace qv::bmp {

inline constexpr int64_t kDefaultPpm = 2835;  // 72 dpi

// The resolution and colour-count fields to write, as integers (a value beyond 64 bits may
// be given as INT64_MIN or INT64_MAX: it is out of range either way).
struct KeptFields {
    int64_t xppm = kDefaultPpm;
    int64_t yppm = kDefaultPpm;
    int64_t clr_used = 0;
    int64_t clr_important = 0;
};

struct BmpPlan {
    HeaderValues values{};
    int32_t width = 0;
    int32_t height = 0;
    int64_t stride = 0;

    size_t file_size() const { return values.file_size; }
    int64_t pixel_bytes() const { return int64_t{width} * height * 3; }  // what the rows read
};

// The header values of an image. kBmpFieldRange when a field does not fit its unsigned 32
// bits, as the host's struct module refuses it: detail 0 when the file header already is
// refused (its file size), 1 for a field of the info header. kBmpTooLarge when every field
// fits but the row size, image size or file size does not fit a signed 32-bit integer.
Status plan_bmp(int32_t width, int32_t height, const KeptFields& fields, BmpPlan* out);

// The whole file into `out` (plan.file_size() bytes) from the RGB rows, top row first, of at
// least plan.pixel_bytes() bytes.
void write_bmp(const BmpPlan& plan, const uint8_t* rgb, MutableByteSpan out);

}  // namespace qv::bmp

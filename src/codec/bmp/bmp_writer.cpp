#include "codec/bmp/bmp_writer.hpp"

namespace qv::bmp {

namespace {

bool fits_u32(int64_t v) { return v >= 0 && v <= int64_t{UINT32_MAX}; }

}  // namespace

Status plan_bmp(int32_t width, int32_t height, const KeptFields& fields, BmpPlan* out)
{
    const int64_t stride = row_stride(width);  // exact for any 32-bit width
    int64_t image_size = 0;
    int64_t file_size = 0;
    // Beyond 64 bits neither size fits its field: the file size is the first refused.
    if (__builtin_mul_overflow(stride, int64_t{height}, &image_size) ||
        __builtin_add_overflow(image_size, static_cast<int64_t>(kHeadersSize), &file_size) || !fits_u32(file_size)) {
        return Status::of(Code::kBmpFieldRange, 0);
    }
    const int64_t info_fields[] = {width, height, image_size, fields.xppm, fields.yppm, fields.clr_used,
                                   fields.clr_important};
    for (const int64_t field : info_fields) {
        if (!fits_u32(field)) return Status::of(Code::kBmpFieldRange, 1);
    }
    if (!fits_int32(stride) || !fits_int32(image_size) || !fits_int32(file_size)) return Status::of(Code::kBmpTooLarge);

    BmpPlan plan;
    plan.width = width;
    plan.height = height;
    plan.stride = stride;
    plan.values = {static_cast<uint32_t>(file_size),        static_cast<uint32_t>(width),
                   static_cast<uint32_t>(height),           static_cast<uint32_t>(image_size),
                   static_cast<uint32_t>(fields.xppm),      static_cast<uint32_t>(fields.yppm),
                   static_cast<uint32_t>(fields.clr_used),  static_cast<uint32_t>(fields.clr_important)};
    *out = plan;
    return {};
}

void write_bmp(const BmpPlan& plan, const uint8_t* rgb, MutableByteSpan out)
{
    write_headers(out.data(), plan.values);
    if (plan.stride == 0) return;
    const int64_t row_bytes = int64_t{plan.width} * 3;
    uint8_t* row = out.data() + kHeadersSize;
    for (int64_t y = int64_t{plan.height} - 1; y >= 0; --y, row += plan.stride) {
        copy_row_swapping_red_blue(rgb + y * row_bytes, row, static_cast<size_t>(plan.width));
        clear_row_padding(row, static_cast<size_t>(row_bytes), static_cast<size_t>(plan.stride));
    }
}

}  // namespace qv::bmp

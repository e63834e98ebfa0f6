#include "codec/png/image_lengths.hpp"

namespace qv::png {

namespace {

bool fits_int32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

}  // namespace

Status check_pixel_length(int32_t width, int32_t height, int64_t length)
{
    const int64_t pixels = int64_t{width} * height;  // |width|, |height| <= 2^31: exact
    if (!fits_int32(pixels) || !fits_int32(pixels * 3) || length != pixels * 3) {
        return Status::of(Code::kPixelLength);
    }
    return {};
}

Status check_alpha_length(int32_t width, int32_t height, int64_t length)
{
    return length == int64_t{width} * height ? Status{} : Status::of(Code::kAlphaLength);
}

Status check_pixel_buffer(int32_t width, int32_t height, int64_t size)
{
    if (size < int64_t{width} * height * 3) return Status::of(Code::kPixelLength);  // checked against int32
    if (width < 0) return Status::of(Code::kNegativeCount);
    return {};
}

Status check_alpha_buffer(int32_t width, int32_t height, int64_t size)
{
    return size >= int64_t{width} * height ? Status{} : Status::of(Code::kAlphaLength);
}

Status check_filter_count(int32_t height, int64_t count)
{
    return count == height ? Status{} : Status::of(Code::kFilterCount);
}

Status check_filter_buffer(int32_t height, int64_t size)
{
    return size >= height ? Status{} : Status::of(Code::kFilterCount);
}

Status encode_status(const EncodeResult& result)
{
    switch (result.status) {
    case EncodeStatus::kOk:
        return {};
    case EncodeStatus::kBadFilter:
        return Status::of(Code::kBadFilter, result.detail);
    case EncodeStatus::kZlibError:
        return Status::of(Code::kZlibCompressError, result.detail);
    case EncodeStatus::kTooLarge:
    case EncodeStatus::kOutOfMemory:
        break;
    }
    return Status::of(Code::kNoMemory);
}

}  // namespace qv::png

#include "codec/png/image_header.hpp"

namespace qv::png {

Status parse_ihdr(ByteSpan data, ImageHeader* header)
{
    if (data.size() != kIhdrSize) return Status::of(Code::kIhdrSize);
    const uint8_t* p = data.data();
    const uint32_t width = read_be32(p);
    const uint32_t height = read_be32(p + 4);
    // Held in signed 32-bit integers, as the host's int conversion would.
    if (width > INT32_MAX || height > INT32_MAX) return Status::of(Code::kDimensionTooLarge);
    ImageHeader parsed;
    parsed.seen = true;
    parsed.width = static_cast<int32_t>(width);
    parsed.height = static_cast<int32_t>(height);
    parsed.bit_depth = p[8];
    parsed.color_type = p[9];
    parsed.compression = p[10];
    parsed.filter_method = p[11];
    parsed.interlace = p[12];
    *header = parsed;
    return {};
}

Status check_header(const ImageHeader& header)
{
    if (!header.seen) return Status::of(Code::kNoHeader);
    if (header.bit_depth != kBitDepth) return Status::of(Code::kBitDepth);
    if (header.color_type != kColourRgb && header.color_type != kColourRgba) return Status::of(Code::kColourType);
    if (header.compression != 0 || header.filter_method != 0 || header.interlace != 0) {
        return Status::of(Code::kConfiguration);
    }
    return {};
}

bool sizes_fit_int32(const ImageHeader& header)
{
    // width, height < 2^31: exact in 64 bits. The row length bounds nothing in an image
    // without rows (no row buffer is made), so a wide image of height 0 opens as it saves.
    const ScanlineLayout layout = header.layout();
    return (layout.height == 0 || layout.row_length() + 1 <= INT32_MAX) && layout.inflated_size() <= INT32_MAX &&
           layout.width * layout.height * 3 <= INT32_MAX;
}

Status pack_ihdr(int32_t width, int32_t height, bool has_alpha, uint8_t (&out)[kIhdrSize])
{
    if (width < 0 || height < 0) return Status::of(Code::kNegativeDimension);
    write_be32(out, static_cast<uint32_t>(width));
    write_be32(out + 4, static_cast<uint32_t>(height));
    out[8] = kBitDepth;
    out[9] = has_alpha ? kColourRgba : kColourRgb;
    out[10] = 0;  // compression method
    out[11] = 0;  // filter method
    out[12] = 0;  // interlace method
    return {};
}

bool ihdr_describes(ByteSpan ihdr, int32_t width, int32_t height, bool has_alpha)
{
    if (ihdr.size() != kIhdrSize) return true;  // not a header this module could have honoured
    return read_be32(ihdr.data()) == int64_t{width} && read_be32(ihdr.data() + 4) == int64_t{height} &&
           ihdr[9] == (has_alpha ? kColourRgba : kColourRgb);
}

}  // namespace qv::png

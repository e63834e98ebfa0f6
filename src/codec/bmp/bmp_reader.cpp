#include "codec/bmp/bmp_reader.hpp"

#include "codec/limits.hpp"

#include <algorithm>

namespace qv::bmp {

Status read_file_header(ByteSpan bytes, FileHeader* out)
{
    if (bytes.size() < kFileHeaderSize || bytes[0] != 'B' || bytes[1] != 'M') return Status::of(Code::kBmpHeader);
    *out = parse_file_header(bytes.data());
    return {};
}

Status read_info_size(ByteSpan bytes)
{
    if (bytes.size() < 4) return Status::of(Code::kBmpDibHeader);
    if (bytes.size() > 4) return Status::of(Code::kBmpSizeField);
    if (read_le32(bytes.data()) != kInfoHeaderSize) return Status::of(Code::kBmpInfoHeader);
    return {};
}

Status read_info_fields(ByteSpan bytes, InfoFields* out)
{
    // No length check of its own: a short read is the struct module's error.
    if (bytes.size() != kInfoFieldsSize) return Status::of(Code::kBmpInfoFields);
    const InfoFields info = parse_info_fields(bytes.data());
    if (info.planes != kPlanes || info.bit_count != kBitCount || info.compression != kNoCompression) {
        return Status::of(Code::kBmpFormat);
    }
    *out = info;
    return {};
}

Status pixel_layout(const FileHeader& file, const InfoFields& info, PixelLayout* out)
{
    PixelLayout& layout = *out;
    layout = PixelLayout{};
    layout.width = info.width;
    layout.rows = info.height < 0 ? -int64_t{info.height} : int64_t{info.height};
    layout.top_down = info.height < 0;
    layout.pixel_offset = file.pixel_offset;
    if (layout.width < 0 && layout.rows != 0) return Status::of(Code::kNegativeCount);
    layout.stride = layout.width < 0 ? 0 : row_stride(layout.width);
    layout.stored_bytes = static_cast<uint64_t>(layout.stride) * static_cast<uint64_t>(layout.rows);  // < 2^64
    return {};
}

bool last_stored_byte(const PixelLayout& layout, uint64_t* position)
{
    const uint64_t last = uint64_t{layout.pixel_offset} + layout.stored_bytes - 1;
    if (last > static_cast<uint64_t>(INT64_MAX)) return false;  // past any seekable position
    *position = last;
    return true;
}

Status check_sizes(const PixelLayout& layout)
{
    if (!fits_int32(layout.stride) || layout.rows > INT32_MAX || layout.width * layout.rows > INT32_MAX / 3) {
        return Status::of(Code::kBmpTooLarge);
    }
    return {};
}

int64_t rows_per_read(const PixelLayout& layout)
{
    int64_t rows = std::max<int64_t>(1, limits::kBmpBlockBytes / std::max<int64_t>(layout.stride, 1));
    if (layout.rows * layout.stride > limits::kBmpSplitAbove) rows = std::min(rows, (layout.rows + 1) / 2);
    return rows;
}

Status place_rows(ByteSpan block, int64_t first_row, int64_t rows, const PixelLayout& layout, uint8_t* pixels)
{
    if (static_cast<int64_t>(block.size()) < rows * layout.stride) return Status::of(Code::kBmpIncomplete);
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t row = first_row + r;
        const int64_t target = layout.top_down ? row : layout.rows - 1 - row;
        copy_row_swapping_red_blue(block.data() + r * layout.stride, pixels + target * layout.row_bytes(),
                                   static_cast<size_t>(layout.width));
    }
    return {};
}

DecodedImage decoded_image(const InfoFields& info, const PixelLayout& layout, uint8_t* pixels)
{
    DecodedImage image;
    image.format = ImageFormat::kBmp;
    image.width = info.width;
    image.height = static_cast<int32_t>(layout.rows);  // fits: checked with the sizes
    image.channels = 3;
    image.sizes.pixels = static_cast<size_t>(layout.pixel_bytes());
    image.storage.pixels = pixels;
    image.bmp = {info.xppm, info.yppm, info.clr_used, info.clr_important};
    return image;
}

namespace {

// A file in memory read as a stream would be: reads stop at the end.
class MemoryReader {
public:
    explicit MemoryReader(ByteSpan file) : file_(file) {}
    ByteSpan read(uint64_t n)
    {
        const uint64_t start = std::min<uint64_t>(position_, file_.size());
        const uint64_t size = std::min<uint64_t>(n, file_.size() - start);
        position_ = start + size;
        return file_.subspan(start, size);
    }
    void seek(uint64_t position) { position_ = position; }

private:
    ByteSpan file_;
    uint64_t position_ = 0;
};

}  // namespace

Status decode_bmp(ByteSpan file, OutputBuffers& buffers, DecodedImage* image)
{
    MemoryReader reader(file);
    FileHeader header{};
    InfoFields info{};
    if (Status s = read_file_header(reader.read(kFileHeaderSize), &header); !s.ok()) return s;
    if (Status s = read_info_size(reader.read(4)); !s.ok()) return s;
    if (Status s = read_info_fields(reader.read(kInfoFieldsSize), &info); !s.ok()) return s;
    PixelLayout layout;
    if (Status s = pixel_layout(header, info, &layout); !s.ok()) return s;
    if (layout.stored_bytes > 0) {
        uint64_t last = 0;
        if (!last_stored_byte(layout, &last)) return Status::of(Code::kBmpIncomplete);
        reader.seek(last);
        if (reader.read(1).empty()) return Status::of(Code::kBmpIncomplete);
    }
    if (Status s = check_sizes(layout); !s.ok()) return s;

    OutputSizes sizes;
    sizes.pixels = static_cast<size_t>(layout.pixel_bytes());
    OutputStorage storage;
    if (Status s = buffers.allocate(sizes, &storage); !s.ok()) return s;
    reader.seek(layout.pixel_offset);
    if (layout.stored_bytes > 0) {
        const int64_t per_read = rows_per_read(layout);
        for (int64_t row = 0; row < layout.rows; row += per_read) {
            const int64_t rows = std::min(per_read, layout.rows - row);
            const ByteSpan block = reader.read(static_cast<uint64_t>(rows * layout.stride));
            if (Status s = place_rows(block, row, rows, layout, storage.pixels); !s.ok()) return s;
        }
    }
    *image = decoded_image(info, layout, storage.pixels);
    return {};
}

}  // namespace qv::bmp

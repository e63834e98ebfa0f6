// Arbitrary bytes through the core BMP reader from memory. A file it accepts must decode to
// what a pixel-by-pixel reading of the stored rows gives, and write back (when its fields can
// be written) to a file that decodes to the same image; a file it refuses must be refused
// with a BMP code before any pixel storage was asked for.
#include "fuzz_support.hpp"

#include "codec/bmp/bmp_reader.hpp"
#include "codec/bmp/bmp_writer.hpp"

#include <cstring>
#include <vector>

namespace {

bool refusal_of_reader(qv::Code code)
{
    switch (code) {
    case qv::Code::kBmpHeader:
    case qv::Code::kBmpDibHeader:
    case qv::Code::kBmpSizeField:
    case qv::Code::kBmpInfoHeader:
    case qv::Code::kBmpInfoFields:
    case qv::Code::kBmpFormat:
    case qv::Code::kBmpIncomplete:
    case qv::Code::kBmpTooLarge:
    case qv::Code::kNegativeCount:
        return true;
    default:
        return false;
    }
}

uint32_t le32(const uint8_t* p) { return qv::bmp::read_le32(p); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const qv::ByteSpan file{data, size};
    qv::HeapBuffers buffers(size_t{64} << 20);
    qv::DecodedImage image;
    const qv::Status status = qv::bmp::decode_bmp(file, buffers, &image);
    if (!status.ok()) {
        FUZZ_CHECK(refusal_of_reader(status.code) || status.code == qv::Code::kNoMemory);
        // Rows are probed before allocating: once storage is given, every row is there.
        FUZZ_CHECK(!buffers.allocated() || status.code == qv::Code::kNoMemory);
        return 0;
    }

    // Accepted: the fields as stored, the pixels as a plain reading of the rows gives them.
    FUZZ_CHECK(size >= 54 && data[0] == 'B' && data[1] == 'M' && le32(data + 14) == 40);
    const int32_t width = static_cast<int32_t>(le32(data + 18));
    const int32_t height = static_cast<int32_t>(le32(data + 22));
    const int64_t rows = height < 0 ? -int64_t{height} : height;
    FUZZ_CHECK(image.width == width && image.height == rows && image.channels == 3);
    FUZZ_CHECK(image.bmp.xppm == static_cast<int32_t>(le32(data + 38)) && image.bmp.clr_important == le32(data + 50));
    const int64_t pixel_bytes = width > 0 ? int64_t{width} * rows * 3 : 0;
    FUZZ_CHECK(static_cast<int64_t>(image.sizes.pixels) == pixel_bytes);
    FUZZ_CHECK(pixel_bytes == 0 || image.storage.pixels != nullptr);
    const uint64_t offset = le32(data + 10);
    const int64_t stride = width > 0 ? ((int64_t{width} * 3 + 3) / 4) * 4 : 0;
    for (int64_t y = 0; width > 0 && y < rows; ++y) {  // zero-width rows: millions of them, nothing in them
        const int64_t stored_row = height > 0 ? rows - 1 - y : y;
        const uint8_t* src = data + offset + static_cast<uint64_t>(stored_row * stride);
        const uint8_t* px = image.storage.pixels + y * int64_t{width} * 3;
        for (int64_t i = 0; i < int64_t{width} * 3; i += 3) {
            FUZZ_CHECK(px[i] == src[i + 2] && px[i + 1] == src[i + 1] && px[i + 2] == src[i]);
        }
    }

    // Written back bottom-up and read again: the same image and fields.
    const qv::bmp::KeptFields fields{image.bmp.xppm, image.bmp.yppm, image.bmp.clr_used, image.bmp.clr_important};
    qv::bmp::BmpPlan plan;
    const qv::Status planned = qv::bmp::plan_bmp(image.width, image.height, fields, &plan);
    if (!planned.ok()) {
        // Only what the writer stores unsigned can be refused: a negative width or resolution.
        FUZZ_CHECK(planned.code == qv::Code::kBmpFieldRange);
        FUZZ_CHECK(image.width < 0 || image.bmp.xppm < 0 || image.bmp.yppm < 0);
        return 0;
    }
    std::vector<uint8_t> written(plan.file_size());
    qv::bmp::write_bmp(plan, image.storage.pixels, written);
    qv::HeapBuffers again_buffers;
    qv::DecodedImage again;
    FUZZ_CHECK(qv::bmp::decode_bmp(written, again_buffers, &again).ok());
    FUZZ_CHECK(again.width == image.width && again.height == image.height);
    FUZZ_CHECK(again.sizes.pixels == image.sizes.pixels);
    FUZZ_CHECK(pixel_bytes == 0 || std::memcmp(again.storage.pixels, image.storage.pixels, image.sizes.pixels) == 0);
    FUZZ_CHECK(std::memcmp(&again.bmp, &image.bmp, sizeof image.bmp) == 0);
    return 0;
}

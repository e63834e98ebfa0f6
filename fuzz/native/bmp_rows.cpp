// BMP row arithmetic on arbitrary bytes: the red/blue swap against a byte-by-byte reference
// (exact-size buffers, so any access beyond a row is an AddressSanitizer report), swapping
// twice giving the row back, the stored row size of a fuzzed width, and the header fields
// written and parsed again.
#include "fuzz_support.hpp"

#include "codec/bmp/bmp_format.hpp"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 4) {
        const int64_t width = qv::bmp::read_le32_signed(data);
        const int64_t stride = qv::bmp::row_stride(width);
        FUZZ_CHECK(stride % 4 == 0);
        FUZZ_CHECK(stride >= 3 * width && stride <= 3 * width + 3);
    }
    if (size >= 32) {
        qv::bmp::HeaderValues v;
        uint32_t fields[8];
        std::memcpy(fields, data, sizeof fields);
        v = {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6], fields[7]};
        uint8_t out[qv::bmp::kHeadersSize];
        qv::bmp::write_headers(out, v);
        const qv::bmp::FileHeader file = qv::bmp::parse_file_header(out);
        const qv::bmp::InfoFields info = qv::bmp::parse_info_fields(out + qv::bmp::kFileHeaderSize + 4);
        FUZZ_CHECK(file.file_size == v.file_size);
        FUZZ_CHECK(static_cast<uint32_t>(info.width) == v.width && static_cast<uint32_t>(info.height) == v.height);
        FUZZ_CHECK(info.image_size == v.image_size && info.clr_used == v.clr_used);
        FUZZ_CHECK(static_cast<uint32_t>(info.xppm) == v.xppm && static_cast<uint32_t>(info.yppm) == v.yppm);
        FUZZ_CHECK(info.clr_important == v.clr_important && info.bit_count == 24 && info.planes == 1);
    }

    const size_t pixels = size / 3;
    const size_t n = pixels * 3;
    auto src = std::make_unique<uint8_t[]>(n);
    auto swapped = std::make_unique<uint8_t[]>(n);
    auto back = std::make_unique<uint8_t[]>(n);
    if (n > 0) std::memcpy(src.get(), data, n);
    qv::bmp::copy_row_swapping_red_blue(src.get(), swapped.get(), pixels);
    for (size_t i = 0; i < n; i += 3) {
        FUZZ_CHECK(swapped[i] == src[i + 2] && swapped[i + 1] == src[i + 1] && swapped[i + 2] == src[i]);
    }
    qv::bmp::copy_row_swapping_red_blue(swapped.get(), back.get(), pixels);
    FUZZ_CHECK(n == 0 || std::memcmp(back.get(), src.get(), n) == 0);
    return 0;
}

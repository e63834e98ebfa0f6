// BMP row helpers: the red/blue swap (three code paths chosen by pixel count and CPU), the
// stored row size and the header byte order, against references written out by hand.
#include "check.hpp"
#include "reference.hpp"

#include "codec/bmp/bmp_format.hpp"

#include <algorithm>

namespace {

using qv::ref::Bytes;
using qv::ref::Random;

TEST_CASE("Red and blue swap equals the reference for 0 to 80 pixels, and back")
{
    Random rng(30);
    constexpr uint8_t kCanary = 0x5A;
    for (size_t pixels = 0; pixels <= 80; ++pixels) {
        const qv::check::Scope scope(pixels, " pixels");
        const Bytes src = rng.bytes(3 * pixels);  // exact size: an over-read is a sanitizer report
        Bytes dst(3 * pixels + 8, kCanary);
        qv::bmp::copy_row_swapping_red_blue(src.data(), dst.data(), pixels);
        Bytes want(3 * pixels);
        for (size_t i = 0; i < 3 * pixels; i += 3) {
            want[i] = src[i + 2];
            want[i + 1] = src[i + 1];
            want[i + 2] = src[i];
        }
        CHECK(Bytes(dst.begin(), dst.begin() + static_cast<ptrdiff_t>(3 * pixels)) == want);
        CHECK(std::all_of(dst.begin() + static_cast<ptrdiff_t>(3 * pixels), dst.end(),
                          [](uint8_t b) { return b == kCanary; }));
        Bytes back(3 * pixels);
        qv::bmp::copy_row_swapping_red_blue(dst.data(), back.data(), pixels);
        CHECK(back == src);
    }
}

TEST_CASE("Stored BMP rows are 3 bytes a pixel rounded up to 4, for any 32-bit width")
{
    struct Case {
        int64_t width;
        int64_t stride;
    };
    const Case cases[] = {{0, 0},   {1, 4},   {2, 8},   {3, 12},  {4, 12},         {5, 16},
                          {-1, 0},  {-2, -4}, {-5, -12}, {INT32_MAX, 6442450944}, {INT32_MIN, -6442450944}};
    for (const Case& c : cases) {
        const qv::check::Scope scope("width ", c.width);
        CHECK_EQ(qv::bmp::row_stride(c.width), c.stride);
    }
}

TEST_CASE("BMP headers are written little-endian and read back")
{
    const qv::bmp::HeaderValues v{0x01020304, 7, 0xFFFFFFFF, 0x0A0B0C0D, 2835, 0x80000000, 1, 2};
    Bytes out(qv::bmp::kHeadersSize);
    qv::bmp::write_headers(out.data(), v);
    CHECK(out[0] == 'B' && out[1] == 'M');
    CHECK(out[2] == 0x04 && out[3] == 0x03 && out[4] == 0x02 && out[5] == 0x01);
    const qv::bmp::FileHeader file = qv::bmp::parse_file_header(out.data());
    CHECK_EQ(file.file_size, v.file_size);
    CHECK_EQ(file.pixel_offset, uint32_t{54});
    CHECK_EQ(qv::bmp::read_le32(out.data() + 14), uint32_t{40});
    const qv::bmp::InfoFields info = qv::bmp::parse_info_fields(out.data() + 18);
    CHECK_EQ(info.width, 7);
    CHECK_EQ(info.height, -1);  // stored unsigned, read signed: a top-down file
    CHECK_EQ(info.planes, uint16_t{1});
    CHECK_EQ(info.bit_count, uint16_t{24});
    CHECK_EQ(info.compression, uint32_t{0});
    CHECK_EQ(info.image_size, v.image_size);
    CHECK_EQ(info.xppm, 2835);
    CHECK_EQ(info.yppm, INT32_MIN);
    CHECK_EQ(info.clr_used, uint32_t{1});
    CHECK_EQ(info.clr_important, uint32_t{2});
}

}  // namespace

// The BMP reader over a file in memory (every refusal, in its order; both row orders) and the
// writer's header values and file bytes, against files written out field by field here.
#include "check.hpp"
#include "reference.hpp"

#include "codec/bmp/bmp_reader.hpp"
#include "codec/bmp/bmp_writer.hpp"

#include <string>

namespace {

using qv::Code;
using qv::ref::Bytes;

void le(Bytes& out, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Fields {
    int32_t width = 1;
    int32_t height = 1;
    uint32_t pixel_offset = 54;
    uint32_t dib_size = 40;
    uint16_t planes = 1;
    uint16_t bit_count = 24;
    uint32_t compression = 0;
    int32_t xppm = 2835;
    int32_t yppm = 2835;
    uint32_t clr_used = 0;
    uint32_t clr_important = 0;
};

// The 54 header bytes of `f`, then `rest` as it is.
Bytes bmp_file(const Fields& f, const Bytes& rest = {})
{
    Bytes out{'B', 'M'};
    le(out, 54 + rest.size(), 4);
    le(out, 0, 4);
    le(out, f.pixel_offset, 4);
    le(out, f.dib_size, 4);
    le(out, static_cast<uint32_t>(f.width), 4);
    le(out, static_cast<uint32_t>(f.height), 4);
    le(out, f.planes, 2);
    le(out, f.bit_count, 2);
    le(out, f.compression, 4);
    le(out, rest.size(), 4);
    le(out, static_cast<uint32_t>(f.xppm), 4);
    le(out, static_cast<uint32_t>(f.yppm), 4);
    le(out, f.clr_used, 4);
    le(out, f.clr_important, 4);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

Bytes cut(Bytes b, size_t size)
{
    b.resize(size);
    return b;
}

Fields sized(int32_t width, int32_t height)
{
    Fields f;
    f.width = width;
    f.height = height;
    return f;
}

TEST_CASE("BMP reader refuses each bad file with its code, in the order a stream reader checks")
{
    const Bytes one = bmp_file({}, {1, 2, 3, 0});
    Fields f;
    struct Case {
        const char* name;
        Bytes file;
        Code want;
    };
    auto with = [](auto change) {
        Fields g;
        change(g);
        return g;
    };
    const Case cases[] = {
        {"empty", {}, Code::kBmpHeader},
        {"BM only", {'B', 'M'}, Code::kBmpHeader},
        {"13 bytes", cut(one, 13), Code::kBmpHeader},
        {"lower-case bm", [&] { Bytes b = one; b[0] = 'b'; b[1] = 'm'; return b; }(), Code::kBmpHeader},
        {"14 bytes", cut(one, 14), Code::kBmpDibHeader},
        {"17 bytes", cut(one, 17), Code::kBmpDibHeader},
        {"12-byte info header", bmp_file(with([](Fields& g) { g.dib_size = 12; })), Code::kBmpInfoHeader},
        {"124-byte info header", bmp_file(with([](Fields& g) { g.dib_size = 124; })), Code::kBmpInfoHeader},
        {"18 bytes", cut(one, 18), Code::kBmpInfoFields},
        {"53 bytes", cut(one, 53), Code::kBmpInfoFields},
        {"planes 2", bmp_file(with([](Fields& g) { g.planes = 2; }), {1, 2, 3, 0}), Code::kBmpFormat},
        {"32 bits", bmp_file(with([](Fields& g) { g.bit_count = 32; }), {1, 2, 3, 0}), Code::kBmpFormat},
        {"RLE", bmp_file(with([](Fields& g) { g.compression = 1; }), {1, 2, 3, 0}), Code::kBmpFormat},
        {"cut in the last padding", cut(one, 57), Code::kBmpIncomplete},
        {"no rows", bmp_file(f), Code::kBmpIncomplete},
        {"offset past the end", bmp_file(with([](Fields& g) { g.pixel_offset = 1000; }), {1, 2, 3, 0}),
         Code::kBmpIncomplete},
        {"offset 2^32 - 1", bmp_file(with([](Fields& g) { g.pixel_offset = 0xFFFFFFFF; }), {1, 2, 3, 0}),
         Code::kBmpIncomplete},
        {"negative width with rows", bmp_file(sized(-2, 3)), Code::kNegativeCount},
        {"negative width, top-down", bmp_file(sized(-1, -1)), Code::kNegativeCount},
        {"huge claim, small file", bmp_file(sized(40000, 40000)), Code::kBmpIncomplete},
        {"height -2^31, small file", bmp_file(sized(1, INT32_MIN)), Code::kBmpIncomplete},
        {"width 0, height -2^31", bmp_file(sized(0, INT32_MIN)), Code::kBmpTooLarge},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        qv::HeapBuffers buffers;
        qv::DecodedImage image;
        CHECK_EQ(qv::bmp::decode_bmp(c.file, buffers, &image).code, c.want);
        CHECK(!buffers.allocated());  // refused before any pixel storage is asked for
    }
}

TEST_CASE("BMP sizes beyond 32 bits are refused once the rows are known to be there")
{
    struct Case {
        int64_t width, height;
        Code want;
    };
    const Case cases[] = {
        {50000, 50000, Code::kBmpTooLarge},       // pixel buffer over 2^31
        {800000000, 1, Code::kBmpTooLarge},       // stride over 2^31
        {1, INT32_MIN, Code::kBmpTooLarge},       // 2^31 rows
        {715827881, 1, Code::kOk},                // 2^31 - 5 bytes of pixels, stride 2^31 - 4: fits
        {715827882, 1, Code::kBmpTooLarge},       // stride 2^31
        {715827883, 1, Code::kBmpTooLarge},
        {0, INT32_MAX, Code::kOk},
        {-5, 0, Code::kOk},                       // a negative width without rows reads nothing
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.width, " x ", c.height);
        qv::bmp::InfoFields info{};
        info.width = static_cast<int32_t>(c.width);
        info.height = static_cast<int32_t>(c.height);
        qv::bmp::PixelLayout layout;
        CHECK(qv::bmp::pixel_layout({0, 54}, info, &layout).ok());
        CHECK_EQ(qv::bmp::check_sizes(layout).code, c.want);
    }
    // The probe position: past any stream position, the rows are not there.
    qv::bmp::InfoFields info{};
    info.width = INT32_MAX;
    info.height = INT32_MIN;
    qv::bmp::PixelLayout layout;
    CHECK(qv::bmp::pixel_layout({0, 0xFFFFFFFF}, info, &layout).ok());
    uint64_t last = 0;
    CHECK(!qv::bmp::last_stored_byte(layout, &last));
    info.width = 1;
    info.height = 2;
    CHECK(qv::bmp::pixel_layout({0, 100}, info, &layout).ok());
    CHECK(qv::bmp::last_stored_byte(layout, &last));
    CHECK_EQ(last, uint64_t{107});
}

TEST_CASE("BMP rows come out top row first from either order, with the header fields kept")
{
    // 2 x 2: rows of 6 colour bytes and 2 padding bytes, stored B, G, R.
    const Bytes top_row = {1, 2, 3, 4, 5, 6};     // as stored: pixel (0, 0), (1, 0)
    const Bytes bottom_row = {7, 8, 9, 10, 11, 12};
    const Bytes want = {3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10};
    auto rows = [](const Bytes& a, const Bytes& b, const Bytes& gap) {
        Bytes out = gap;
        out.insert(out.end(), a.begin(), a.end());
        out.insert(out.end(), {0xEE, 0xEE});
        out.insert(out.end(), b.begin(), b.end());
        out.insert(out.end(), {0xEE, 0xEE});
        return out;
    };
    struct Case {
        const char* name;
        Fields fields;
        Bytes rest;
    };
    Fields bottom_up = sized(2, 2);
    bottom_up.xppm = -7;
    bottom_up.clr_used = 0xFFFFFFFF;
    Fields top_down = sized(2, -2);
    Fields gap = sized(2, 2);
    gap.pixel_offset = 54 + 5;
    const Case cases[] = {
        {"bottom-up", bottom_up, rows(bottom_row, top_row, {})},
        {"top-down", top_down, rows(top_row, bottom_row, {})},
        {"gap before the rows", gap, rows(bottom_row, top_row, {9, 9, 9, 9, 9})},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        qv::HeapBuffers buffers;
        qv::DecodedImage image;
        const Bytes file = bmp_file(c.fields, c.rest);
        if (!CHECK(qv::bmp::decode_bmp(file, buffers, &image).ok())) continue;
        CHECK_EQ(image.width, 2);
        CHECK_EQ(image.height, 2);
        CHECK_EQ(image.channels, 3);
        CHECK(image.format == qv::ImageFormat::kBmp);
        CHECK_EQ(image.sizes.pixels, size_t{12});
        CHECK(Bytes(image.storage.pixels, image.storage.pixels + 12) == want);
        CHECK_EQ(image.bmp.xppm, c.fields.xppm);
        CHECK_EQ(image.bmp.clr_used, c.fields.clr_used);
    }
    // Empty images: no rows read, an empty buffer.
    for (const Fields& f : {sized(0, 3), sized(4, 0), sized(-3, 0)}) {
        const qv::check::Scope scope(f.width, " x ", f.height);
        qv::HeapBuffers buffers;
        qv::DecodedImage image;
        CHECK(qv::bmp::decode_bmp(bmp_file(f), buffers, &image).ok());
        CHECK_EQ(image.width, f.width);
        CHECK_EQ(image.sizes.pixels, size_t{0});
    }
}

TEST_CASE("BMP rows in several reads land where one read would put them")
{
    qv::ref::Random rng(5);
    const int32_t width = 301;
    const int32_t height = 500;  // 452 KB of rows: more than the split threshold
    const int64_t stride = qv::bmp::row_stride(width);
    const Bytes stored = rng.bytes(static_cast<size_t>(stride * height));
    for (const int32_t h : {height, -height}) {
        const qv::check::Scope scope("height ", h);
        qv::HeapBuffers buffers;
        qv::DecodedImage image;
        if (!CHECK(qv::bmp::decode_bmp(bmp_file(sized(width, h), stored), buffers, &image).ok())) continue;
        qv::bmp::PixelLayout layout;
        qv::bmp::InfoFields info{};
        info.width = width;
        info.height = h;
        CHECK(qv::bmp::pixel_layout({0, 54}, info, &layout).ok());
        CHECK(qv::bmp::rows_per_read(layout) < height);
        bool same = true;
        for (int32_t y = 0; y < height && same; ++y) {
            const int32_t stored_row = h > 0 ? height - 1 - y : y;
            for (int32_t x = 0; x < width && same; ++x) {
                const uint8_t* src = stored.data() + stored_row * stride + 3 * x;
                const uint8_t* px = image.storage.pixels + (int64_t{y} * width + x) * 3;
                same = px[0] == src[2] && px[1] == src[1] && px[2] == src[0];
            }
        }
        CHECK(same);
    }
}

TEST_CASE("BMP writer refuses fields as the host's struct would, then sizes beyond 32 bits")
{
    struct Case {
        const char* name;
        int32_t width, height;
        qv::bmp::KeptFields fields;
        Code want;
        int detail;
    };
    const qv::bmp::KeptFields defaults;
    const Case cases[] = {
        {"1 x 1", 1, 1, defaults, Code::kOk, 0},
        {"negative width", -1, 1, defaults, Code::kBmpFieldRange, 1},    // stride 0, file size 54: the width
        {"negative height", 1, -1, defaults, Code::kBmpFieldRange, 1},   // file size 50 packs: the height
        {"file size negative", 1, -100, defaults, Code::kBmpFieldRange, 0},
        {"negative width, no rows", -1, 0, defaults, Code::kBmpFieldRange, 1},
        {"negative xppm", 1, 1, {-1, 2835, 0, 0}, Code::kBmpFieldRange, 1},
        {"clrImportant 2^32", 1, 1, {2835, 2835, 0, int64_t{1} << 32}, Code::kBmpFieldRange, 1},
        {"clrUsed 2^32 - 1", 1, 1, {2835, 2835, 0xFFFFFFFF, 0}, Code::kOk, 0},
        {"beyond 64 bits", 1, 1, {INT64_MIN, 0, 0, 0}, Code::kBmpFieldRange, 1},
        {"image size over 2^31", 30000, 30000, defaults, Code::kBmpTooLarge, 0},
        {"image size over 2^32", 50000, 50000, defaults, Code::kBmpFieldRange, 0},
        {"stride over 2^31, one row", 1000000000, 1, defaults, Code::kBmpTooLarge, 0},
        {"file size over 2^32", INT32_MAX, 2, defaults, Code::kBmpFieldRange, 0},
        {"image size past 64 bits", INT32_MAX, INT32_MAX, defaults, Code::kBmpFieldRange, 0},
        {"width 2^31 - 1, no rows", INT32_MAX, 0, defaults, Code::kBmpTooLarge, 0},  // the stride
        {"width 0", 0, INT32_MAX, defaults, Code::kOk, 0},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        qv::bmp::BmpPlan plan;
        const qv::Status got = qv::bmp::plan_bmp(c.width, c.height, c.fields, &plan);
        CHECK_EQ(got.code, c.want);
        if (c.want == Code::kBmpFieldRange) CHECK_EQ(got.detail, c.detail);
    }
}

TEST_CASE("BMP files are written byte for byte")
{
    struct Case {
        const char* name;
        int32_t width, height;
        Bytes rgb;
        qv::bmp::KeptFields fields;
        Bytes want;
    };
    auto header = [](uint32_t file_size, uint32_t w, uint32_t h, uint32_t image, uint32_t xppm, uint32_t yppm,
                     uint32_t used, uint32_t important) {
        Bytes out{'B', 'M'};
        le(out, file_size, 4);
        le(out, 0, 4);
        le(out, 54, 4);
        le(out, 40, 4);
        le(out, w, 4);
        le(out, h, 4);
        le(out, 1, 2);
        le(out, 24, 2);
        le(out, 0, 4);
        le(out, image, 4);
        le(out, xppm, 4);
        le(out, yppm, 4);
        le(out, used, 4);
        le(out, important, 4);
        return out;
    };
    auto join = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const qv::bmp::KeptFields defaults;
    const Case cases[] = {
        {"1 x 1", 1, 1, {1, 2, 3}, defaults, join(header(58, 1, 1, 4, 2835, 2835, 0, 0), {3, 2, 1, 0})},
        // The bottom row first, each padded to 8 bytes.
        {"2 x 2", 2, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {3780, 3780, 1, 2},
         join(header(70, 2, 2, 16, 3780, 3780, 1, 2), {9, 8, 7, 12, 11, 10, 0, 0, 3, 2, 1, 6, 5, 4, 0, 0})},
        {"4 x 1, no padding", 4, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, defaults,
         join(header(66, 4, 1, 12, 2835, 2835, 0, 0), {3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10})},
        {"height 0", 3, 0, {}, defaults, header(54, 3, 0, 0, 2835, 2835, 0, 0)},
        {"width 0", 0, 5, {}, {0xFFFFFFFF, 0, 0xFFFFFFFF, 7}, header(54, 0, 5, 0, 0xFFFFFFFF, 0, 0xFFFFFFFF, 7)},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        qv::bmp::BmpPlan plan;
        if (!CHECK(qv::bmp::plan_bmp(c.width, c.height, c.fields, &plan).ok())) continue;
        CHECK_EQ(plan.file_size(), c.want.size());
        CHECK_EQ(plan.pixel_bytes(), static_cast<int64_t>(c.rgb.size()));
        Bytes out(plan.file_size(), 0xCC);  // padding must be written, not left
        qv::bmp::write_bmp(plan, c.rgb.data(), out);
        CHECK(out == c.want);
    }
}

}  // namespace

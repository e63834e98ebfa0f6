// The scanline encoder against a reference built from zlib's one-shot compress of the
// reference-filtered data: the bytes must be identical, not merely decode the same, since a
// saved file is compared byte for byte with what the one-shot path would have written.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/scanline_encoder.hpp"

#include <climits>

namespace {

using qv::png::EncodeStatus;
using qv::png::ScanlineDeflater;
using qv::png::ScanlineImage;
using qv::ref::Bytes;
using qv::ref::Random;

struct Encoded {
    qv::png::EncodeResult result;
    Bytes bytes;
};

ScanlineImage view(const qv::ref::Image& img, bool with_filters = true)
{
    return {img.rgb.data(), img.alpha.empty() ? nullptr : img.alpha.data(),
            with_filters ? img.filters.data() : nullptr, static_cast<uint32_t>(img.width),
            static_cast<uint32_t>(img.height)};
}

Encoded encode(const ScanlineImage& image)
{
    Encoded e;
    ScanlineDeflater deflater(image);
    e.result = deflater.init();
    if (e.result.status != EncodeStatus::kOk) return e;
    e.bytes.resize(static_cast<size_t>(deflater.capacity()));
    e.result = deflater.run(e.bytes.data());
    e.bytes.resize(e.result.compressed_size);
    return e;
}

TEST_CASE("Encoder output equals zlib's one-shot compress of the filtered rows")
{
    struct Shape {
        size_t width, height;
    };
    const Shape shapes[] = {{1, 1}, {2, 1}, {1, 2}, {5, 7}, {16, 16}, {64, 33}, {65, 2},
                            {0, 3}, {0, 0}, {7, 0}, {300, 300}, {3, 40000}};
    Random rng(20);
    for (size_t bpp : {3, 4}) {
        for (const Shape& s : shapes) {
            const qv::check::Scope scope(s.width, "x", s.height, " bpp ", bpp);
            qv::ref::Image img = qv::ref::random_image(rng, s.width, s.height, bpp);
            const Encoded mixed = encode(view(img));
            CHECK_EQ(mixed.result.status, EncodeStatus::kOk);
            CHECK(mixed.bytes == qv::ref::compress(qv::ref::scanlines(img)));

            const Encoded plain = encode(view(img, false));  // no list: type 0 everywhere
            img.filters.clear();
            CHECK_EQ(plain.result.status, EncodeStatus::kOk);
            CHECK(plain.bytes == qv::ref::compress(qv::ref::scanlines(img)));
        }
    }
}

// Literal scanline data for small images, decoded with zlib.
TEST_CASE("Hand-worked scanline data")
{
    struct Case {
        const char* name;
        uint32_t width, height;
        Bytes rgb, alpha, filters, scanlines;
    };
    const Case cases[] = {
        {"1x1, no list", 1, 1, {10, 20, 30}, {}, {}, {0, 10, 20, 30}},
        {"1x1 Sub", 1, 1, {10, 20, 30}, {}, {1}, {1, 10, 20, 30}},
        {"1x1 Up", 1, 1, {10, 20, 30}, {}, {2}, {2, 10, 20, 30}},
        {"1x1 Average", 1, 1, {10, 20, 30}, {}, {3}, {3, 10, 20, 30}},
        {"1x1 Paeth", 1, 1, {10, 20, 30}, {}, {4}, {4, 10, 20, 30}},
        {"2x1 Sub", 2, 1, {10, 20, 30, 15, 25, 40}, {}, {1}, {1, 10, 20, 30, 5, 5, 10}},
        {"1x2 Up", 1, 2, {200, 0, 0, 100, 0, 0}, {}, {0, 2}, {0, 200, 0, 0, 2, 156, 0, 0}},
        {"2x1 RGBA Sub: left is 4 bytes back", 2, 1, {10, 20, 30, 15, 25, 40}, {7, 9}, {1},
         {1, 10, 20, 30, 7, 5, 5, 10, 2}},
        {"width 0, three rows", 0, 3, {}, {}, {3, 0, 4}, {3, 0, 4}},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        const ScanlineImage image{c.rgb.data(), c.alpha.empty() ? nullptr : c.alpha.data(),
                                  c.filters.empty() ? nullptr : c.filters.data(), c.width, c.height};
        const Encoded e = encode(image);
        CHECK_EQ(e.result.status, EncodeStatus::kOk);
        bool ok = false;
        CHECK(qv::ref::decompress(e.bytes, &ok) == c.scanlines);
        CHECK(ok);
    }
}

TEST_CASE("Refusals: bad filter types, sizes beyond 64 bits, run before init")
{
    Random rng(21);
    qv::ref::Image img = qv::ref::random_image(rng, 4, 5, 3);
    struct Case {
        size_t row;
        uint8_t type;
    };
    for (const Case& c : {Case{0, 5}, Case{4, 5}, Case{2, 255}}) {
        const qv::check::Scope scope("row ", c.row, " type ", int{c.type});
        qv::ref::Image bad = img;
        bad.filters[c.row] = c.type;
        const Encoded e = encode(view(bad));
        CHECK_EQ(e.result.status, EncodeStatus::kBadFilter);
        CHECK_EQ(e.result.detail, int{c.type});
    }

    const uint8_t none = 0;
    const ScanlineImage huge{&none, &none, nullptr, UINT32_MAX, UINT32_MAX};
    ScanlineDeflater too_large(huge);
    CHECK_EQ(too_large.init().status, EncodeStatus::kTooLarge);

    ScanlineDeflater not_started(view(img));
    Bytes out(64);
    CHECK_EQ(not_started.run(out.data()).status, EncodeStatus::kZlibError);

    // No rows: no row buffers, whatever the width says.
    const Encoded empty = encode({&none, &none, nullptr, UINT32_MAX, 0});
    CHECK_EQ(empty.result.status, EncodeStatus::kOk);
    CHECK(empty.bytes == qv::ref::compress({}));
}

TEST_CASE("scanline_data_size is exact up to 64 bits")
{
    const uint8_t none = 0;
    struct Case {
        uint32_t width, height;
        bool alpha;
        bool fits;
        uint64_t size;
    };
    const Case cases[] = {
        {0, 0, false, true, 0},
        {0, 3, false, true, 3},
        {2, 1, false, true, 7},
        {2, 1, true, true, 9},
        {UINT32_MAX, 1, true, true, uint64_t{UINT32_MAX} * 4 + 1},
        {UINT32_MAX, 1u << 29, false, true, (uint64_t{UINT32_MAX} * 3 + 1) << 29},
        {UINT32_MAX, UINT32_MAX, false, false, 0},
        {UINT32_MAX, UINT32_MAX, true, false, 0},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.width, "x", c.height, c.alpha ? " RGBA" : " RGB");
        uint64_t size = 0;
        const bool fits = qv::png::scanline_data_size({&none, c.alpha ? &none : nullptr, nullptr, c.width, c.height},
                                                      &size);
        CHECK_EQ(fits, c.fits);
        if (c.fits) CHECK_EQ(size, c.size);
    }
}

}  // namespace

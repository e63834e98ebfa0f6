// The row inflater against zlib: images filtered by the reference and deflated by zlib itself,
// cut into pieces at random points, must come back exactly; broken streams, wrong sizes and
// bad filter types must give the documented status, with a zlib error first, then a wrong
// size, then a bad filter type, whatever the split.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/row_inflater.hpp"

#include <algorithm>
#include <string>

namespace {

using qv::png::ByteSpan;
using qv::png::InflateOutcome;
using qv::png::ScanlineLayout;
using qv::ref::Bytes;
using qv::ref::Random;
using qv::Code;


// `data` cut at `count - 1` random points (pieces may be empty).
std::vector<ByteSpan> split(const Bytes& data, size_t count, Random& rng)
{
    std::vector<size_t> cuts{0, data.size()};
    for (size_t i = 1; i < count; ++i) cuts.push_back(rng.below(data.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    std::vector<ByteSpan> pieces;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) pieces.push_back({data.data() + cuts[i], cuts[i + 1] - cuts[i]});
    return pieces;
}

std::vector<ByteSpan> bytewise(const Bytes& data)
{
    std::vector<ByteSpan> pieces;
    for (size_t i = 0; i < data.size(); ++i) pieces.push_back({data.data() + i, 1});
    return pieces;
}

struct Decoded {
    InflateOutcome outcome;
    Bytes rgb, alpha, filters;
};

// Targets exactly as large as the layout says, so that any overrun is a sanitizer report.
Decoded decode(const std::vector<ByteSpan>& pieces, const ScanlineLayout& layout, bool rows = true)
{
    Decoded d;
    const size_t pixels = static_cast<size_t>(layout.width * layout.height);
    d.rgb.assign(pixels * 3, 0);
    if (layout.bytes_per_pixel == 4) d.alpha.assign(pixels, 0);
    d.filters.assign(static_cast<size_t>(layout.height), 0);
    qv::png::RowTargets targets{d.rgb.data(), d.alpha.empty() ? nullptr : d.alpha.data(), d.filters.data()};
    d.outcome = qv::png::inflate_rows(pieces, layout, rows ? &targets : nullptr);
    return d;
}

ScanlineLayout layout_of(const qv::ref::Image& img) { return {img.width, img.height, img.bpp}; }

// The first `rows` rows of the decode equal the image's.
bool rows_match(const Decoded& d, const qv::ref::Image& img, size_t rows)
{
    const size_t n = rows * img.width;
    return std::equal(img.rgb.begin(), img.rgb.begin() + static_cast<ptrdiff_t>(3 * n), d.rgb.begin()) &&
           std::equal(img.alpha.begin(), img.alpha.begin() + static_cast<ptrdiff_t>(img.alpha.empty() ? 0 : n),
                      d.alpha.begin()) &&
           std::equal(img.filters.begin(), img.filters.begin() + static_cast<ptrdiff_t>(rows), d.filters.begin());
}

TEST_CASE("Random images deflated by zlib and cut anywhere decode to the original")
{
    struct Shape {
        size_t width, height;
    };
    // Past 256 KiB the inflater reuses its staging buffer; 1 and 2 rows miss the two-row path.
    const Shape shapes[] = {{1, 1}, {2, 1}, {1, 2}, {3, 3}, {5, 7}, {16, 16}, {31, 4}, {64, 33}, {65, 2},
                            {0, 3}, {0, 0}, {7, 0}, {300, 300}, {1000, 90}, {3, 40000}};
    Random rng(10);
    for (size_t bpp : {3, 4}) {
        for (const Shape& s : shapes) {
            const qv::ref::Image img = qv::ref::random_image(rng, s.width, s.height, bpp);
            const Bytes raw = qv::ref::scanlines(img);
            for (int level : {0, 1, 6, 9}) {
                const Bytes z = qv::ref::compress(raw, level);
                for (size_t count : {1, 2, 3, 8, 50}) {
                    const qv::check::Scope scope(s.width, "x", s.height, " bpp ", bpp, " level ", level, " pieces ",
                                                 count);
                    const Decoded d = decode(split(z, count, rng), layout_of(img));
                    CHECK_EQ(d.outcome.status.code, Code::kOk);
                    CHECK_EQ(d.outcome.inflated, raw.size());
                    CHECK(d.rgb == img.rgb);
                    CHECK(d.alpha == img.alpha);
                    CHECK(d.filters == img.filters);
                }
                if (z.size() < 5000) {  // a byte at a time: zlib stops mid-row and mid-header
                    const qv::check::Scope scope(s.width, "x", s.height, " bpp ", bpp, " level ", level,
                                                 " one byte a piece");
                    const Decoded d = decode(bytewise(z), layout_of(img));
                    CHECK_EQ(d.outcome.status.code, Code::kOk);
                    CHECK(d.rgb == img.rgb && d.alpha == img.alpha && d.filters == img.filters);
                }
                const Decoded counted = decode({ByteSpan{z.data(), z.size()}}, layout_of(img), false);
                CHECK_EQ(counted.outcome.status.code, Code::kMalformedData);
                CHECK_EQ(counted.outcome.inflated, raw.size());
            }
        }
    }
}

TEST_CASE("Broken streams, wrong sizes and bad filter types give their status in order")
{
    Random rng(11);
    qv::ref::Image img = qv::ref::random_image(rng, 9, 6, 4);
    const ScanlineLayout layout = layout_of(img);
    const Bytes raw = qv::ref::scanlines(img);
    const Bytes good = qv::ref::compress(raw);
    auto with_filter = [&](std::initializer_list<std::pair<size_t, uint8_t>> bad) {
        Bytes r = raw;
        for (auto [row, type] : bad) r[row * (1 + layout.row_length())] = type;
        return r;
    };
    auto cut = [](Bytes z, size_t drop) {
        z.resize(z.size() - drop);
        return z;
    };
    auto flip_last = [](Bytes z) {
        z.back() ^= 1;
        return z;
    };
    auto append = [](Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const ScanlineLayout taller{layout.width, layout.height + 1, 4};
    const ScanlineLayout shorter{layout.width, layout.height - 1, 4};
    const ScanlineLayout empty_image{layout.width, 0, 4};
    const ScanlineLayout zero_width{0, 3, 3};

    struct Case {
        std::string name;
        Bytes data;
        ScanlineLayout layout;
        Code status;
        int zlib_code = 0;
        int bad_filter = 0;
        uint64_t inflated = 0;
        size_t rows_decoded = 0;  // rows that must equal the image's
    };
    const size_t all = raw.size();
    const Case cases[] = {
        {"whole stream", good, layout, Code::kOk, 0, 0, all, 6},
        {"bytes after the end of the stream are ignored", append(good, {1, 2, 3, 4, 5}), layout, Code::kOk, 0, 0, all,
         6},
        {"a second stream after the first is ignored", append(good, good), layout, Code::kOk, 0, 0, all, 6},
        {"one row more promised", good, taller, Code::kMalformedData, 0, 0, all},
        {"one row fewer promised", good, shorter, Code::kMalformedData, 0, 0, all},
        {"one byte too many", qv::ref::compress(append(raw, {0})), layout, Code::kMalformedData, 0, 0, all + 1},
        {"one byte too few", qv::ref::compress(cut(raw, 1)), layout, Code::kMalformedData, 0, 0, all - 1},
        {"no data at all", {}, layout, Code::kZlibError, Z_BUF_ERROR},
        {"checksum cut off", cut(good, 1), layout, Code::kZlibError, Z_BUF_ERROR},
        {"half the stream", cut(good, good.size() / 2), layout, Code::kZlibError, Z_BUF_ERROR},
        {"wrong checksum", flip_last(good), layout, Code::kZlibError, Z_DATA_ERROR, 0, all},
        {"not a zlib header", {0x78, 0x00, 1, 2, 3}, layout, Code::kZlibError, Z_DATA_ERROR},
        {"needs a preset dictionary", qv::ref::deflate_with(raw, 6, 15, true), layout, Code::kZlibError, Z_NEED_DICT},
        {"empty stream for no rows", qv::ref::compress({}), empty_image, Code::kOk},
        {"width 0: filter bytes alone", qv::ref::compress({0, 4, 2}), zero_width, Code::kOk, 0, 0, 3},
        {"width 0 with a bad filter byte", qv::ref::compress({0, 5, 2}), zero_width, Code::kBadFilter, 0, 5, 3},
        {"bad filter in the first row", qv::ref::compress(with_filter({{0, 5}})), layout, Code::kBadFilter, 0, 5,
         all, 0},
        {"bad filter in the last row", qv::ref::compress(with_filter({{5, 255}})), layout, Code::kBadFilter, 0, 255,
         all, 5},
        {"the first bad filter is reported", qv::ref::compress(with_filter({{2, 7}, {4, 5}})), layout,
         Code::kBadFilter, 0, 7, all, 2},
        {"a wrong size wins over a bad filter", qv::ref::compress(with_filter({{1, 9}})), taller,
         Code::kMalformedData, 0, 0, all},
        {"a zlib error wins over a bad filter", cut(qv::ref::compress(with_filter({{1, 9}})), 1), layout,
         Code::kZlibError, Z_BUF_ERROR},
        {"a zlib error wins over a wrong size", cut(good, 1), taller, Code::kZlibError, Z_BUF_ERROR},
    };
    for (const Case& c : cases) {
        for (size_t count : {1, 2, 5}) {
            const qv::check::Scope scope(c.name, ", pieces ", count);
            const Decoded d = decode(split(c.data, count, rng), c.layout);
            CHECK_EQ(d.outcome.status.code, c.status);
            if (c.status == Code::kZlibError) {
                CHECK_EQ(d.outcome.status.detail, c.zlib_code);
                CHECK(!d.outcome.status.while_preparing);
                if (c.zlib_code == Z_DATA_ERROR) CHECK(d.outcome.status.zlib_message != nullptr);
            } else {
                CHECK_EQ(d.outcome.inflated, c.inflated);
            }
            if (c.status == Code::kBadFilter) CHECK_EQ(d.outcome.status.detail, c.bad_filter);
            if (c.layout.width == layout.width && c.layout.height == layout.height) {
                CHECK(rows_match(d, img, c.rows_decoded));
            }
        }
    }
}

// zlib's own message where it has one, else the wording the host's zlib binding uses.
TEST_CASE("zlib's messages come through for a broken stream")
{
    const Bytes good = qv::ref::compress({0, 1, 2, 3});
    struct Case {
        const char* name;
        Bytes data;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"bad header", {0x78, 0x00, 1, 2, 3}, Z_DATA_ERROR, "incorrect header check"},
        {"cut short", Bytes(good.begin(), good.end() - 1), Z_BUF_ERROR, "incomplete or truncated stream"},
        {"nothing", {}, Z_BUF_ERROR, "incomplete or truncated stream"},
        {"preset dictionary", qv::ref::deflate_with({0, 1, 2, 3}, 6, 15, true), Z_NEED_DICT, nullptr},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        const Decoded d = decode({ByteSpan{c.data.data(), c.data.size()}}, {1, 1, 3});
        CHECK_EQ(d.outcome.status.code, Code::kZlibError);
        CHECK_EQ(d.outcome.status.detail, c.code);
        const char* got = d.outcome.status.zlib_message;
        CHECK(c.message == nullptr ? got == nullptr : got != nullptr && std::string(got) == c.message);
    }
}

// A bad type in any row, at either place of a two-row step, stops the rows there and leaves
// the ones before it rebuilt.
TEST_CASE("A bad filter type in any row is found there")
{
    Random rng(12);
    for (size_t bpp : {3, 4}) {
        for (size_t width : {1, 2, 5}) {
            for (size_t bad_row = 0; bad_row < 7; ++bad_row) {
                const qv::check::Scope scope("bpp ", bpp, " width ", width, " bad row ", bad_row);
                qv::ref::Image img = qv::ref::random_image(rng, width, 7, bpp);
                Bytes raw = qv::ref::scanlines(img);
                raw[bad_row * (1 + width * bpp)] = 6;
                const Bytes z = qv::ref::compress(raw);
                const Decoded d = decode(split(z, 3, rng), layout_of(img));
                CHECK_EQ(d.outcome.status.code, Code::kBadFilter);
                CHECK_EQ(d.outcome.status.detail, 6);
                CHECK(rows_match(d, img, bad_row));
            }
        }
    }
}

// Without targets nothing is rebuilt, so filter bytes are not looked at.
TEST_CASE("Counting only reports the size")
{
    const Bytes z = qv::ref::compress({9, 1, 2, 3});
    struct Case {
        ScanlineLayout layout;
        Code status;
    };
    for (const Case& c : {Case{{1, 1, 3}, Code::kMalformedData}, Case{{1, 2, 3}, Code::kMalformedData},
                          Case{{0, 4, 3}, Code::kMalformedData}}) {
        const qv::check::Scope scope("height ", c.layout.height, " width ", c.layout.width);
        const InflateOutcome o = qv::png::inflate_rows(std::vector<ByteSpan>{{z.data(), z.size()}}, c.layout, nullptr);
        CHECK_EQ(o.status.code, c.status);
        CHECK_EQ(o.inflated, uint64_t{4});
    }
}

}  // namespace

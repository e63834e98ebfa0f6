// The core PNG decoder on files built here: RGB and RGBA at several IDAT splits against the
// reference, the chunk records and where reading stops, the IHDR checks field by field and
// in order, the order of image-data errors, and the rule that outputs are allocated only for
// data that can fill them.
#include "check.hpp"
#include "png_files.hpp"

#include "codec/png/png_decoder.hpp"

#include <string>
#include <vector>

namespace {

using qv::Code;
using qv::HeapBuffers;
using qv::Status;
using qv::png::Chunk;
using qv::ref::Bytes;
using qv::ref::concat;
using qv::ref::ihdr_data;
using qv::ref::png_chunk;
using qv::ref::Random;

struct Record {
    std::string type;
    uint32_t length;
    bool kept;
    bool operator==(const Record&) const = default;
};

class Recorder final : public qv::png::ChunkRecorder {
public:
    std::vector<Record> records;
    size_t fail_at = SIZE_MAX;
    Status record(const Chunk& chunk, bool keep_data) override
    {
        if (records.size() == fail_at) return Status::of(Code::kHostError);
        records.push_back({std::string(reinterpret_cast<const char*>(chunk.tag), 4), chunk.length, keep_data});
        return {};
    }
};

struct Decoded {
    Status status;
    qv::DecodedImage image;
    HeapBuffers buffers;
    Recorder recorder;
    uint64_t position = 0;

    Bytes rgb() const { return {image.storage.pixels, image.storage.pixels + image.sizes.pixels}; }
    Bytes alpha() const { return {image.storage.alpha, image.storage.alpha + image.sizes.alpha}; }
    Bytes filters() const { return {image.storage.filters, image.storage.filters + image.sizes.filters}; }
};

void decode(const Bytes& body, Decoded* d, size_t cap = SIZE_MAX)
{
    d->buffers = HeapBuffers(cap);
    qv::png::MemorySource source({body.data(), body.size()}, 0);
    qv::InlineExecutor executor;
    d->status = qv::png::decode_png({source, d->recorder, d->buffers, executor}, &d->image);
    d->position = source.position();
}

// The IHDR of an RGB (or RGBA) image and its zlib data `z` in `pieces` IDAT chunks.
Bytes rgb_body(size_t width, size_t height, const Bytes& z, size_t pieces, size_t bpp = 3)
{
    Bytes body = png_chunk("IHDR", ihdr_data(static_cast<uint32_t>(width), static_cast<uint32_t>(height), 8,
                                             bpp == 4 ? 6 : 2));
    const size_t step = z.size() / pieces + 1;
    for (size_t at = 0; at < z.size(); at += step) {
        const size_t end = std::min(z.size(), at + step);
        body = concat({body, png_chunk("IDAT", Bytes(z.begin() + static_cast<ptrdiff_t>(at),
                                                     z.begin() + static_cast<ptrdiff_t>(end)))});
    }
    return body;
}

TEST_CASE("PNG decoder: RGB and RGBA at several IDAT splits decode as the reference")
{
    Random rng(20);
    struct Shape {
        size_t width, height, bpp;
    };
    for (const Shape s : {Shape{1, 1, 3}, Shape{5, 4, 4}, Shape{17, 9, 3}, Shape{64, 40, 4}, Shape{0, 3, 3}}) {
        const qv::ref::Image img = qv::ref::random_image(rng, s.width, s.height, s.bpp);
        const std::initializer_list<size_t> splits[] = {{}, {1}, {0, 5, 0}, {7, 7, 7, 7}, {2, 0, 0, 1, 30}};
        for (const auto& split : splits) {
            const qv::check::Scope scope(s.width, "x", s.height, " bpp ", s.bpp, " IDAT pieces ", split.size() + 1);
            const Bytes body = qv::ref::png_body(img, split);
            Decoded d;
            decode(body, &d);
            CHECK(d.status.ok());
            CHECK_EQ(d.image.width, static_cast<int32_t>(s.width));
            CHECK_EQ(d.image.height, static_cast<int32_t>(s.height));
            CHECK_EQ(d.image.channels, static_cast<int32_t>(s.bpp));
            CHECK(d.rgb() == img.rgb);
            CHECK_EQ(d.image.sizes.with_alpha, s.bpp == 4);
            CHECK(d.alpha() == img.alpha);
            CHECK(d.filters() == img.filters);
            CHECK_EQ(d.image.chunk_count, split.size() + 3);
            CHECK_EQ(d.position, uint64_t{body.size()});
        }
    }
}

TEST_CASE("PNG decoder: every chunk is recorded, the last IHDR counts, IEND or the end stops")
{
    Random rng(21);
    const qv::ref::Image img = qv::ref::random_image(rng, 3, 2, 3);
    const Bytes z = qv::ref::compress(qv::ref::scanlines(img));
    const Bytes idat = png_chunk("IDAT", z);
    const Bytes text = png_chunk("tEXt", {'k', 0, 'v'});
    const Bytes iend = png_chunk("IEND", {});
    const Bytes wrong_ihdr = png_chunk("IHDR", ihdr_data(9, 9, 16));
    const Bytes ihdr = png_chunk("IHDR", ihdr_data(3, 2));
    struct Case {
        const char* name;
        Bytes body;
        std::vector<Record> records;
        size_t position;  // how far the data were read
    };
    const Bytes after_iend = concat({ihdr, idat, iend, text});
    const Case cases[] = {
        {"chunks in place, IDAT data not kept", concat({ihdr, text, idat, iend}),
         {{"IHDR", 13, true}, {"tEXt", 3, true}, {"IDAT", static_cast<uint32_t>(z.size()), false}, {"IEND", 0, true}},
         0},
        {"nothing read after IEND", after_iend,
         {{"IHDR", 13, true}, {"IDAT", static_cast<uint32_t>(z.size()), false}, {"IEND", 0, true}},
         after_iend.size() - text.size()},
        {"no IEND: the end of the data", concat({png_chunk("IDAT", {}), wrong_ihdr, idat, ihdr}),
         {{"IDAT", 0, false}, {"IHDR", 13, true}, {"IDAT", static_cast<uint32_t>(z.size()), false}, {"IHDR", 13, true}},
         0},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        Decoded d;
        decode(c.body, &d);
        CHECK(d.status.ok());
        CHECK(d.recorder.records == c.records);
        CHECK_EQ(d.image.chunk_count, c.records.size());
        CHECK_EQ(d.position, uint64_t{c.position == 0 ? c.body.size() : c.position});
        CHECK(d.rgb() == img.rgb);
    }
}

TEST_CASE("PNG decoder: header refusals, each field in its order")
{
    const Bytes idat = png_chunk("IDAT", qv::ref::compress({0, 1, 2, 3}));
    auto with_ihdr = [&](const Bytes& data) { return concat({png_chunk("IHDR", data), idat}); };
    Bytes short_ihdr = ihdr_data(1, 1);
    short_ihdr.pop_back();
    Bytes long_ihdr = ihdr_data(1, 1);
    long_ihdr.push_back(0);
    struct Case {
        const char* name;
        Bytes body;
        Code code;
    };
    const Case cases[] = {
        {"no IHDR", idat, Code::kNoHeader},
        {"12-byte IHDR", with_ihdr(short_ihdr), Code::kIhdrSize},
        {"14-byte IHDR", with_ihdr(long_ihdr), Code::kIhdrSize},
        {"width 2^31", with_ihdr(ihdr_data(0x80000000u, 1)), Code::kDimensionTooLarge},
        {"height 2^32 - 1", with_ihdr(ihdr_data(1, 0xffffffffu)), Code::kDimensionTooLarge},
        {"bit depth 16", with_ihdr(ihdr_data(1, 1, 16)), Code::kBitDepth},
        {"bit depth before colour", with_ihdr(ihdr_data(1, 1, 16, 3)), Code::kBitDepth},
        {"palette", with_ihdr(ihdr_data(1, 1, 8, 3)), Code::kColourType},
        {"grey", with_ihdr(ihdr_data(1, 1, 8, 0)), Code::kColourType},
        {"grey and alpha", with_ihdr(ihdr_data(1, 1, 8, 4)), Code::kColourType},
        {"colour before methods", with_ihdr(ihdr_data(1, 1, 8, 4, 1, 1, 1)), Code::kColourType},
        {"compression 1", with_ihdr(ihdr_data(1, 1, 8, 2, 1)), Code::kConfiguration},
        {"filter method 1", with_ihdr(ihdr_data(1, 1, 8, 2, 0, 1)), Code::kConfiguration},
        {"interlaced", with_ihdr(ihdr_data(1, 1, 8, 2, 0, 0, 1)), Code::kConfiguration},
        {"a chunk error wins over the header", concat({png_chunk("IHDR", ihdr_data(1, 1, 16)), Bytes{0, 0}}),
         Code::kEofLength},
        {"a bad IHDR stops the loop at once", concat({png_chunk("IHDR", short_ihdr), Bytes{0}}), Code::kIhdrSize},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        Decoded d;
        decode(c.body, &d);
        CHECK_EQ(d.status.code, c.code);
        CHECK(!d.buffers.allocated());
    }
}

TEST_CASE("PNG decoder: a zlib error wins over a wrong size, which wins over a bad filter")
{
    Random rng(22);
    qv::ref::Image img = qv::ref::random_image(rng, 4, 3, 4);
    Bytes raw = qv::ref::scanlines(img);
    raw[0] = 5;  // a bad filter type in the first row
    const Bytes bad_filter = qv::ref::compress(raw);
    Bytes too_long = raw;
    too_long.push_back(0);
    const Bytes broken(bad_filter.begin(), bad_filter.end() - 1);
    struct Case {
        const char* name;
        Bytes z;
        Code code;
        int32_t detail;
    };
    const Case cases[] = {
        {"bad filter alone", bad_filter, Code::kBadFilter, 5},
        {"wrong size and bad filter", qv::ref::compress(too_long), Code::kMalformedData, 0},
        {"truncated, wrong size and bad filter", broken, Code::kZlibError, Z_BUF_ERROR},
        {"no IDAT at all", {}, Code::kZlibError, Z_BUF_ERROR},
    };
    for (const Case& c : cases) {
        for (size_t pieces : {1, 3}) {
            const qv::check::Scope scope(c.name, ", IDAT pieces ", pieces);
            Decoded d;
            decode(rgb_body(4, 3, c.z, pieces, 4), &d);
            CHECK_EQ(d.status.code, c.code);
            CHECK_EQ(d.status.detail, c.detail);
        }
    }
}

// Deflate's best ratio is 1032 to 1: outputs are allocated only when the compressed data
// could reach the image data the header promises, and sizes fit 32-bit ints.
TEST_CASE("PNG decoder: outputs are allocated only for data that can fill them")
{
    struct Justified {
        uint32_t width, height;
        uint64_t compressed;
        bool allocated;
    };
    // 1 x 1031 RGB: 4 bytes a row, 4124 bytes in all; 4 compressed bytes reach 4128.
    const Justified table[] = {
        {1, 1031, 4, true},         {1, 1032, 4, true},   {1, 1033, 4, false},
        {0, 0, 0, true},            {60000, 60000, 100, false},
        {20000, 20000, 1u << 20, false},  // 1.2 GB: more than 2^31 - 1
        {0x7fffffff, 0, 0, true},   {0x7fffffff, 1, 1u << 30, false},
    };
    for (const Justified& j : table) {
        const qv::check::Scope scope(j.width, "x", j.height, " from ", j.compressed);
        qv::png::ImageHeader header;
        CHECK(qv::png::parse_ihdr({ihdr_data(j.width, j.height).data(), 13}, &header).ok());
        CHECK_EQ(qv::png::outputs_justified(header, j.compressed), j.allocated);
    }

    // A tiny file that claims a huge image: counted, refused, nothing allocated.
    struct Case {
        const char* name;
        Bytes body;
        Code code;
        size_t cap;
    };
    const Bytes small_z = qv::ref::compress(Bytes(50, 0));
    Random rng(24);
    const Case cases[] = {
        {"claims 60000 x 60000", concat({png_chunk("IHDR", ihdr_data(60000, 60000)), png_chunk("IDAT", small_z)}),
         Code::kMalformedData, SIZE_MAX},
        {"claims 60000 x 60000, not zlib", concat({png_chunk("IHDR", ihdr_data(60000, 60000)), png_chunk("IDAT", {1, 2})}),
         Code::kZlibError, SIZE_MAX},
        {"the outputs refuse", qv::ref::png_body(qv::ref::random_image(rng, 8, 8, 3)), Code::kNoMemory, 100},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        Decoded d;
        decode(c.body, &d, c.cap);
        CHECK_EQ(d.status.code, c.code);
        CHECK_EQ(d.buffers.allocated(), false);
    }
}

TEST_CASE("PNG decoder: a failing recorder stops the loop where it failed")
{
    Random rng(23);
    const Bytes body = qv::ref::png_body(qv::ref::random_image(rng, 2, 2, 3), {3});
    for (size_t fail_at : {0, 1, 2, 3}) {
        const qv::check::Scope scope("fails at record ", fail_at);
        Decoded d;
        d.recorder.fail_at = fail_at;
        decode(body, &d);
        CHECK_EQ(d.status.code, Code::kHostError);
        CHECK_EQ(d.recorder.records.size(), fail_at);
        CHECK(!d.buffers.allocated());
    }
}

// RGB images, and small RGBA ones, may take the one-shot shortcut where the build has it;
// every outcome must be the streaming path's, including the streams it hands back to that path.
void check_shortcut_outcomes(size_t bpp)
{
    Random rng(31);
    const qv::ref::Image img = qv::ref::random_image(rng, 23, 11, bpp);
    const Bytes raw = qv::ref::scanlines(img);
    const size_t row = 23 * bpp + 1;
    Bytes first_bad = raw;
    first_bad[0] = 9;
    Bytes last_bad = raw;
    last_bad[10 * row] = 5;
    Bytes trailing = qv::ref::compress(raw);
    trailing.insert(trailing.end(), {0xde, 0xad});
    Bytes too_long = raw;
    too_long.push_back(0);
    const Bytes too_short(raw.begin(), raw.end() - 1);
    struct Case {
        const char* name;
        Bytes z;
        Code code;
        int32_t detail;
    };
    const Case cases[] = {
        {"whole stream", qv::ref::compress(raw), Code::kOk, 0},
        {"stored blocks", qv::ref::compress(raw, 0), Code::kOk, 0},
        {"bytes after the stream", trailing, Code::kOk, 0},
        {"a 512-byte window", qv::ref::deflate_with(raw, 6, 9), Code::kOk, 0},
        {"bad filter on the first row", qv::ref::compress(first_bad), Code::kBadFilter, 9},
        {"bad filter on the last row", qv::ref::compress(last_bad), Code::kBadFilter, 5},
        {"a byte too many", qv::ref::compress(too_long), Code::kMalformedData, 0},
        {"a byte too few", qv::ref::compress(too_short), Code::kMalformedData, 0},
    };
    for (const Case& c : cases) {
        for (size_t pieces : {1, 4}) {
            const qv::check::Scope scope(c.name, ", bpp ", bpp, ", IDAT pieces ", pieces);
            Decoded d;
            decode(rgb_body(23, 11, c.z, pieces, bpp), &d);
            CHECK_EQ(d.status.code, c.code);
            CHECK_EQ(d.status.detail, c.detail);
            if (c.code != Code::kOk) continue;
            CHECK(d.rgb() == img.rgb);
            CHECK(d.alpha() == img.alpha);
            CHECK(d.filters() == img.filters);
        }
    }
}

TEST_CASE("PNG decoder: the shortcut and the streaming path give the same answers")
{
    check_shortcut_outcomes(3);
    check_shortcut_outcomes(4);
}

TEST_CASE("PNG decoder: rows without pixels take the shortcut too")
{
    const Bytes raw = {0, 1, 2, 3, 4, 0, 4};
    Decoded d;
    decode(rgb_body(0, raw.size(), qv::ref::compress(raw), 1), &d);
    CHECK(d.status.ok());
    CHECK(d.filters() == raw);
    CHECK(d.rgb().empty());
}

// Large enough that the room RGBA rows leave behind is handed back several times on the way;
// the streaming path (a 512-byte window) decodes the same file for comparison.
TEST_CASE("PNG decoder: a large RGBA image is whole after the shortcut hands its spare room back")
{
    Random rng(47);
    const qv::ref::Image img = qv::ref::random_image(rng, 600, 3000, 4);
    const Bytes raw = qv::ref::scanlines(img);
    for (const Bytes& z : {qv::ref::compress(raw, 1), qv::ref::deflate_with(raw, 1, 9)}) {
        const qv::check::Scope scope(z[0] == 0x78 ? "32 KiB window" : "512-byte window");
        Decoded d;
        decode(rgb_body(600, 3000, z, 3, 4), &d);
        CHECK(d.status.ok());
        CHECK(d.rgb() == img.rgb);
        CHECK(d.alpha() == img.alpha);
        CHECK(d.filters() == img.filters);
    }
}

}  // namespace

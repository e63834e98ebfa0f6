// Building chunks and the writers' checks: chunk bytes against zlib's own crc32 over the type
// and data joined, the length field's limit, the buffer sizes both writers require, and the
// header a writer of kept chunks compares.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/chunk_builder.hpp"
#include "codec/png/image_lengths.hpp"
#include "codec/png/kept_header.hpp"

#include <zlib.h>

#include <string>

namespace {

using qv::ref::Bytes;
using qv::Code;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

uint32_t zlib_crc(const Bytes& bytes)
{
    return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

void put_be32(Bytes& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

TEST_CASE("Chunk bytes: length, type, data and zlib's CRC of type and data")
{
    qv::ref::Random rng(7);
    struct Case {
        Bytes type;
        Bytes data;
    };
    const Case cases[] = {
        {text("IEND"), {}},
        {text("IHDR"), {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0}},
        {text("IDAT"), rng.bytes(70000)},  // over 64 KiB: crc32 taken in one call
        {text("tEX"), text("abc")},        // types of other lengths are written unchanged
        {text("tEXtX"), {}},
        {{}, text("x")},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope("type '", std::string(c.type.begin(), c.type.end()), "', ", c.data.size(),
                                     " bytes");
        Bytes covered = c.type;
        covered.insert(covered.end(), c.data.begin(), c.data.end());
        Bytes want;
        put_be32(want, static_cast<uint32_t>(c.data.size()));
        want.insert(want.end(), covered.begin(), covered.end());
        put_be32(want, zlib_crc(covered));

        size_t size = 0;
        CHECK(qv::png::chunk_size(c.type.size(), c.data.size(), SIZE_MAX, &size));
        CHECK_EQ(size, want.size());
        Bytes built(size);
        qv::png::build_chunk(c.type, c.data, built);
        CHECK(built == want);

        const qv::png::ChunkFrame frame = qv::png::frame_chunk(c.type, c.data);
        CHECK(Bytes(frame.length, frame.length + 4) == Bytes(want.begin(), want.begin() + 4));
        CHECK(Bytes(frame.crc, frame.crc + 4) == Bytes(want.end() - 4, want.end()));
    }
    // The one chunk every file ends with, byte for byte.
    Bytes iend(12);
    qv::png::build_chunk(qv::png::kIend, {}, iend);
    CHECK(iend == (Bytes{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}));
}

TEST_CASE("Chunk length field and buffer limits")
{
    CHECK(qv::png::check_chunk_length(0).ok());
    CHECK(qv::png::check_chunk_length(0xFFFFFFFFull).ok());
    CHECK_EQ(qv::png::check_chunk_length(0x100000000ull).code, Code::kChunkTooLong);

    struct Case {
        size_t type, data, limit;
        bool fits;
    };
    const Case cases[] = {
        {4, 0, 12, true},  {4, 1, 12, false}, {4, 100, 112, true}, {0, 0, 7, false},
        {4, SIZE_MAX - 8, SIZE_MAX, false},   {SIZE_MAX, 1, SIZE_MAX, false},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope("type ", c.type, ", data ", c.data, ", limit ", c.limit);
        size_t size = 0;
        CHECK_EQ(qv::png::chunk_size(c.type, c.data, c.limit, &size), c.fits);
        if (c.fits) CHECK_EQ(size, c.type + c.data + 8);
    }
    CHECK(qv::png::is_type(text("IDAT"), qv::png::kIdat));
    CHECK(!qv::png::is_type(text("IDA"), qv::png::kIdat));
    CHECK(!qv::png::is_type(text("IDATX"), qv::png::kIdat));
    CHECK(!qv::png::is_type(text("idat"), qv::png::kIdat));
}

TEST_CASE("Writers' buffer checks, in their order")
{
    enum Check { kPixels, kAlpha, kPixelBuffer, kAlphaBuffer, kFilters, kFilterBuffer };
    struct Case {
        Check check;
        int32_t width, height;
        int64_t size;
        Code want;
    };
    const Case cases[] = {
        {kPixels, 2, 3, 18, Code::kOk},
        {kPixels, 2, 3, 17, Code::kPixelLength},
        {kPixels, 2, 3, 19, Code::kPixelLength},
        {kPixels, 0, 5, 0, Code::kOk},
        {kPixels, -1, -1, 3, Code::kOk},  // the product is what counts (the encoder refuses it)
        {kPixels, -1, 1, 3, Code::kPixelLength},  // a negative product matches no length
        {kPixels, 46341, 46341, 0, Code::kPixelLength},  // width * height beyond 32 bits
        {kPixels, 715827883, 1, 2147483649, Code::kPixelLength},  // * 3 beyond 32 bits
        {kPixels, 715827882, 1, 2147483646, Code::kOk},
        {kAlpha, 2, 3, 6, Code::kOk},
        {kAlpha, 2, 3, 5, Code::kAlphaLength},
        {kPixelBuffer, 2, 3, 18, Code::kOk},
        {kPixelBuffer, 2, 3, 40, Code::kOk},  // a longer export is read only as far as needed
        {kPixelBuffer, 2, 3, 17, Code::kPixelLength},
        {kPixelBuffer, -1, -1, 3, Code::kNegativeCount},
        {kAlphaBuffer, 2, 3, 6, Code::kOk},
        {kAlphaBuffer, 2, 3, 5, Code::kAlphaLength},
        {kFilters, 0, 3, 3, Code::kOk},
        {kFilters, 0, 3, 4, Code::kFilterCount},
        {kFilters, 0, 3, 2, Code::kFilterCount},
        {kFilterBuffer, 0, 3, 2, Code::kFilterCount},
        {kFilterBuffer, 0, 3, 3, Code::kOk},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope("check ", int{c.check}, ": ", c.width, " x ", c.height, ", size ", c.size);
        qv::Status got;
        switch (c.check) {
        case kPixels: got = qv::png::check_pixel_length(c.width, c.height, c.size); break;
        case kAlpha: got = qv::png::check_alpha_length(c.width, c.height, c.size); break;
        case kPixelBuffer: got = qv::png::check_pixel_buffer(c.width, c.height, c.size); break;
        case kAlphaBuffer: got = qv::png::check_alpha_buffer(c.width, c.height, c.size); break;
        case kFilters: got = qv::png::check_filter_count(c.height, c.size); break;
        case kFilterBuffer: got = qv::png::check_filter_buffer(c.height, c.size); break;
        }
        CHECK_EQ(got.code, c.want);
    }
}

TEST_CASE("Encoder outcomes become the writers' statuses")
{
    using qv::png::EncodeStatus;
    struct Case {
        EncodeStatus status;
        int detail;
        Code want;
    };
    const Case cases[] = {
        {EncodeStatus::kOk, 0, Code::kOk},
        {EncodeStatus::kBadFilter, 7, Code::kBadFilter},
        {EncodeStatus::kZlibError, -2, Code::kZlibCompressError},
        {EncodeStatus::kOutOfMemory, 0, Code::kNoMemory},
        {EncodeStatus::kTooLarge, 0, Code::kNoMemory},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope("encoder status ", static_cast<int>(c.status));
        const qv::Status got = qv::png::encode_status({c.status, c.detail, 0});
        CHECK_EQ(got.code, c.want);
        if (c.want != Code::kOk && c.want != Code::kNoMemory) CHECK_EQ(got.detail, c.detail);
    }
}

Bytes ihdr(uint32_t width, uint32_t height, uint8_t colour)
{
    Bytes out;
    put_be32(out, width);
    put_be32(out, height);
    out.insert(out.end(), {8, colour, 0, 0, 0});
    return out;
}

TEST_CASE("Kept chunks: only the IHDR a decoder honours is compared")
{
    struct Record {
        std::string type;
        Bytes data;
    };
    struct Case {
        const char* name;
        std::vector<Record> records;  // IDAT records left out, as the writer passes them
        bool has_alpha;
        Code want;
    };
    const Bytes rgb_3x2 = ihdr(3, 2, 2);
    const Bytes rgba_3x2 = ihdr(3, 2, 6);
    const Bytes rgb_4x2 = ihdr(4, 2, 2);
    const Case cases[] = {
        {"matching", {{"IHDR", rgb_3x2}, {"IEND", {}}}, false, Code::kOk},
        {"alpha differs", {{"IHDR", rgb_3x2}, {"IEND", {}}}, true, Code::kIhdrMismatch},
        {"RGBA matching", {{"IHDR", rgba_3x2}}, true, Code::kOk},
        {"width differs", {{"IHDR", rgb_4x2}}, false, Code::kIhdrMismatch},
        {"no IHDR", {{"tEXt", text("a")}, {"IEND", {}}}, false, Code::kOk},
        {"last before IEND wins", {{"IHDR", rgb_4x2}, {"IHDR", rgb_3x2}, {"IEND", {}}}, false, Code::kOk},
        {"last before IEND differs", {{"IHDR", rgb_3x2}, {"IHDR", rgb_4x2}}, false, Code::kIhdrMismatch},
        {"after IEND ignored", {{"IHDR", rgb_3x2}, {"IEND", {}}, {"IHDR", rgb_4x2}}, false, Code::kOk},
        {"only after IEND", {{"IEND", {}}, {"IHDR", rgb_4x2}}, false, Code::kOk},
        {"header of 12 bytes", {{"IHDR", Bytes(rgb_4x2.begin(), rgb_4x2.end() - 1)}}, false, Code::kOk},
        {"type case matters", {{"ihdr", rgb_4x2}}, false, Code::kOk},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        qv::png::HonouredHeader header;
        std::vector<Bytes> types;
        for (const Record& r : c.records) types.push_back(text(r.type));
        for (size_t i = 0; i < c.records.size(); ++i) header.see(types[i], c.records[i].data);
        CHECK_EQ(header.check(3, 2, c.has_alpha).code, c.want);
    }
}

}  // namespace

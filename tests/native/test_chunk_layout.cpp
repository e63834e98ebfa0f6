// The chunk layout helpers: big-endian fields and the chunk CRC over type and data.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/chunk_layout.hpp"

#include <string>

namespace {

using qv::ref::Bytes;

TEST_CASE("Chunk CRCs of known chunks")
{
    struct Case {
        std::string type;
        Bytes data;
        uint32_t crc;
    };
    const Case cases[] = {
        {"IEND", {}, 0xAE426082},
        {"IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0}, 0x907753DE},
        {"", {}, 0},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope("type '", c.type, "'");
        const auto* type = reinterpret_cast<const uint8_t*>(c.type.data());
        CHECK_EQ(qv::png::chunk_crc(type, c.type.size(), c.data.data(), c.data.size()), c.crc);
        // The same running value whether the type and data arrive together or apart.
        Bytes joined(type, type + c.type.size());
        joined.insert(joined.end(), c.data.begin(), c.data.end());
        CHECK_EQ(qv::png::crc32_update(0, joined.data(), joined.size()), c.crc);
    }
    // zlib answers 0 for a null buffer: an empty update must keep the running value.
    CHECK_EQ(qv::png::crc32_update(0x12345678, nullptr, 0), uint32_t{0x12345678});
}

TEST_CASE("Big-endian fields")
{
    for (uint32_t v : {0u, 1u, 0x0Du, 0x01020304u, 0x80000000u, 0xFFFFFFFFu}) {
        const qv::check::Scope scope("value ", v);
        uint8_t b[4];
        qv::png::write_be32(b, v);
        CHECK(b[0] == (v >> 24) && b[3] == (v & 0xFF));
        CHECK_EQ(qv::png::read_be32(b), v);
    }
}

}  // namespace

// The one-go inflate: taken only for a whole, valid stream of exactly the size asked for,
// with zlib's 32 KiB window and no preset dictionary; refused for everything else.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/chunk_layout.hpp"
#include "codec/png/fast_inflate.hpp"

#include <zlib.h>

#include <string>

namespace {

using qv::ref::Bytes;

TEST_CASE("The one-go inflate takes exactly the streams zlib gives the same answer for")
{
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 7) ^ (i >> 5));
    const Bytes stream = qv::ref::deflate_with(data, 6);
    Bytes trailing = stream;
    trailing.insert(trailing.end(), {1, 2, 3});
    Bytes bad_check = stream;
    if (!bad_check.empty()) bad_check[bad_check.size() - 1] ^= 1;
    const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));

    struct Case {
        std::string name;
        Bytes stream;
        long long size_offset;  // the size asked for, against the data's
        bool taken;
    };
    const Case cases[] = {
        {"whole stream, exact size", stream, 0, true},
        {"level 0 (stored blocks)", qv::ref::deflate_with(data, 0), 0, true},
        {"level 9", qv::ref::deflate_with(data, 9), 0, true},
        {"bytes after the end of the stream", trailing, 0, true},
        {"one byte too many asked for", stream, 1, false},
        {"one byte too few asked for", stream, -1, false},
        {"Adler-32 wrong", bad_check, 0, false},
        {"cut short", cut, 0, false},
        {"a 16 KiB window", qv::ref::deflate_with(data, 6, 14), 0, false},
        {"a 256-byte window", qv::ref::deflate_with(data, 6, 9), 0, false},
        {"a preset dictionary", qv::ref::deflate_with(data, 6, 15, true), 0, false},
        {"nothing", {}, 0, false},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        Bytes out(static_cast<size_t>(static_cast<long long>(data.size()) + c.size_offset) + 1);
        const bool taken = qv::png::fast_inflate_exact({c.stream.data(), c.stream.size()},
                                                       {out.data(), out.size() - 1});
        CHECK_EQ(taken, c.taken);
        if (taken) CHECK(Bytes(out.begin(), out.end() - 1) == data);
    }
}

TEST_CASE("An empty image's stream inflates to nothing")
{
    const Bytes stream = qv::ref::deflate_with({}, 6);
    uint8_t spare = 0;
    CHECK(qv::png::fast_inflate_exact({stream.data(), stream.size()}, {&spare, 0}));
}

TEST_CASE("CRC-32 is zlib's, whichever library computes it")
{
    Bytes data(100000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    for (size_t size : {size_t{1}, size_t{15}, size_t{16}, size_t{4095}, data.size()}) {
        const qv::check::Scope scope("size ", size);
        CHECK_EQ(qv::png::crc32_update(0x9E3779B9u, data.data(), size),
                 static_cast<uint32_t>(crc32_z(0x9E3779B9u, data.data(), size)));
    }
}

}  // namespace

// The one-go inflate: taken only for a whole, valid stream of exactly the size asked for,
// with zlib's 32 KiB window and no preset dictionary; refused for everything else.
#include "check.hpp"
#include "reference.hpp"

#include "codec/deflate/inflate.hpp"
#include "codec/png/chunk_layout.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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
        const bool taken = qv::deflate::inflate_zlib_exact({c.stream.data(), c.stream.size()},
                                                       {out.data(), out.size() - 1});
        CHECK_EQ(taken, c.taken);
        if (taken) CHECK(Bytes(out.begin(), out.end() - 1) == data);
    }
}

// Deflate's bit order: fields least significant bit first, Huffman codes most significant first.
struct BitWriter {
    Bytes bytes;
    unsigned used = 0;  // bits of the last byte in use

    BitWriter& bits(unsigned value, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i, value >>= 1) {
            if (used == 0) bytes.push_back(0);
            bytes.back() = static_cast<uint8_t>(bytes.back() | (value & 1) << used);
            used = (used + 1) % 8;
        }
        return *this;
    }
    BitWriter& code(unsigned code, unsigned count)
    {
        for (unsigned i = count; i-- > 0;) bits(code >> i, 1);
        return *this;
    }
};

// Canonical codes of these lengths, as (code, length) by symbol.
std::vector<std::pair<unsigned, unsigned>> canonical(const std::vector<unsigned>& lengths)
{
    std::vector<std::pair<unsigned, unsigned>> codes(lengths.size());
    unsigned code = 0;
    for (unsigned len = 1; len <= 15; ++len, code <<= 1) {
        for (size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s] == len) codes[s] = {code++, len};
        }
    }
    return codes;
}

// A zlib stream of one dynamic block with these code lengths, sending `symbols` (a literal,
// 256, or a length symbol followed by its distance symbol, no extra bits needed) for `data`.
Bytes dynamic_stream(const std::vector<unsigned>& litlen, const std::vector<unsigned>& distances,
                     const std::vector<unsigned>& symbols, const Bytes& data)
{
    BitWriter w;
    w.bits(0x78, 8).bits(0x01, 8);
    w.bits(1, 1).bits(2, 2).bits(static_cast<unsigned>(litlen.size() - 257), 5);
    w.bits(static_cast<unsigned>(distances.size() - 1), 5).bits(15, 4);
    // Every code length symbol has a code: 0-12 of four bits, 13-18 of five.
    std::vector<unsigned> code_lengths(19, 4);
    for (unsigned s = 13; s < 19; ++s) code_lengths[s] = 5;
    for (unsigned symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15}) {
        w.bits(code_lengths[symbol], 3);
    }
    const auto length_codes = canonical(code_lengths);
    for (const auto* lengths : {&litlen, &distances}) {
        for (unsigned len : *lengths) w.code(length_codes[len].first, length_codes[len].second);
    }
    const auto litlen_codes = canonical(litlen);
    const auto distance_codes = canonical(distances);
    for (size_t i = 0; i < symbols.size(); ++i) {
        w.code(litlen_codes[symbols[i]].first, litlen_codes[symbols[i]].second);
        if (symbols[i] > 256) {
            ++i;
            w.code(distance_codes[symbols[i]].first, distance_codes[symbols[i]].second);
        }
    }
    const auto sum = static_cast<uint32_t>(adler32(1, data.data(), static_cast<uInt>(data.size())));
    for (int shift = 24; shift >= 0; shift -= 8) w.bytes.push_back(static_cast<uint8_t>(sum >> shift));
    return w.bytes;
}

TEST_CASE("Codes zlib takes though they are not complete are taken")
{
    // Literals of nine bits, the rest of five and six: complete over all 286 symbols.
    std::vector<unsigned> litlen(256, 9);
    litlen.insert(litlen.end(), {5, 5});
    litlen.insert(litlen.end(), 28, 6);
    std::vector<unsigned> only_end(257, 0);
    only_end[256] = 1;
    struct Case {
        std::string name;
        Bytes stream;
        Bytes data;
    };
    const Case cases[] = {
        {"literals only, no distance codes", dynamic_stream(litlen, {0}, {'a', 'b', 'c', 256}, {'a', 'b', 'c'}),
         {'a', 'b', 'c'}},
        {"a distance code of one one-bit code", dynamic_stream(litlen, {1}, {'a', 257, 0, 256}, {'a', 'a', 'a', 'a'}),
         {'a', 'a', 'a', 'a'}},
        {"a literal/length code of the end-of-block code alone", dynamic_stream(only_end, {0}, {256}, {}), {}},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        Bytes out(c.data.size() + 1);
        CHECK(qv::deflate::inflate_zlib_exact({c.stream.data(), c.stream.size()}, {out.data(), c.data.size()}));
        CHECK(Bytes(out.begin(), out.end() - 1) == c.data);
        uLongf size = static_cast<uLongf>(out.size());
        CHECK_EQ(uncompress(out.data(), &size, c.stream.data(), static_cast<uLong>(c.stream.size())), Z_OK);
    }
}

// Pages that end at a page that can be neither read nor written: a buffer placed against the
// end is read or written past its end only by a crash.
class GuardedPages {
public:
    explicit GuardedPages(size_t bytes)
        : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))), size_((bytes / page_ + 2) * page_)
    {
        void* mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return;
        base_ = static_cast<uint8_t*>(mapped);
        if (mprotect(base_ + size_ - page_, page_, PROT_NONE) == 0) end_ = base_ + size_ - page_;
    }
    ~GuardedPages()
    {
        if (base_ != nullptr) munmap(base_, size_);
    }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;
    uint8_t* end() const { return end_; }

private:
    size_t page_;
    size_t size_;
    uint8_t* base_ = nullptr;
    uint8_t* end_ = nullptr;
};

TEST_CASE("Input and output that end where the memory ends are used no further")
{
    const GuardedPages input(4096);
    const GuardedPages output(8192);
    CHECK(input.end() != nullptr && output.end() != nullptr);
    if (input.end() == nullptr || output.end() == nullptr) return;
    // A few literals, then a run: streams of a few bytes whose block starts with little input
    // left and much output to come, as well as longer ones; whole, and cut at every point of
    // their last 24 bytes.
    for (size_t literals = 0; literals <= 40; literals += literals < 16 ? 1 : 8) {
        for (const size_t run : {size_t{600}, size_t{2000}, size_t{5000}}) {
            Bytes data(literals + run);
            for (size_t i = 0; i < literals; ++i) data[i] = static_cast<uint8_t>(i * 37 + 1);
            for (const int level : {1, 9}) {
                const qv::check::Scope scope("literals ", literals, ", run ", run, ", level ", level);
                const Bytes stream = qv::ref::deflate_with(data, level);
                for (size_t cut = 0; cut <= 24 && cut < stream.size(); ++cut) {
                    const size_t length = stream.size() - cut;
                    uint8_t* in = input.end() - length;
                    std::memcpy(in, stream.data(), length);
                    uint8_t* out = output.end() - data.size();
                    const bool taken = qv::deflate::inflate_zlib_exact({in, length}, {out, data.size()});
                    CHECK_EQ(taken, cut == 0);
                    if (taken) CHECK(std::equal(data.begin(), data.end(), out));
                }
            }
        }
    }
}

TEST_CASE("An empty image's stream inflates to nothing")
{
    const Bytes stream = qv::ref::deflate_with({}, 6);
    uint8_t spare = 0;
    CHECK(qv::deflate::inflate_zlib_exact({stream.data(), stream.size()}, {&spare, 0}));
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

// The chunk parser over the memory source and over a scripted source: every cut point,
// every corrupted byte, zero-length and huge claimed chunks, the end of the data, the order
// in which a source is asked for its fields (the stream binding depends on it) and which
// checksums go to the executor.
#include "check.hpp"
#include "png_files.hpp"

#include "codec/limits.hpp"
#include "codec/png/chunk_parser.hpp"

#include <string>

namespace {

using qv::Code;
using qv::InlineExecutor;
using qv::Status;
using qv::png::Chunk;
using qv::png::Field;
using qv::png::MemorySource;
using qv::ref::Bytes;
using qv::ref::png_chunk;

Status parse(const Bytes& bytes, Chunk* chunk, uint64_t start = 0, uint64_t* end = nullptr)
{
    MemorySource source({bytes.data(), bytes.size()}, start);
    InlineExecutor executor;
    const Status s = qv::png::next_chunk(source, executor, chunk);
    if (end != nullptr) *end = source.position();
    return s;
}

TEST_CASE("Chunk parser: a chunk cut at any point gives the field it was cut in")
{
    const Bytes data{'h', 'e', 'l', 'l', 'o', 0, 1, 2, 3};
    const Bytes chunk = png_chunk("tEXt", data);
    for (size_t cut = 0; cut <= chunk.size(); ++cut) {
        const qv::check::Scope scope("cut at ", cut);
        Chunk got;
        uint64_t end = 0;
        const Bytes bytes(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(cut));
        const Status s = parse(bytes, &got, 0, &end);
        Code want = Code::kOk;
        if (cut == 0) want = Code::kOk;  // nothing at all: the end, not an error
        else if (cut < 4) want = Code::kEofLength;
        else if (cut < 8) want = Code::kEofType;
        else if (cut < 8 + data.size()) want = Code::kEofData;
        else if (cut < chunk.size()) want = Code::kEofCrc;
        CHECK_EQ(s.code, want);
        CHECK_EQ(end, uint64_t{cut});  // a short read still moves to the end, as a stream's does
        if (cut == 0) CHECK(got.end);
        if (cut == chunk.size()) {
            CHECK(!got.end && got.is("tEXt") && got.length == data.size());
            CHECK(Bytes(got.data.begin(), got.data.end()) == data);
        }
    }
}

TEST_CASE("Chunk parser: any flipped bit in the type, data or CRC is a corrupted chunk")
{
    const Bytes chunk = png_chunk("zzZz", Bytes(40, 7));
    for (size_t at = 4; at < chunk.size(); ++at) {
        for (uint8_t bit : {uint8_t{1}, uint8_t{0x80}}) {
            const qv::check::Scope scope("byte ", at, " bit ", int{bit});
            Bytes bad = chunk;
            bad[at] ^= bit;
            Chunk got;
            CHECK_EQ(parse(bad, &got).code, Code::kCorruptChunk);
        }
    }
}

TEST_CASE("Chunk parser: lengths, the end of the data and where the next read starts")
{
    const Bytes two = qv::ref::concat({png_chunk("IEND", {}), png_chunk("abcd", {9})});
    struct Case {
        const char* name;
        Bytes bytes;
        uint64_t start;
        Code code;
        bool end;
        uint32_t length;
        uint64_t position;
    };
    Bytes huge{0xff, 0xff, 0xff, 0xff, 'I', 'D', 'A', 'T'};
    huge.resize(100, 0);
    Bytes two_gib{0x80, 0, 0, 0, 't', 'E', 'X', 't', 1, 2, 3};
    const Case cases[] = {
        {"zero-length chunk", png_chunk("IEND", {}), 0, Code::kOk, false, 0, 12},
        {"second of two", two, 12, Code::kOk, false, 1, 25},
        {"at the end", two, 25, Code::kOk, true, 0, 25},
        {"start past the end", two, 1000, Code::kOk, true, 0, 1000},
        {"4 GiB claimed by 100 bytes", huge, 0, Code::kEofData, false, 0xffffffff, 100},
        {"2 GiB claimed by 11 bytes", two_gib, 0, Code::kEofData, false, 0x80000000, 11},
        {"one byte", {0}, 0, Code::kEofLength, false, 0, 1},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        Chunk got;
        uint64_t position = 0;
        const Status s = parse(c.bytes, &got, c.start, &position);
        CHECK_EQ(s.code, c.code);
        CHECK_EQ(got.end, c.end);
        CHECK_EQ(got.length, c.length);
        CHECK_EQ(position, c.position);
    }
}

// A source that serves fixed field contents, logs what it is asked and can lie about sizes.
class ScriptedSource final : public qv::png::ChunkSource {
public:
    Bytes fields[4];
    uint64_t reported[4] = {4, 4, 0, 4};  // what `read` says it got
    std::string log;

    Status read(Field field, uint32_t n, uint64_t* got) override
    {
        log.push_back('r');
        log.append(std::to_string(static_cast<int>(field))).push_back(':');
        log.append(std::to_string(n)).push_back(' ');
        *got = reported[static_cast<size_t>(field)];
        return {};
    }
    Status view(Field field, qv::ByteSpan* out) override
    {
        log.push_back('v');
        log.append(std::to_string(static_cast<int>(field))).push_back(' ');
        const Bytes& f = fields[static_cast<size_t>(field)];
        *out = {f.data(), f.size()};
        return {};
    }
    void end_chunk() override { log += "end"; }
};

// Counts the work handed to it.
class CountingExecutor final : public qv::Executor {
public:
    using Executor::run;
    int runs = 0;
    void run(void (*work)(void*), void* context) override
    {
        ++runs;
        work(context);
    }
};

ScriptedSource scripted(const Bytes& chunk)
{
    ScriptedSource s;
    const size_t n = chunk.size() - 12;
    s.fields[0] = Bytes(chunk.begin(), chunk.begin() + 4);
    s.fields[1] = Bytes(chunk.begin() + 4, chunk.begin() + 8);
    s.fields[2] = Bytes(chunk.begin() + 8, chunk.end() - 4);
    s.fields[3] = Bytes(chunk.end() - 4, chunk.end());
    s.reported[2] = n;
    return s;
}

TEST_CASE("Chunk parser: fields are read, then viewed, in the order a stream is read by hand")
{
    const Bytes chunk = png_chunk("tEXt", {1, 2, 3});
    struct Case {
        const char* name;
        void (*meddle)(ScriptedSource&);
        Code code;
        int32_t detail;
        const char* log;
    };
    const Case cases[] = {
        {"good", [](ScriptedSource&) {}, Code::kOk, 0, "r0:4 v0 r1:4 r2:3 r3:4 v1 v2 v3 end"},
        {"length field of 8 bytes", [](ScriptedSource& s) { s.fields[0].resize(8); }, Code::kFieldSize, 0,
         "r0:4 v0 end"},
        {"CRC field of 3 bytes", [](ScriptedSource& s) { s.fields[3].resize(3); }, Code::kFieldSize, 3,
         "r0:4 v0 r1:4 r2:3 r3:4 v1 v2 v3 end"},
        {"data shorter than reported", [](ScriptedSource& s) { s.fields[2].pop_back(); }, Code::kEofData, 0,
         "r0:4 v0 r1:4 r2:3 r3:4 v1 v2 end"},
        {"type reported short", [](ScriptedSource& s) { s.reported[1] = 3; }, Code::kEofType, 0, "r0:4 v0 r1:4 end"},
        {"type of 5 bytes: checked as it is", [](ScriptedSource& s) { s.fields[1].push_back('x'); },
         Code::kCorruptChunk, 0, "r0:4 v0 r1:4 r2:3 r3:4 v1 v2 v3 end"},
        {"nothing for the length", [](ScriptedSource& s) { s.reported[0] = 0; }, Code::kOk, 0, "r0:4 end"},
    };
    for (const Case& c : cases) {
        const qv::check::Scope scope(c.name);
        ScriptedSource source = scripted(chunk);
        c.meddle(source);
        InlineExecutor executor;
        Chunk got;
        const Status s = qv::png::next_chunk(source, executor, &got);
        CHECK_EQ(s.code, c.code);
        CHECK_EQ(s.detail, c.detail);
        CHECK_EQ(source.log, std::string(c.log));
    }
}

TEST_CASE("Chunk parser: checksums over the heavy-work size go to the executor")
{
    const size_t heavy = qv::limits::kHeavyWorkBytes;
    struct Case {
        size_t data;
        int runs;
    };
    for (const Case& c : {Case{0, 0}, Case{100, 0}, Case{heavy - 5, 0}, Case{heavy - 4, 1}, Case{3 * heavy, 1}}) {
        const qv::check::Scope scope(c.data, " data bytes");
        const Bytes chunk = png_chunk("IDAT", Bytes(c.data, 3));
        MemorySource source({chunk.data(), chunk.size()}, 0);
        CountingExecutor executor;
        Chunk got;
        CHECK(qv::png::next_chunk(source, executor, &got).ok());
        CHECK_EQ(executor.runs, c.runs);
    }
}

}  // namespace

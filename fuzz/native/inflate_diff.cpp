// Differential target: the one-go inflate against zlib. Whenever the shortcut accepts a stream
// for a size, zlib must accept the whole stream too and give the very same bytes, that many,
// whatever the size of the output stages zlib is given (the decoder inflates in stages).
//
// Input: one mode byte, one stage byte, three size bytes, then the payload.
//   mode bit 0 clear: the payload is the zlib stream as it is (arbitrary bytes), and the size
//                     asked for is the size bytes (little-endian, cut to what the payload could
//                     inflate to), as an image header states a size whatever the stream holds;
//                     with mode bits 5-7 at 4 or more, zlib's output size or one near it;
//                     mode bit 1 set: the payload's last four bytes are first made the Adler-32
//                     of what the shortcut inflated (as a stream that ends there carries it), so
//                     that streams whose blocks it takes but zlib does not are reached;
//   mode bit 0 set:   the payload is compressed with zlib at level (mode >> 1) % 10, then up to
//                     four of its bytes are changed at positions and to values drawn from the
//                     payload's tail: mutated valid streams, asked for the payload's size (or,
//                     with mode bits 5-7, one near it).
#include "codec/deflate/inflate.hpp"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#define DIFF_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: inflaters disagree: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace {

constexpr size_t kMaxOutput = 8u << 20;  // 4096 input bytes inflate to at most ~4.2 MB
constexpr size_t kMaxRatio = 1032;       // the most one deflate byte inflates to

struct ZlibResult {
    bool ok = false;
    std::vector<uint8_t> bytes;
};

// zlib's one-shot decompress with the 32 KiB window over the whole stream, output handed out
// `stage` bytes at a time; data after the end of the stream is ignored.
ZlibResult zlib_inflate(const uint8_t* data, size_t size, size_t stage)
{
    ZlibResult result;
    z_stream z{};
    if (inflateInit2(&z, 15) != Z_OK) return result;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    int status = Z_OK;
    while (status == Z_OK) {
        const size_t at = result.bytes.size();
        if (at >= kMaxOutput) break;
        result.bytes.resize(at + stage);
        z.next_out = result.bytes.data() + at;
        z.avail_out = static_cast<uInt>(stage);
        status = inflate(&z, Z_FINISH);
        result.bytes.resize(at + stage - z.avail_out);
        if (status == Z_BUF_ERROR && z.avail_out == 0) status = Z_OK;  // room was all that was missing
    }
    inflateEnd(&z);
    result.ok = status == Z_STREAM_END;
    return result;
}

std::vector<uint8_t> mutated_stream(const uint8_t* payload, size_t size, int level)
{
    uLongf bound = compressBound(static_cast<uLong>(size));
    std::vector<uint8_t> stream(bound);
    if (compress2(stream.data(), &bound, payload, static_cast<uLong>(size), level) != Z_OK) return {};
    stream.resize(bound);
    // The tail of the payload steers the changes: (position, value) pairs.
    const size_t pairs = size >= 8 ? 4 : size / 2;
    for (size_t i = 0; i < pairs; ++i) {
        const uint8_t where = payload[size - 1 - 2 * i];
        const uint8_t what = payload[size - 2 - 2 * i];
        if (what == 0) continue;  // leave this pair out: unchanged streams are worth checking too
        stream[(where * 2654435761u) % stream.size()] ^= what;
    }
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5) return 0;
    const uint8_t mode = data[0];
    const size_t stage = size_t{64} << (data[1] % 13);  // 64 bytes to 256 KiB
    const size_t stated = data[2] | size_t{data[3]} << 8 | size_t{data[4]} << 16;
    const uint8_t* payload = data + 5;
    const size_t payload_size = size - 5;

    std::vector<uint8_t> stream;
    if (mode & 1) {
        stream = mutated_stream(payload, payload_size, (mode >> 1) % 10);
    } else {
        stream.assign(payload, payload + payload_size);
    }
    const int offsets[8] = {0, 0, 0, 0, 1, -1, 7, -300};
    long long wanted = 0;
    if (mode & 1) {
        wanted = static_cast<long long>(payload_size) + offsets[mode >> 5];
    } else if ((mode >> 5) < 4) {
        wanted = static_cast<long long>(stated % (kMaxRatio * stream.size() + 1));
    } else {
        const ZlibResult reference = zlib_inflate(stream.data(), stream.size(), stage);
        wanted = static_cast<long long>(reference.bytes.size()) + offsets[mode >> 5];
    }
    if (wanted < 0) return 0;

    const std::unique_ptr<uint8_t[]> out(new uint8_t[static_cast<size_t>(wanted) + 1]);  // never null
    const qv::MutableByteSpan room{out.get(), static_cast<size_t>(wanted)};
    bool fast = qv::deflate::inflate_zlib_exact({stream.data(), stream.size()}, room);
    if (!fast && (mode & 3) == 2 && stream.size() >= 6) {
        // What a refused stream left in the room is whatever its blocks inflated to.
        const auto sum = static_cast<uint32_t>(adler32_z(1, room.data(), room.size()));
        for (int i = 0; i < 4; ++i) stream[stream.size() - 4 + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
        fast = qv::deflate::inflate_zlib_exact({stream.data(), stream.size()}, room);
    }
    if (!fast) return 0;
    const ZlibResult reference = zlib_inflate(stream.data(), stream.size(), stage);
    DIFF_CHECK(reference.ok);
    DIFF_CHECK(static_cast<size_t>(wanted) == reference.bytes.size());
    DIFF_CHECK(reference.bytes.empty() || std::memcmp(out.get(), reference.bytes.data(), reference.bytes.size()) == 0);
    // And with the output in one stage, zlib's answer is the same.
    const ZlibResult whole = zlib_inflate(stream.data(), stream.size(), reference.bytes.size() + 1);
    DIFF_CHECK(whole.ok && whole.bytes == reference.bytes);
    return 0;
}

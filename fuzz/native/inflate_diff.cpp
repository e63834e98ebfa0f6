// Differential target: the libdeflate shortcut against zlib. Whenever the shortcut accepts a
// stream, zlib must accept it too and give the very same bytes, whatever the size of the
// output stages zlib is given (the decoder inflates in stages).
//
// Input: one mode byte, one stage byte, then the payload.
//   mode bit 0 clear: the payload is the zlib stream as it is (arbitrary bytes);
//   mode bit 0 set:   the payload is compressed with zlib at level (mode >> 1) % 10, then up to
//                     four of its bytes are changed at positions and to values drawn from the
//                     payload's tail: mutated valid streams.
// The expected size handed to the shortcut is zlib's output size, or (mode bits 5-7) a size
// off by a little, which the shortcut must refuse.
#include "codec/png/fast_inflate.hpp"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

struct ZlibResult {
    bool ok = false;
    std::vector<uint8_t> bytes;
};

// zlib's one-shot decompress with the 32 KiB window, output handed out `stage` bytes at a time;
// data after the end of the stream is ignored.
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
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const size_t stage = size_t{64} << (data[1] % 13);  // 64 bytes to 256 KiB
    const uint8_t* payload = data + 2;
    const size_t payload_size = size - 2;

    std::vector<uint8_t> stream;
    if (mode & 1) {
        stream = mutated_stream(payload, payload_size, (mode >> 1) % 10);
    } else {
        stream.assign(payload, payload + payload_size);
    }
    const ZlibResult reference = zlib_inflate(stream.data(), stream.size(), stage);
    if (reference.bytes.size() >= kMaxOutput) return 0;

    // The size zlib produced, or one near it.
    const int offsets[8] = {0, 0, 0, 0, 1, -1, 7, -300};
    const long long wanted = static_cast<long long>(reference.bytes.size()) + offsets[mode >> 5];
    if (wanted < 0) return 0;
    std::vector<uint8_t> out(static_cast<size_t>(wanted) + 1);  // never a null pointer
    const bool fast = qv::png::fast_inflate_exact({stream.data(), stream.size()},
                                                  {out.data(), static_cast<size_t>(wanted)});
    if (!fast) return 0;
    DIFF_CHECK(reference.ok);
    DIFF_CHECK(static_cast<size_t>(wanted) == reference.bytes.size());
    DIFF_CHECK(std::memcmp(out.data(), reference.bytes.data(), reference.bytes.size()) == 0);
    // And with the output in one stage, zlib's answer is the same.
    const ZlibResult whole = zlib_inflate(stream.data(), stream.size(), reference.bytes.size() + 1);
    DIFF_CHECK(whole.ok && whole.bytes == reference.bytes);
    return 0;
}

// Differential target: the exact deflater against zlib's one-shot compress at its defaults.
// The two streams must be the same bytes, whatever the data, on 1 to 4 threads and with
// segments cut small enough that the joins between parses are crossed on small inputs.
//
// Input: one configuration byte (bit 0: several threads, bits 1-2: how many (2 to 5), bits
// 3-4: segment size, bits 5-7: mode), then the payload. Modes 0 and 1 compress the payload as
// it is; the others read it as
// a small program that builds the data: literal bytes, runs, copies from near and from the
// edge of the window (32,500 to 32,768 back), noise (stored blocks), a small alphabet, a
// periodic stretch, and padding to sizes around 64 KiB (the window's slides), so that a few
// hundred input bytes reach the long inputs where the rules differ.
#include "fuzz_support.hpp"

#include "codec/deflate/exact_deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kMaxBuilt = 160 * 1024;
// At most this many segments, so that an input takes milliseconds, not seconds.
constexpr size_t kMaxSegments = 24;
constexpr uint64_t kSegments[4] = {0, 7, 700, 40000};

class Bytes final : public qv::deflate::Input {
public:
    explicit Bytes(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    void read(uint64_t from, size_t count, uint8_t* out) const override
    {
        if (count != 0) std::memcpy(out, bytes_.data() + from, count);
    }

private:
    const std::vector<uint8_t>& bytes_;
};

std::vector<uint8_t> build(qv::fuzz::Input& in, int mode)
{
    std::vector<uint8_t> out;
    uint32_t noise = 0x12345678u + static_cast<uint32_t>(mode);
    auto random = [&] {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        return noise;
    };
    auto word = [&] { return static_cast<size_t>(in.byte()) << 8 | in.byte(); };
    auto room = [&](size_t n) { return std::min(n, kMaxBuilt - out.size()); };
    while (in.left() > 0 && out.size() < kMaxBuilt) {
        const uint8_t op = in.byte();
        switch (op & 7) {
        case 0: {  // literal bytes
            const size_t n = room(std::min<size_t>(1 + op / 8, in.left()));
            out.insert(out.end(), in.rest(), in.rest() + n);
            in.skip(n);
            break;
        }
        case 1: {  // a run
            const uint8_t value = in.byte();
            out.insert(out.end(), room(word() * (1 + op / 64)), value);
            break;
        }
        case 2:    // a copy from close by
        case 3: {  // ... or from the edge of the window
            const size_t back = (op & 7) == 2 ? 1 + in.byte() : 32500 + in.byte() % 269;
            const size_t n = room(3 + in.byte() + (op >> 3));
            for (size_t i = 0; i < n && back <= out.size(); ++i) out.push_back(out[out.size() - back]);
            break;
        }
        case 4: {  // noise
            const size_t n = room(word());
            for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(random()));
            break;
        }
        case 5: {  // a small alphabet
            const uint32_t alphabet = 2 + in.byte() % 15;
            const size_t n = room(word() * 4);
            for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(random() % alphabet));
            break;
        }
        case 6: {  // the last `period` bytes over and over
            const size_t period = 1 + word() % 12000;
            const size_t n = room(word() * 8);
            for (size_t i = 0; i < n && period <= out.size(); ++i) out.push_back(out[out.size() - period]);
            break;
        }
        default: {  // up to a size near 64 KiB or its multiples, with small-alphabet bytes
            const size_t target = 65536 * (1 + in.byte() % 5) + in.byte() - 128;
            while (out.size() < target && out.size() < kMaxBuilt) out.push_back(static_cast<uint8_t>(random() % 5));
            break;
        }
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qv::fuzz::Input in(data, size);
    const uint8_t config = in.byte();
    const int threads = (config & 1) != 0 ? 2 + ((config >> 1) & 3) : 1;
    const uint64_t segment = kSegments[(config >> 3) & 3];
    const int mode = config >> 5;
    std::vector<uint8_t> bytes = mode < 2 ? std::vector<uint8_t>(in.rest(), in.rest() + in.left()) : build(in, mode);

    uLongf expected_size = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<uint8_t> expected(expected_size);
    FUZZ_CHECK(compress2(expected.data(), &expected_size, bytes.data(), static_cast<uLong>(bytes.size()),
                         Z_DEFAULT_COMPRESSION) == Z_OK);
    expected.resize(expected_size);

    std::vector<uint8_t> ours(compressBound(static_cast<uLong>(bytes.size())) + qv::deflate::kOutputSlack);
    qv::deflate::ExactOptions options;
    options.threads = threads;
    options.segment_size = segment == 0 ? 0 : std::max<uint64_t>(segment, bytes.size() / kMaxSegments);
    const Bytes input(bytes);
    const size_t got = qv::deflate::exact_deflate(input, options, ours.data(), ours.size());
    FUZZ_CHECK(got == expected.size());
    FUZZ_CHECK(std::memcmp(ours.data(), expected.data(), got) == 0);
    return 0;
}

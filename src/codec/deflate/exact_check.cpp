#include "codec/deflate/exact_check.hpp"

#include "codec/deflate/exact_deflate.hpp"

#include <zlib.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

namespace qv::deflate {

bool zlib_version_supported(const char* version)
{
    if (version == nullptr || std::strstr(version, "ng") != nullptr) return false;  // another library
    if (std::strncmp(version, "1.3", 3) == 0) return version[3] == '\0' || version[3] == '.';
    if (std::strncmp(version, "1.2.1", 5) != 0) return false;
    return version[5] >= '2' && version[5] <= '9' && (version[6] == '\0' || version[6] == '.');
}

namespace {

class Probe final : public Input {
public:
    Probe(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    uint64_t size() const override { return size_; }
    void read(uint64_t from, size_t count, uint8_t* out) const override { std::memcpy(out, bytes_ + from, count); }

private:
    const uint8_t* bytes_;
    size_t size_;
};

// About 100 KB that take every path of the parse and of the block rules: noise (stored
// blocks), a small alphabet (short matches, length-3 matches far back), a periodic stretch and
// a long run (maximal matches), copies from near the window's edge, and a tail shorter than
// the lookahead.
size_t fill_probe(uint8_t* out)
{
    uint32_t state = 0x9e3779b9u;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    size_t at = 0;
    for (int i = 0; i < 20000; ++i) out[at++] = static_cast<uint8_t>(next());
    for (int i = 0; i < 30000; ++i) out[at++] = static_cast<uint8_t>(next() % 7);
    for (int i = 0; i < 12000; ++i) out[at++] = static_cast<uint8_t>(i % 11 == 0 && next() % 5 == 0 ? next() : i % 11 * 3);
    for (int i = 0; i < 6000; ++i) out[at++] = 0;
    for (int i = 0; i < 30000; ++i) {
        const size_t back = 32400 + next() % 400;
        out[at] = next() % 3 == 0 || at < back ? static_cast<uint8_t>(next() % 16) : out[at - back];
        ++at;
    }
    for (int i = 0; i < 150; ++i) out[at++] = static_cast<uint8_t>(next() % 4);
    return at;
}

bool probe_agrees()
{
    constexpr size_t kProbeRoom = 100000;
    std::unique_ptr<uint8_t[]> probe(new (std::nothrow) uint8_t[kProbeRoom]);
    if (!probe) return false;
    const size_t size = fill_probe(probe.get());
    uLongf zlib_size = compressBound(size);
    const size_t room = zlib_size + kOutputSlack;
    std::unique_ptr<uint8_t[]> theirs(new (std::nothrow) uint8_t[room]);
    std::unique_ptr<uint8_t[]> ours(new (std::nothrow) uint8_t[room]);
    if (!theirs || !ours) return false;
    if (compress2(theirs.get(), &zlib_size, probe.get(), size, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
    const Probe input(probe.get(), size);
    const size_t our_size = exact_deflate(input, ExactOptions{}, ours.get(), room);
    return our_size == zlib_size && std::memcmp(ours.get(), theirs.get(), our_size) == 0;
}

}  // namespace

bool exact_deflate_agrees_with_zlib()
{
    enum : int { kUnknown, kAgrees, kDiffers };
    static std::atomic<int> verdict{kUnknown};
    int known = verdict.load(std::memory_order_acquire);
    if (known == kUnknown) {
        known = zlib_version_supported(zlibVersion()) && probe_agrees() ? kAgrees : kDiffers;
        verdict.store(known, std::memory_order_release);
    }
    return known == kAgrees;
}

}  // namespace qv::deflate

// The exact deflater against zlib's one-shot compress at its defaults: the bytes must be the
// same, on one thread and on several with segments cut small, so that the joins between
// segments are crossed many times even on small inputs. The inputs aim at the rules that
// decide bytes: stored, fixed and dynamic blocks, blocks cut at 16,383 symbols, matches at the
// farthest distances, 3-byte matches beyond 4096, the window's slides and the stale bytes a
// search compares at the end of the data.
#include "check.hpp"
#include "reference.hpp"

#include "codec/deflate/exact_check.hpp"
#include "codec/deflate/exact_deflate.hpp"
#include "codec/png/filtered_rows.hpp"

#include <cstring>
#include <functional>
#include <string>

namespace {

using qv::ref::Bytes;
using qv::ref::Random;

class MemoryInput final : public qv::deflate::Input {
public:
    explicit MemoryInput(const Bytes& bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    void read(uint64_t from, size_t count, uint8_t* out) const override
    {
        if (count != 0) std::memcpy(out, bytes_.data() + from, count);
    }

private:
    const Bytes& bytes_;
};

Bytes exact(const Bytes& data, int threads, uint64_t segment)
{
    const MemoryInput input(data);
    Bytes out(compressBound(static_cast<uLong>(data.size())) + qv::deflate::kOutputSlack);
    qv::deflate::ExactOptions options;
    options.threads = threads;
    options.segment_size = segment;
    out.resize(qv::deflate::exact_deflate(input, options, out.data(), out.size()));
    return out;
}

struct Sample {
    std::string name;
    std::function<Bytes(Random&)> make;
};

Bytes periodic(size_t size, size_t period, Random& rng)
{
    const Bytes unit = rng.bytes(period);
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = unit[i % period];
    return out;
}

const Sample kSamples[] = {
    {"empty", [](Random&) { return Bytes{}; }},
    {"1 byte", [](Random&) { return Bytes{7}; }},
    {"2 bytes", [](Random&) { return Bytes{7, 7}; }},
    {"3 bytes", [](Random&) { return Bytes{7, 7, 7}; }},
    {"noise 70000 (stored blocks)", [](Random& r) { return r.bytes(70000); }},
    {"small alphabet 200000", [](Random& r) {
         Bytes b(200000);
         for (uint8_t& x : b) x = static_cast<uint8_t>(r.below(4));
         return b;
     }},
    {"one run 100000", [](Random&) { return Bytes(100000, 0); }},
    {"period 3 over 300000", [](Random& r) { return periodic(300000, 3, r); }},
    {"period 11521 over 400000", [](Random& r) { return periodic(400000, 11521, r); }},
    {"copies from 32500 to 32768 back", [](Random& r) {
         Bytes b = r.bytes(40000);
         while (b.size() < 300000) b.push_back(r.below(4) == 0 ? r.byte() : b[b.size() - 32500 - r.below(269)]);
         return b;
     }},
    {"3-byte matches near 4096 back", [](Random& r) {
         Bytes b = r.bytes(5000);
         while (b.size() < 120000) {
             const size_t back = 4090 + r.below(12);
             for (int k = 0; k < 3; ++k) b.push_back(b[b.size() - back]);
             b.push_back(r.byte());
         }
         return b;
     }},
    {"text-like", [](Random& r) {
         Bytes b;
         while (b.size() < 500000) {
             const std::string word = "word" + std::to_string(r.below(3000)) + (r.below(9) == 0 ? "\n" : " ");
             b.insert(b.end(), word.begin(), word.end());
         }
         return b;
     }},
    // Large enough for the default segments: stretches that give few tokens and many.
    {"noise, runs and text over 1.5 MB", [](Random& r) {
         Bytes b;
         while (b.size() < 1500000) {
             const Bytes noise = r.bytes(20000 + r.below(200000));
             b.insert(b.end(), noise.begin(), noise.end());
             b.insert(b.end(), r.below(300000), r.byte());
             while (b.size() % 300000 < 250000) b.push_back(static_cast<uint8_t>('a' + r.below(8)));
         }
         return b;
     }},
};

TEST_CASE("Exact deflater gives zlib's one-shot bytes on one thread and across segment joins")
{
    Random rng(18);
    struct Config {
        int threads;
        uint64_t segment;
    };
    const Config configs[] = {{1, 0}, {2, 700}, {3, 4096}, {2, 65536}, {2, 0}, {3, 0}};
    for (const Sample& sample : kSamples) {
        const Bytes data = sample.make(rng);
        const Bytes expected = qv::ref::compress(data);
        for (const Config& c : configs) {
            const qv::check::Scope scope(sample.name, ", threads ", c.threads, ", segment ", c.segment);
            CHECK(exact(data, c.threads, c.segment) == expected);
        }
    }
}

TEST_CASE("Exact deflater gives zlib's bytes at every size around the window's first slide")
{
    Random rng(65274);
    const Bytes base = [&] {
        Bytes b(66000);
        for (uint8_t& x : b) x = static_cast<uint8_t>(rng.below(8));
        return b;
    }();
    for (size_t size = 65260; size <= 65545; size += 1) {
        const Bytes data(base.begin(), base.begin() + static_cast<ptrdiff_t>(size));
        const qv::check::Scope scope("size ", size);
        CHECK(exact(data, 1, 0) == qv::ref::compress(data));
    }
}

TEST_CASE("The exact deflater stands in only for the zlib releases it follows")
{
    CHECK(qv::deflate::exact_deflate_agrees_with_zlib());  // the host's, checked by a probe
    const struct {
        const char* version;
        bool supported;
    } rows[] = {
        {"1.2.12", true}, {"1.2.13", true}, {"1.3", true},   {"1.3.1", true},     {"1.3.1.1-motley", true},
        {"1.2.11", false}, {"1.2.1", false}, {"1.2.8", false}, {"1.4.0", false}, {"1.3.0.zlib-ng", false},
        {"2.1.6", false},  {"", false},
    };
    for (const auto& row : rows) {
        const qv::check::Scope scope(row.version);
        CHECK_EQ(qv::deflate::zlib_version_supported(row.version), row.supported);
    }
}

TEST_CASE("Filtered rows read from any position are the reference scanlines")
{
    struct Shape {
        size_t width, height;
    };
    const Shape shapes[] = {{1, 1}, {0, 5}, {3, 4}, {70, 9}, {2049, 3}, {4100, 2}};
    Random rng(7);
    for (size_t bpp : {3, 4}) {
        for (const Shape& s : shapes) {
            const qv::check::Scope scope(s.width, "x", s.height, " bpp ", bpp);
            const qv::ref::Image img = qv::ref::random_image(rng, s.width, s.height, bpp);
            const qv::png::ScanlineImage view{img.rgb.data(), bpp == 4 ? img.alpha.data() : nullptr,
                                              img.filters.data(), static_cast<uint32_t>(s.width),
                                              static_cast<uint32_t>(s.height)};
            const qv::png::FilteredRows rows(view);
            const Bytes expected = qv::ref::scanlines(img);
            CHECK_EQ(rows.size(), expected.size());
            for (int trial = 0; trial < 40 && !expected.empty(); ++trial) {
                const size_t from = rng.below(expected.size());
                const size_t count = rng.below(expected.size() - from + 1);
                Bytes got(count + 1, 0xAA);
                rows.read(from, count, got.data());
                CHECK(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(count), expected.begin() + static_cast<ptrdiff_t>(from)));
                CHECK_EQ(got[count], 0xAA);
            }
        }
    }
}

}  // namespace

// Row inflater on arbitrary data, checked against zlib's own inflate and the reference filter
// arithmetic. Input: width, height, flags, split seed, then the image data.
//   flags bit 0: 4 bytes a pixel (else 3); bit 1: the data are the inflated scanlines, wrapped
//   here in a valid stream (so the rows get exercised without the fuzzer having to find
//   zlib's format); bits 2-4: pieces - 1; bits 5-7 all set: also inflate without targets (counting;
//   rarely, as each such call sets up a 256 KiB staging buffer).
// Sizes stay small: under 64 x 64, and the height cut so that the image data are at most 16
// times the input (the kernels change behaviour at small widths, and work in proportion to
// the input keeps each run short).
#include "fuzz_support.hpp"

#include "../../tests/native/reference.hpp"

#include "codec/png/row_inflater.hpp"

#include <algorithm>

namespace {

using qv::ref::Bytes;

struct Reference {
    bool ok = false;  // the stream ended cleanly
    uint64_t total = 0;
    Bytes head;  // the first `keep` inflated bytes
};

// One-shot inflate as the host's zlib binding does it, keeping only what the image holds.
Reference reference_inflate(const Bytes& data, size_t keep)
{
    Reference r;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) std::abort();
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    uint8_t buf[16384];
    int rc = Z_OK;
    do {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        const size_t n = sizeof buf - z.avail_out;
        const size_t take = std::min(n, keep - std::min(keep, r.head.size()));
        r.head.insert(r.head.end(), buf, buf + take);
        r.total += n;
    } while (rc == Z_OK);
    inflateEnd(&z);
    r.ok = rc == Z_STREAM_END;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using qv::Code;
    if (size < 4) return 0;  // no header: nothing that a longer input would not also reach
    qv::fuzz::Input in(data, size);
    const size_t width = in.byte() % 64;
    const size_t promised = in.byte() % 64;
    const uint8_t flags = in.byte();
    const uint8_t seed = in.byte();
    const size_t bpp = (flags & 1) ? 4 : 3;
    const size_t height = std::min(promised, 16 * size / (width * bpp + 1));
    const size_t pieces = 1 + ((flags >> 2) & 7);
    Bytes stream = (flags & 2) ? qv::fuzz::stored_stream(in.rest(), in.left()) : Bytes(in.rest(), in.rest() + in.left());

    const qv::png::ScanlineLayout layout{width, height, bpp};
    const size_t scan = width * bpp + 1;
    const size_t expected = height * scan;
    Bytes rgb(width * height * 3), alpha(bpp == 4 ? width * height : 0), filters(height);
    const qv::png::RowTargets targets{rgb.data(), alpha.empty() ? nullptr : alpha.data(), filters.data()};
    const auto split = qv::fuzz::split(stream.data(), stream.size(), pieces, seed);
    const qv::png::InflateOutcome got = qv::png::inflate_rows(split, layout, &targets);
    const bool count_too = (flags & 0xE0) == 0xE0;
    const qv::png::InflateOutcome counted =
        count_too ? qv::png::inflate_rows(split, layout, nullptr) : qv::png::InflateOutcome{};

    const Reference want = reference_inflate(stream, expected);
    if (!want.ok) {
        FUZZ_CHECK(got.status.code == Code::kZlibError);
        FUZZ_CHECK(!count_too || counted.status.code == Code::kZlibError);
        return 0;
    }
    FUZZ_CHECK(got.inflated == want.total);
    FUZZ_CHECK(!count_too || counted.inflated == want.total);
    if (want.total != expected) {
        FUZZ_CHECK(got.status.code == Code::kMalformedData);
        FUZZ_CHECK(!count_too || counted.status.code == Code::kMalformedData);
        return 0;
    }
    FUZZ_CHECK(!count_too || counted.status.code == Code::kMalformedData);

    // Rebuild with the reference: every row up to the first bad filter type must match.
    Bytes prev(scan - 1, 0), row(scan - 1);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* line = want.head.data() + y * scan;
        if (line[0] > 4) {
            FUZZ_CHECK(got.status.code == Code::kBadFilter);
            FUZZ_CHECK(got.status.detail == line[0]);
            return 0;
        }
        for (size_t i = 0; i + 1 < scan; ++i) {
            row[i] = static_cast<uint8_t>(line[1 + i] + qv::ref::predictor(line[0], row.data(), prev, i, bpp));
        }
        FUZZ_CHECK(filters[y] == line[0]);
        for (size_t x = 0; x < width; ++x) {
            FUZZ_CHECK(std::equal(row.begin() + static_cast<ptrdiff_t>(x * bpp),
                                  row.begin() + static_cast<ptrdiff_t>(x * bpp + 3), rgb.begin() + static_cast<ptrdiff_t>((y * width + x) * 3)));
            if (bpp == 4) FUZZ_CHECK(alpha[y * width + x] == row[x * 4 + 3]);
        }
        std::swap(prev, row);
    }
    FUZZ_CHECK(got.status.code == Code::kOk);
    return 0;
}

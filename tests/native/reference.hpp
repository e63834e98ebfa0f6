// Independent references for the native tests: the filter arithmetic written straight from
// its definition (one byte at a time, predictors in full int width), a seeded generator and
// zlib one-shot helpers. Deliberately naive: nothing here shares code with src/.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace qv::ref {

using Bytes = std::vector<uint8_t>;

// splitmix64: the same sequence on every platform, so a failure can be replayed.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n - 1 (n > 0)
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    uint8_t byte() { return static_cast<uint8_t>(next()); }
    // Random bytes, with runs of the extreme values that the filter arithmetic trips on
    // (sums over 255, differences below 0, Paeth ties).
    Bytes bytes(size_t n)
    {
        static constexpr uint8_t kEdges[] = {0, 1, 127, 128, 200, 250, 254, 255};
        Bytes out(n);
        const bool edgy = below(3) == 0;
        for (uint8_t& b : out) b = edgy ? kEdges[below(sizeof kEdges)] : byte();
        return out;
    }

private:
    uint64_t state_;
};

inline int paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    if (pb <= pc) return b;
    return c;
}

// The predictor of `type` for byte i, from the unfiltered current row and the row above
// (empty for the first row: read as zeros).
inline int predictor(int type, const uint8_t* row, const Bytes& prev, size_t i, size_t bpp)
{
    const int a = i >= bpp ? row[i - bpp] : 0;
    const int b = prev.empty() ? 0 : prev[i];
    const int c = (i >= bpp && !prev.empty()) ? prev[i - bpp] : 0;
    switch (type) {
    case 1: return a;
    case 2: return b;
    case 3: return (a + b) / 2;
    case 4: return paeth(a, b, c);
    default: return 0;
    }
}

inline Bytes filter(int type, const Bytes& row, const Bytes& prev, size_t bpp)
{
    Bytes out(row.size());
    for (size_t i = 0; i < row.size(); ++i) out[i] = static_cast<uint8_t>(row[i] - predictor(type, row.data(), prev, i, bpp));
    return out;
}

inline Bytes unfilter(int type, const Bytes& filtered, const Bytes& prev, size_t bpp)
{
    Bytes out(filtered.size());
    for (size_t i = 0; i < filtered.size(); ++i) {
        out[i] = static_cast<uint8_t>(filtered[i] + predictor(type, out.data(), prev, i, bpp));
    }
    return out;
}

// An image as the codec sees it: RGB bytes, an optional alpha plane, a filter type a row.
struct Image {
    size_t width = 0;
    size_t height = 0;
    size_t bpp = 3;
    Bytes rgb;
    Bytes alpha;  // empty unless bpp == 4
    Bytes filters;

    Bytes row(size_t y) const  // the unfiltered scanline bytes of row y
    {
        Bytes out(width * bpp);
        for (size_t x = 0; x < width; ++x) {
            for (size_t k = 0; k < 3; ++k) out[x * bpp + k] = rgb[(y * width + x) * 3 + k];
            if (bpp == 4) out[x * 4 + 3] = alpha[y * width + x];
        }
        return out;
    }
};

inline Image random_image(Random& rng, size_t width, size_t height, size_t bpp)
{
    Image img{width, height, bpp, rng.bytes(width * height * 3), {}, {}};
    if (bpp == 4) img.alpha = rng.bytes(width * height);
    for (size_t y = 0; y < height; ++y) img.filters.push_back(static_cast<uint8_t>(rng.below(5)));
    return img;
}

// The filtered scanline data: a filter type byte and the filtered row, row after row.
inline Bytes scanlines(const Image& img)
{
    Bytes out;
    Bytes prev;
    for (size_t y = 0; y < img.height; ++y) {
        const Bytes row = img.row(y);
        const int type = img.filters.empty() ? 0 : img.filters[y];
        out.push_back(static_cast<uint8_t>(type));
        const Bytes f = filter(type, row, prev, img.bpp);
        out.insert(out.end(), f.begin(), f.end());
        prev = row;
    }
    return out;
}

inline Bytes compress(const Bytes& data, int level = Z_DEFAULT_COMPRESSION)
{
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) std::abort();
    out.resize(size);
    return out;
}

// zlib's stream of `data` at `level` with a window of 2^window_bits bytes, after a preset
// dictionary when `dictionary` is set.
inline Bytes deflate_with(const Bytes& data, int level, int window_bits = 15, bool dictionary = false)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    const Bytef words[] = "dictionary";
    if (dictionary) deflateSetDictionary(&z, words, sizeof words);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// One-shot inflate of a complete stream; `ok` false for anything but a clean end.
inline Bytes decompress(const Bytes& data, bool* ok)
{
    Bytes out;
    z_stream z{};
    *ok = false;
    if (inflateInit(&z) != Z_OK) return out;
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    uint8_t buf[4096];
    int rc = Z_OK;
    do {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (rc == Z_OK);
    inflateEnd(&z);
    *ok = rc == Z_STREAM_END;
    return out;
}

}  // namespace qv::ref

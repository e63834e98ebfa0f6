#include "codec/png/whole_deflate.hpp"

#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"

#ifdef QUORVEX_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <memory>
#include <new>
#include <utility>

namespace qv::png {

#ifdef QUORVEX_HAVE_LIBDEFLATE

namespace {

struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// The filtered scanlines of `image` into `out` (scanline_data_size bytes).
void filter_scanlines(const ScanlineImage& image, uint8_t* out, uint8_t* rows)
{
    const size_t bpp = image.alpha != nullptr ? 4 : 3;
    const size_t length = size_t{image.width} * bpp;
    uint8_t* current = rows;
    uint8_t* previous = rows + length;
    for (size_t y = 0; y < image.height; ++y) {
        const int type = image.filters != nullptr ? image.filters[y] : 0;
        const uint8_t* raw = image.pixels + y * size_t{image.width} * 3;
        if (bpp == 4) {
            join_rgba_row(raw, image.alpha + y * size_t{image.width}, image.width, current);
            raw = current;
        }
        *out++ = static_cast<uint8_t>(type);
        filter_row(type, raw, y == 0 ? nullptr : (bpp == 4 ? previous : raw - length), length, bpp, out);
        out += length;
        std::swap(current, previous);
    }
}

}  // namespace

bool whole_deflate_available() { return true; }

bool whole_deflate(const ScanlineImage& image, int level, std::vector<uint8_t>* out)
{
    uint64_t raw_size = 0;
    if (level < 1 || level > 12 || !scanline_data_size(image, &raw_size) || raw_size > SIZE_MAX / 2) return false;
    if (image.filters != nullptr) {
        for (size_t y = 0; y < image.height; ++y) {
            if (image.filters[y] > kMaxFilterType) return false;
        }
    }
    const size_t length = size_t{image.width} * (image.alpha != nullptr ? 4 : 3);
    std::unique_ptr<uint8_t[]> filtered(new (std::nothrow) uint8_t[static_cast<size_t>(raw_size) + 1]);
    std::unique_ptr<uint8_t[]> rows(new (std::nothrow) uint8_t[2 * length + 1]);
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(libdeflate_alloc_compressor(level));
    if (!filtered || !rows || !compressor) return false;
    filter_scanlines(image, filtered.get(), rows.get());
    const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), static_cast<size_t>(raw_size));
    try {
        out->resize(bound);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const size_t size =
        libdeflate_zlib_compress(compressor.get(), filtered.get(), static_cast<size_t>(raw_size), out->data(), bound);
    if (size == 0) return false;
    out->resize(size);
    return true;
}

#else

bool whole_deflate_available() { return false; }

bool whole_deflate(const ScanlineImage&, int, std::vector<uint8_t>*) { return false; }

#endif

}  // namespace qv::png

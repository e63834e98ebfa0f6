#include "codec/png/whole_deflate.hpp"

#include "codec/png/filtered_rows.hpp"

#ifdef QUORVEX_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <memory>
#include <new>

namespace qv::png {

#ifdef QUORVEX_HAVE_LIBDEFLATE

namespace {

struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

bool whole_deflate_available() { return true; }

bool whole_deflate(const ScanlineImage& image, int level, std::vector<uint8_t>* out)
{
    uint64_t raw_size = 0;
    if (level < 1 || level > 12 || !scanline_data_size(image, &raw_size) || raw_size > SIZE_MAX / 2) return false;
    if (first_bad_filter(image) >= 0) return false;
    const FilteredRows rows(image);
    std::unique_ptr<uint8_t[]> filtered(new (std::nothrow) uint8_t[static_cast<size_t>(raw_size) + 1]);
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(libdeflate_alloc_compressor(level));
    if (!filtered || !compressor) return false;
    rows.read(0, static_cast<size_t>(raw_size), filtered.get());
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

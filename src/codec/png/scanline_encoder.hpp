// The scanline encoder: turns a pixel buffer (and alpha plane) into the filtered scanline
// data of an 8-bit RGB/RGBA PNG and deflates it, so the uncompressed data never exist as a
// whole: with the exact deflater (the reference library's bytes, on as many threads as it is
// given) where it agrees with the library, else with the library itself, row block by row
// block. Pure C++: no Python, safe to run without the GIL.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace qv::png {

class FilteredRows;

struct ScanlineImage {
    const uint8_t* pixels = nullptr;   // width * height * 3 bytes: R, G, B
    const uint8_t* alpha = nullptr;    // width * height bytes, or nullptr for RGB
    const uint8_t* filters = nullptr;  // height filter types, or nullptr (type 0 everywhere)
    uint32_t width = 0;
    uint32_t height = 0;
};

enum class EncodeStatus {
    kOk,
    kBadFilter,    // `detail` holds the filter type byte
    kTooLarge,     // sizes do not fit this platform's counters
    kOutOfMemory,
    kZlibError,    // `detail` holds zlib's return code
};

struct EncodeResult {
    EncodeStatus status = EncodeStatus::kOk;
    int detail = 0;
    size_t compressed_size = 0;
};

// Length of the filtered scanline data: height * (1 + width * bytes per pixel), or false
// when it does not fit 64 bits.
bool scanline_data_size(const ScanlineImage& image, uint64_t* size);

// One deflate stream with zlib's defaults (level -1, 15-bit window, memLevel 8, default
// strategy, zlib wrapper): the same bytes as a one-shot compress of the whole data.
class ScanlineDeflater {
public:
    // `threads`: how many the exact deflater may use (1: the calling thread alone).
    explicit ScanlineDeflater(const ScanlineImage& image, int threads = 1) : image_(image), threads_(threads) {}
    ~ScanlineDeflater();
    ScanlineDeflater(const ScanlineDeflater&) = delete;
    ScanlineDeflater& operator=(const ScanlineDeflater&) = delete;

    // Sets up the stream and works out `capacity()`.
    EncodeResult init();
    // An output size that deflate is guaranteed not to exceed.
    uint64_t capacity() const { return capacity_; }
    // Filters and compresses every row into `out` (at least `capacity()` bytes). Stops at
    // the first row whose filter type is above 4.
    EncodeResult run(uint8_t* out);

private:
    int feed(const uint8_t* data, size_t size, int flush);
    EncodeResult run_zlib(const FilteredRows& rows, uint8_t* out);

    ScanlineImage image_;
    int threads_ = 1;
    z_stream stream_{};
    bool started_ = false;
    uint64_t capacity_ = 0;
    uint8_t* out_end_ = nullptr;
};

}  // namespace qv::png

// What a decoder (PNG or BMP) hands back, and where it puts the image: plain data, no host
// objects. The pixel storage is asked of an OutputBuffers that the caller implements, so the
// binding can hand out the very buffers the image object keeps (no second copy of the image).
#pragma once

#include "codec/bytes.hpp"
#include "codec/status.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace qv {

// The exact sizes a decoder needs, in bytes. A buffer not wanted (no alpha plane, no filter
// types) is not made at all, which differs from a wanted one of 0 bytes.
struct OutputSizes {
    size_t pixels = 0;          // width * height * 3: RGB, top row first
    size_t alpha = 0;           // width * height
    size_t filters = 0;         // one filter type a row (height)
    bool with_alpha = false;    // PNG with 4 bytes a pixel
    bool with_filters = false;  // PNG
    // Room the decoder may use in the pixel buffer while it decodes (0: just `pixels`); once
    // the decode is done the buffer is cut back to `pixels` by OutputBuffers::finish. While
    // it decodes, the decoder may hand pages of that room back to the system (page_release.hpp).
    size_t pixels_capacity = 0;
};

// The storage handed out, valid until the OutputBuffers is gone. A pointer may be null where
// its size is 0.
struct OutputStorage {
    uint8_t* pixels = nullptr;
    uint8_t* alpha = nullptr;
    uint8_t* filters = nullptr;
};

class OutputBuffers {
public:
    virtual ~OutputBuffers() = default;
    // Storage of exactly `sizes`. Called at most once per decode, only once the input is known
    // to be able to fill it. A failure is kNoMemory, or kHostError when the implementation
    // reported its own error.
    virtual Status allocate(const OutputSizes& sizes, OutputStorage* out) = 0;
    // Cuts the pixel buffer back to `sizes.pixels` after a decode that used more room, and
    // should give the memory past it back. Called once, after a successful decode, only when
    // pixels_capacity was above pixels.
    virtual Status finish(const OutputSizes&) { return {}; }
};

// OutputBuffers on the heap, refusing more than `cap` bytes in all (kNoMemory): for the
// native tests and the fuzz targets.
class HeapBuffers final : public OutputBuffers {
public:
    explicit HeapBuffers(size_t cap = SIZE_MAX) : cap_(cap) {}

    Status allocate(const OutputSizes& sizes, OutputStorage* out) override
    {
        sizes_ = sizes;
        const size_t pixels = sizes.pixels_capacity > sizes.pixels ? sizes.pixels_capacity : sizes.pixels;
        const size_t total = pixels + sizes.alpha + sizes.filters;  // each < 2^31
        if (total > cap_) return Status::of(Code::kNoMemory);
        memory_.reset(new (std::nothrow) uint8_t[total + 1]);
        if (!memory_) return Status::of(Code::kNoMemory);
        uint8_t* at = memory_.get();
        *out = OutputStorage{};
        if (pixels > 0) out->pixels = at;
        if (sizes.alpha > 0) out->alpha = at + pixels;
        if (sizes.filters > 0) out->filters = at + pixels + sizes.alpha;
        allocated_ = true;
        return {};
    }

    bool allocated() const { return allocated_; }
    const OutputSizes& sizes() const { return sizes_; }

private:
    size_t cap_;
    std::unique_ptr<uint8_t[]> memory_;
    OutputSizes sizes_{};
    bool allocated_ = false;
};

// The fields a BMP keeps for writing it back.
struct BmpHeaderRecord {
    int32_t xppm = 0;
    int32_t yppm = 0;
    uint32_t clr_used = 0;
    uint32_t clr_important = 0;
};

enum class ImageFormat : uint8_t { kPng, kBmp };

struct DecodedImage {
    ImageFormat format = ImageFormat::kPng;
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 3;   // 3, or 4 with an alpha plane (PNG only)
    OutputSizes sizes;      // of the storage below, as allocated
    OutputStorage storage;  // owned by the OutputBuffers the decoder was given
    size_t chunk_count = 0; // PNG: chunks handed to the chunk recorder, in file order
    BmpHeaderRecord bmp;    // BMP only
};

}  // namespace qv

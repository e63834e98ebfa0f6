#include "codec/png/scanline_encoder.hpp"

#include "codec/deflate/exact_check.hpp"
#include "codec/deflate/exact_deflate.hpp"
#include "codec/limits.hpp"
#include "codec/png/filtered_rows.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace qv::png {

namespace {

constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;
// Below this the library is as quick, and the first save need not check the exact deflater.
constexpr uint64_t kExactFrom = 64 * 1024;

size_t bytes_per_pixel(const ScanlineImage& image) { return image.alpha != nullptr ? 4 : 3; }

std::unique_ptr<uint8_t[]> allocate(size_t size)
{
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]);
}

uInt clamp_uint(size_t n) { return n > UINT_MAX ? UINT_MAX : static_cast<uInt>(n); }

}  // namespace

bool scanline_data_size(const ScanlineImage& image, uint64_t* size)
{
    const uint64_t row = uint64_t{image.width} * bytes_per_pixel(image) + 1;  // < 2^35
    return !__builtin_mul_overflow(row, uint64_t{image.height}, size);
}

ScanlineDeflater::~ScanlineDeflater()
{
    if (started_) deflateEnd(&stream_);
}

EncodeResult ScanlineDeflater::init()
{
    uint64_t raw_size = 0;
    // deflateBound counts in uLong; the rows are indexed in size_t.
    if (!scanline_data_size(image_, &raw_size) || raw_size > ULONG_MAX || raw_size > SIZE_MAX) {
        return {EncodeStatus::kTooLarge};
    }
    const int rc = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kWindowBits, kMemLevel,
                                Z_DEFAULT_STRATEGY);
    if (rc == Z_MEM_ERROR) return {EncodeStatus::kOutOfMemory};
    if (rc != Z_OK) return {EncodeStatus::kZlibError, rc};
    started_ = true;
    capacity_ = deflateBound(&stream_, static_cast<uLong>(raw_size)) + deflate::kOutputSlack;
    return {};
}

// Deflates `size` bytes. Input and output are handed over in pieces that fit zlib's 32-bit
// counters; that does not change the compressed bytes.
int ScanlineDeflater::feed(const uint8_t* data, size_t size, int flush)
{
    stream_.next_in = const_cast<Bytef*>(data);  // zlib never writes through next_in
    for (;;) {
        stream_.avail_in = clamp_uint(size);
        size -= stream_.avail_in;
        const int mode = size != 0 ? Z_NO_FLUSH : flush;
        for (;;) {
            const size_t room = static_cast<size_t>(out_end_ - stream_.next_out);
            if (room == 0) return Z_BUF_ERROR;  // beyond deflateBound: cannot happen
            stream_.avail_out = clamp_uint(room);
            const int rc = ::deflate(&stream_, mode);
            if (rc == Z_STREAM_END) return rc;
            if (rc != Z_OK) return rc;
            if (mode != Z_FINISH && stream_.avail_in == 0) break;
        }
        if (size == 0) return Z_OK;
    }
}

EncodeResult ScanlineDeflater::run(uint8_t* out)
{
    if (!started_) return {EncodeStatus::kZlibError, Z_STREAM_ERROR};
    if (const int bad = first_bad_filter(image_); bad >= 0) return {EncodeStatus::kBadFilter, bad};
    const FilteredRows rows(image_);
    if (rows.size() < kExactFrom || rows.size() > deflate::kMaxExactInput || !deflate::exact_deflate_agrees_with_zlib()) {
        return run_zlib(rows, out);
    }
    deflate::ExactOptions options;
    options.threads = threads_;
    const size_t size = deflate::exact_deflate(rows, options, out, static_cast<size_t>(capacity_));
    if (size == 0) return {EncodeStatus::kOutOfMemory};
    return {EncodeStatus::kOk, 0, size};
}

// The library's own stream, fed row block by row block (the filter types are checked).
EncodeResult ScanlineDeflater::run_zlib(const FilteredRows& rows, uint8_t* out)
{
    out_end_ = out + capacity_;
    stream_.next_out = out;

    // A line is the filter type byte followed by the filtered row. Narrow lines are gathered
    // into blocks, so that deflate (and the loop around it) is called per block, not per row:
    // a tall image of tiny rows costs what its bytes cost.
    const size_t height = image_.height;
    const size_t line_length = (height > 0 ? size_t{image_.width} * bytes_per_pixel(image_) : 0) + 1;
    const size_t block_lines =
        std::min(std::max<size_t>(1, limits::kEncodeBlockSize / line_length), std::max<size_t>(1, height));
    std::unique_ptr<uint8_t[]> block = allocate(block_lines * line_length);
    if (!block) return {EncodeStatus::kOutOfMemory};
    for (size_t y = 0; y < height;) {
        const size_t lines = std::min(block_lines, height - y);
        rows.read(uint64_t{y} * line_length, lines * line_length, block.get());
        y += lines;
        const int rc = feed(block.get(), lines * line_length, Z_NO_FLUSH);
        if (rc != Z_OK) return {EncodeStatus::kZlibError, rc};
    }
    const int rc = feed(nullptr, 0, Z_FINISH);
    if (rc != Z_STREAM_END) return {EncodeStatus::kZlibError, rc};
    return {EncodeStatus::kOk, 0, static_cast<size_t>(stream_.next_out - out)};
}

}  // namespace qv::png

#include "codec/png/scanline_encoder.hpp"

#include "codec/deflate/exact_check.hpp"
#include "codec/deflate/exact_deflate.hpp"
#include "codec/limits.hpp"
#include "codec/png/filtered_rows.hpp"
#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"

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
        return run_zlib(out);
    }
    deflate::ExactOptions options;
    options.threads = threads_;
    const size_t size = deflate::exact_deflate(rows, options, out, static_cast<size_t>(capacity_));
    if (size == 0) return {EncodeStatus::kOutOfMemory};
    return {EncodeStatus::kOk, 0, size};
}

// The library's own stream, fed row block by row block.
EncodeResult ScanlineDeflater::run_zlib(uint8_t* out)
{
    out_end_ = out + capacity_;
    stream_.next_out = out;

    const size_t bpp = bytes_per_pixel(image_);
    const size_t width = image_.width;
    const size_t height = image_.height;
    // No rows, no row buffers: an empty image of any width must not ask for gigabytes.
    const size_t row_length = height > 0 ? width * bpp : 0;
    // A line is the filter type byte followed by the filtered row. Narrow lines are
    // gathered into blocks, so that deflate (and the loop around it) is called per block,
    // not per row: a tall image of tiny rows costs what its bytes cost.
    const size_t line_length = row_length + 1;
    const size_t block_lines =
        std::min(std::max<size_t>(1, limits::kEncodeBlockSize / line_length), std::max<size_t>(1, height));
    std::unique_ptr<uint8_t[]> block = allocate(block_lines * line_length);
    // RGBA rows are assembled into two buffers used in turn (current and previous row);
    // RGB rows are read straight from the pixel buffer.
    std::unique_ptr<uint8_t[]> rgba[2];
    if (image_.alpha != nullptr) {
        rgba[0] = allocate(row_length);
        rgba[1] = allocate(row_length);
        if (!rgba[0] || !rgba[1]) return {EncodeStatus::kOutOfMemory};
    }
    if (!block) return {EncodeStatus::kOutOfMemory};

    const uint8_t* prev = nullptr;
    for (size_t y = 0; y < height;) {
        const size_t lines = std::min(block_lines, height - y);
        uint8_t* line = block.get();
        if (row_length == 0) {
            // Rows without bytes: the lines are the filter types alone.
            if (image_.filters == nullptr) {
                std::memset(line, kNone, lines);
            } else {
                std::memcpy(line, image_.filters + y, lines);
                for (size_t i = 0; i < lines; ++i) {
                    if (line[i] > kMaxFilterType) return {EncodeStatus::kBadFilter, int{line[i]}};
                }
            }
            y += lines;
        } else {
            for (size_t i = 0; i < lines; ++i, ++y, line += line_length) {
                const int type = image_.filters != nullptr ? int{image_.filters[y]} : int{kNone};
                if (type > kMaxFilterType) return {EncodeStatus::kBadFilter, type};
                const uint8_t* row = image_.pixels + y * width * 3;
                if (image_.alpha != nullptr) {
                    uint8_t* assembled = rgba[y & 1].get();
                    join_rgba_row(row, image_.alpha + y * width, width, assembled);
                    row = assembled;
                }
                line[0] = static_cast<uint8_t>(type);
                filter_row(type, row, prev, row_length, bpp, line + 1);
                prev = row;
            }
        }
        const int rc = feed(block.get(), lines * line_length, Z_NO_FLUSH);
        if (rc != Z_OK) return {EncodeStatus::kZlibError, rc};
    }
    const int rc = feed(nullptr, 0, Z_FINISH);
    if (rc != Z_STREAM_END) return {EncodeStatus::kZlibError, rc};
    return {EncodeStatus::kOk, 0, static_cast<size_t>(stream_.next_out - out)};
}

}  // namespace qv::png

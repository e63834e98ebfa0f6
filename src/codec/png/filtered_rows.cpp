#include "codec/png/filtered_rows.hpp"

#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"

#include <algorithm>
#include <cstring>

namespace qv::png {

namespace {

// Rows are filtered a piece of this many pixels at a time, through buffers on the stack.
constexpr size_t kPiecePixels = 2048;
constexpr size_t kMaxBytesPerPixel = 4;

}  // namespace

FilteredRows::FilteredRows(const ScanlineImage& image)
    : image_(image),
      bytes_per_pixel_(image.alpha != nullptr ? 4 : 3),
      row_length_(size_t{image.width} * bytes_per_pixel_)
{
    uint64_t size = 0;
    scanline_data_size(image, &size);
    size_ = size;
}

int first_bad_filter(const ScanlineImage& image)
{
    if (image.filters == nullptr) return -1;
    for (size_t y = 0; y < image.height; ++y) {
        if (image.filters[y] > kMaxFilterType) return image.filters[y];
    }
    return -1;
}

void FilteredRows::read(uint64_t from, size_t count, uint8_t* out) const
{
    const uint64_t line = row_length_ + 1;
    while (count > 0) {
        const auto y = static_cast<size_t>(from / line);
        const auto at = static_cast<size_t>(from % line);
        if (at == 0) {
            *out++ = static_cast<uint8_t>(filter_type(y));
            ++from;
            --count;
            continue;
        }
        const size_t first = at - 1;
        const size_t last = std::min(row_length_, first + count);
        read_row(y, first, last, out);
        out += last - first;
        from += last - first;
        count -= last - first;
    }
}

// A filtered byte depends on its pixel and the one to its left, in its row and the row above:
// each piece is filtered together with the pixel before it (whose own bytes, filtered as if
// nothing were to their left, are dropped).
void FilteredRows::read_row(size_t y, size_t from, size_t to, uint8_t* out) const
{
    const size_t bpp = bytes_per_pixel_;
    const size_t width = image_.width;
    const uint8_t* rgb = image_.pixels + y * width * 3;
    const uint8_t* rgb_above = y > 0 ? rgb - width * 3 : nullptr;
    const uint8_t* alpha = image_.alpha != nullptr ? image_.alpha + y * width : nullptr;
    uint8_t row[(kPiecePixels + 1) * kMaxBytesPerPixel];
    uint8_t above[(kPiecePixels + 1) * kMaxBytesPerPixel];
    uint8_t filtered[(kPiecePixels + 1) * kMaxBytesPerPixel];

    for (size_t pixel = from / bpp; pixel * bpp < to; pixel += kPiecePixels) {
        const size_t end_pixel = std::min(width, pixel + kPiecePixels);
        const size_t window = pixel > 0 ? pixel - 1 : 0;  // the piece and the pixel before it
        const size_t window_bytes = (end_pixel - window) * bpp;
        const uint8_t* current;
        const uint8_t* previous = nullptr;
        if (alpha == nullptr) {
            current = rgb + window * 3;
            if (rgb_above != nullptr) previous = rgb_above + window * 3;
        } else {
            join_rgba_row(rgb + window * 3, alpha + window, end_pixel - window, row);
            current = row;
            if (rgb_above != nullptr) {
                join_rgba_row(rgb_above + window * 3, alpha - width + window, end_pixel - window, above);
                previous = above;
            }
        }
        const size_t piece_from = std::max(from, pixel * bpp);
        const size_t piece_to = std::min(to, end_pixel * bpp);
        if (piece_from == 0 && piece_to == window_bytes) {
            filter_row(filter_type(y), current, previous, window_bytes, bpp, out);  // a whole piece, in place
            continue;
        }
        filter_row(filter_type(y), current, previous, window_bytes, bpp, filtered);
        std::memcpy(out + (piece_from - from), filtered + (piece_from - window * bpp), piece_to - piece_from);
    }
}

}  // namespace qv::png

#include "codec/png/fast_decode.hpp"

#include "codec/deflate/inflate.hpp"
#include "codec/limits.hpp"
#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"
#include "codec/png/row_pair_kernels.hpp"
#include "codec/png/spare_room.hpp"
#include "codec/png/unfilter_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace qv::png {

bool fast_decode_applies(const ScanlineLayout& layout) { return layout.inflated_size() > 0; }

bool fast_decode_in_pixels(const ScanlineLayout& layout) { return layout.row_length() > 0; }

namespace {

// The index of the first filter type above the highest, or `n`: blocks are tested with a loop
// the compiler vectorises, and only a block with a hit is searched.
size_t first_bad_filter(const uint8_t* types, size_t n)
{
    constexpr size_t kBlock = 4096;
    for (size_t start = 0; start < n; start += kBlock) {
        const size_t end = std::min(n, start + kBlock);
        unsigned any = 0;
        for (size_t i = start; i < end; ++i) any |= types[i] > kMaxFilterType ? 1u : 0u;
        if (any == 0) continue;
        for (size_t i = start; i < end; ++i) {
            if (types[i] > kMaxFilterType) return i;
        }
    }
    return n;
}

}  // namespace

FastDecode fast_decode(std::span<const ByteSpan> pieces, const ScanlineLayout& layout, const RowTargets& targets,
                       int* bad_filter)
{
    // The stream as one span: the piece itself, or one copy of the pieces joined.
    std::unique_ptr<uint8_t[]> joined;
    ByteSpan stream;
    if (pieces.size() == 1) {
        stream = pieces[0];
    } else {
        size_t total = 0;
        for (const ByteSpan& piece : pieces) total += piece.size();
        joined.reset(new (std::nothrow) uint8_t[total + 1]);
        if (!joined) return FastDecode::kNotTaken;
        size_t at = 0;
        for (const ByteSpan& piece : pieces) {
            if (!piece.empty()) std::memcpy(joined.get() + at, piece.data(), piece.size());
            at += piece.size();
        }
        stream = {joined.get(), total};
    }

    const auto height = static_cast<size_t>(layout.height);
    const auto width = static_cast<size_t>(layout.width);
    const auto row_length = static_cast<size_t>(layout.row_length());
    const auto inflated = static_cast<size_t>(layout.inflated_size());
    const bool rgba = layout.bytes_per_pixel == 4;
    if (!fast_decode_in_pixels(layout)) {
        if (!deflate::inflate_zlib_exact(stream, {targets.filters, inflated})) return FastDecode::kNotTaken;
        const size_t bad = first_bad_filter(targets.filters, inflated);
        if (bad == inflated) return FastDecode::kDone;
        *bad_filter = targets.filters[bad];
        return FastDecode::kBadFilter;
    }
    // Rows are rebuilt through two small buffers; the previous row stays in the other one.
    std::unique_ptr<uint8_t[]> rows(new (std::nothrow) uint8_t[2 * row_length + 1]);
    if (!rows) return FastDecode::kNotTaken;
    uint8_t* data = targets.rgb;
    if (!deflate::inflate_zlib_exact(stream, {data, inflated})) return FastDecode::kNotTaken;
    joined.reset();

    // Row y's filtered bytes start at y * (row_length + 1) + 1, its RGB pixels at y * width * 3:
    // each row is rebuilt into a small buffer and copied or split to its place, which lies
    // wholly before the rows still to be read.
    SpareRoom spare(data, width * 3, row_length + 1, width);
    uint8_t* current = rows.get();
    uint8_t* previous = rows.get() + row_length;
    auto place = [&](size_t y, const uint8_t* row) {
        if (rgba) {
            split_rgba_row(row, width, targets.rgb + y * width * 3, targets.alpha + y * width);
        } else {
            std::memcpy(data + y * row_length, row, row_length);
        }
    };
    const bool pairs = row_length > 0 && pairs_supported(layout.bytes_per_pixel);
    for (size_t y = 0; y < height;) {
        const uint8_t* scanline = data + y * (row_length + 1);
        const int type = scanline[0];
        if (type > kMaxFilterType) {
            *bad_filter = type;
            return FastDecode::kBadFilter;
        }
        targets.filters[y] = static_cast<uint8_t>(type);
        if (row_length == 0) {
            ++y;
            continue;
        }
        if (rgba) spare.rows_done(y);
        // Below the first row, two rows at a time where the pair kernels apply (the lower row
        // overwrites the upper one's row above, which it reads first).
        const uint8_t* next = scanline + row_length + 1;
        if (pairs && y > 0 && y + 1 < height && next[0] <= kMaxFilterType) {
            targets.filters[y + 1] = next[0];
            reconstruct_pair(type, next[0], scanline + 1, next + 1, previous, row_length, layout.bytes_per_pixel,
                             current, previous);
            place(y, current);
            place(y + 1, previous);
            y += 2;
            continue;
        }
        reconstruct_row(type, scanline + 1, y == 0 ? nullptr : previous, row_length, layout.bytes_per_pixel, current);
        place(y, current);
        std::swap(current, previous);
        ++y;
    }
    return FastDecode::kDone;
}

}  // namespace qv::png

// The room RGBA rows leave behind when they are split out of a pixel buffer that holds their
// filtered data. Row y's filtered bytes start at y * scanline_pitch, its RGB pixels at
// y * pixel_pitch: between the pixels placed and the rows still to read lies room that nothing
// needs, a quarter of each row (its alpha went to its own plane). The alpha plane fills as the
// rows go; so that it and the pixel buffer never both hold their full size in memory, room is
// handed back to the system as the plane grows past an allowance, from the top of that room
// (the pixels reach it last, and what lies past the image's pixels they never reach). Every
// page handed back costs a fault when the pixels reach it, so no more is given than needed.
#pragma once

#include "codec/limits.hpp"
#include "codec/page_release.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qv::png {

class SpareRoom {
public:
    SpareRoom(uint8_t* data, size_t pixel_pitch, size_t scanline_pitch, size_t alpha_pitch)
        : data_(data), pixel_pitch_(pixel_pitch), scanline_pitch_(scanline_pitch), alpha_pitch_(alpha_pitch)
    {
    }

    // Called before row `rows_done` is read, every row before it placed.
    void rows_done(size_t rows_done)
    {
        uint8_t* placed_end = data_ + rows_done * pixel_pitch_;
        forget_reached(placed_end);
        const size_t alpha = rows_done * alpha_pitch_;
        if (alpha <= held_ + limits::kAlphaAllowance) return;
        const size_t wanted = alpha - held_ - limits::kAlphaAllowance + limits::kReleaseBlock;
        uint8_t* unread = data_ + rows_done * scanline_pitch_;
        uint8_t* from = count_ == 0 ? placed_end : ranges_[(first_ + count_ - 1) % kRanges].end;
        if (from < placed_end) from = placed_end;
        // A block at a time: a call per row once behind would cost more than the memory.
        if (unread <= from || static_cast<size_t>(unread - from) < limits::kReleaseBlock) return;
        if (static_cast<size_t>(unread - from) > wanted) from = unread - wanted;
        if (count_ == kRanges) return;  // never at these block sizes; the room then stays resident
        const MutableByteSpan released = release_pages(from, static_cast<size_t>(unread - from));
        if (released.empty()) return;
        ranges_[(first_ + count_) % kRanges] = {released.data(), released.data() + released.size()};
        ++count_;
        held_ += released.size();
    }

private:
    struct Range {
        uint8_t* begin;
        uint8_t* end;
    };

    // Pages below `placed_end` have come back (or will, as the row being written reaches them).
    void forget_reached(uint8_t* placed_end)
    {
        while (count_ > 0) {
            Range& oldest = ranges_[first_];
            if (oldest.begin >= placed_end) return;
            uint8_t* reached = oldest.end < placed_end ? oldest.end : placed_end;
            held_ -= static_cast<size_t>(reached - oldest.begin);
            oldest.begin = reached;
            if (oldest.begin < oldest.end) return;
            first_ = (first_ + 1) % kRanges;
            --count_;
        }
    }

    // Ranges held lie between the pixels placed and the rows unread, oldest (lowest) first.
    static constexpr size_t kRanges = 256;

    uint8_t* data_;
    size_t pixel_pitch_;
    size_t scanline_pitch_;
    size_t alpha_pitch_;
    std::array<Range, kRanges> ranges_{};
    size_t first_ = 0;
    size_t count_ = 0;
    size_t held_ = 0;  // bytes handed back that the pixels have not reached yet
};

}  // namespace qv::png

#include "codec/png/row_inflater.hpp"

#include "codec/limits.hpp"
#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"
#include "codec/png/row_pair_kernels.hpp"
#include "codec/png/unfilter_kernels.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace qv::png {

namespace {

constexpr size_t kStageTarget = limits::kInflateStage;
constexpr size_t kDrainSize = limits::kInflateDrain;
// Rows of at most this many bytes are rebuilt by a plain loop over the stage: the pixel
// kernels' set-up would cost more than the row itself.
constexpr size_t kNarrowRow = 16;

// Rebuilds rows out of the inflated bytes, which zlib writes straight into `stage_`. The stage
// holds a whole number of scanlines, so a scanline never straddles its end and is never
// copied. Once every row is built, or one is refused, inflate writes into a large drain
// buffer whose bytes are counted and dropped.
class RowBuilder {
public:
    RowBuilder(const ScanlineLayout& layout, const RowTargets* targets)
        : width_(static_cast<size_t>(layout.width)),
          height_(static_cast<size_t>(layout.height)),
          bpp_(static_cast<size_t>(layout.bytes_per_pixel)),
          row_length_(width_ * bpp_),
          scan_length_(row_length_ + 1),
          targets_(targets != nullptr ? *targets : RowTargets{}),
          building_(targets != nullptr && height_ > 0)
    {
    }

    bool allocate()
    {
        size_t stage = kStageTarget;
        size_t rows = 0;
        if (building_) {
            // No more than the image holds: a small image should not pay for a large stage.
            stage = std::clamp<size_t>(kStageTarget / scan_length_, 1, height_) * scan_length_;
            if (bpp_ != 3) rows = 2 * row_length_;  // the row being split and the one above it
        }
        memory_.reset(new (std::nothrow) uint8_t[stage + rows]);
        if (!memory_) return false;
        stage_ = memory_.get();
        capacity_ = stage;
        recon_ = stage_ + stage;
        prev_ = recon_ + row_length_;
        if (!building_) start_draining();
        return true;
    }

    uint8_t* out() const { return building_ ? stage_ + filled_ : drain_; }
    // Never 0: a full stage is emptied as soon as it is filled. Bounded by one scanline
    // (under 2^31 bytes) or the stage target, so it fits zlib's counters.
    size_t room() const { return building_ ? capacity_ - filled_ : drain_size_; }
    int bad_filter() const { return bad_filter_; }

    // zlib wrote `n` more bytes at out().
    void wrote(size_t n)
    {
        if (!building_) return;
        filled_ += n;
        if (row_length_ <= kNarrowRow) {
            build_narrow_rows();
        } else {
            while (building_ && filled_ - consumed_ >= scan_length_) {
                if (filled_ - consumed_ >= 2 * scan_length_ && build_pair(stage_ + consumed_)) {
                    consumed_ += 2 * scan_length_;
                    continue;
                }
                build_row(stage_ + consumed_);
                consumed_ += scan_length_;
            }
        }
        if (!building_ || filled_ == capacity_) filled_ = consumed_ = 0;
        if (!building_) start_draining();
    }

private:
    // The drain is the stage itself when that is large enough; else a buffer of its own,
    // made only once the rows are done (a small image that ends on time never needs it).
    void start_draining()
    {
        if (drain_ != nullptr) return;
        drain_ = stage_;
        drain_size_ = capacity_;
        if (capacity_ >= kDrainSize) return;
        drain_memory_.reset(new (std::nothrow) uint8_t[kDrainSize]);
        if (!drain_memory_) return;  // the stage still works, only slower
        drain_ = drain_memory_.get();
        drain_size_ = kDrainSize;
    }

    // Every whole scanline in the stage, for rows too short for the pixel kernels. Rows of
    // no bytes are their filter types alone: copied and checked as one block.
    void build_narrow_rows()
    {
        const size_t rows = std::min((filled_ - consumed_) / scan_length_, height_ - row_);
        const uint8_t* scanline = stage_ + consumed_;
        consumed_ += rows * scan_length_;
        if (row_length_ == 0) {
            const size_t bad = first_bad_filter(scanline, rows);
            std::memcpy(targets_.filters + row_, scanline, std::min(bad + 1, rows));
            if (bad < rows) {
                bad_filter_ = scanline[bad];
                building_ = false;
                return;
            }
            row_ += rows;
            if (row_ == height_) building_ = false;
            return;
        }
        for (size_t i = 0; i < rows && building_; ++i, scanline += scan_length_) {
            const int type = scanline[0];
            if (!take_filter_type(type)) return;
            uint8_t* recon = bpp_ == 3 ? targets_.rgb + row_ * row_length_ : recon_;
            const uint8_t* prev = row_ == 0 ? nullptr : (bpp_ == 3 ? recon - row_length_ : prev_);
            unfilter_row_scalar(type, scanline + 1, prev, row_length_, bpp_, recon);
            if (bpp_ != 3) {
                split_rgba_row(recon_, width_, targets_.rgb + row_ * width_ * 3, targets_.alpha + row_ * width_);
                std::swap(recon_, prev_);
            }
            if (++row_ == height_) building_ = false;
        }
    }

    // The index of the first byte above the highest filter type, or `n`. Blocks are tested
    // with a loop the compiler vectorises; only a block with a hit is searched.
    static size_t first_bad_filter(const uint8_t* bytes, size_t n)
    {
        constexpr size_t kBlock = 4096;
        for (size_t start = 0; start < n; start += kBlock) {
            const size_t end = std::min(n, start + kBlock);
            unsigned any = 0;
            for (size_t i = start; i < end; ++i) any |= bytes[i] > kMaxFilterType ? 1u : 0u;
            if (any == 0) continue;
            for (size_t i = start; i < end; ++i) {
                if (bytes[i] > kMaxFilterType) return i;
            }
        }
        return n;
    }

    // Two rows at once where the pair kernels apply (neither the first row of the image nor a
    // bad filter type among the two); false leaves both to build_row.
    bool build_pair(const uint8_t* scanlines)
    {
        const uint8_t* second = scanlines + scan_length_;
        if (!pairs_supported(bpp_) || row_ == 0 || row_ + 2 > height_ || scanlines[0] > kMaxFilterType ||
            second[0] > kMaxFilterType) {
            return false;
        }
        targets_.filters[row_] = scanlines[0];
        targets_.filters[row_ + 1] = second[0];
        if (bpp_ == 3) {
            uint8_t* upper = targets_.rgb + row_ * row_length_;
            reconstruct_pair(scanlines[0], second[0], scanlines + 1, second + 1, upper - row_length_, row_length_,
                             bpp_, upper, upper + row_length_);
        } else {
            // The lower row replaces the row above the pair, which the upper one reads first.
            reconstruct_pair(scanlines[0], second[0], scanlines + 1, second + 1, prev_, row_length_, bpp_, recon_,
                             prev_);
            split_rgba_row(recon_, width_, targets_.rgb + row_ * width_ * 3, targets_.alpha + row_ * width_);
            split_rgba_row(prev_, width_, targets_.rgb + (row_ + 1) * width_ * 3, targets_.alpha + (row_ + 1) * width_);
        }
        row_ += 2;
        if (row_ == height_) building_ = false;
        return true;
    }

    // Notes the current row's filter type; a type above 4 stops the rebuild (false).
    bool take_filter_type(int type)
    {
        targets_.filters[row_] = static_cast<uint8_t>(type);
        if (type <= kMaxFilterType) return true;
        bad_filter_ = type;
        building_ = false;
        return false;
    }

    void build_row(const uint8_t* scanline)
    {
        const int type = scanline[0];
        if (!take_filter_type(type)) return;
        const uint8_t* filtered = scanline + 1;
        if (bpp_ == 3) {
            // An RGB row is its pixel row; the row above it is the previous one rebuilt.
            uint8_t* recon = targets_.rgb + row_ * row_length_;
            reconstruct_row(type, filtered, row_ == 0 ? nullptr : recon - row_length_, row_length_, bpp_, recon);
        } else {
            reconstruct_row(type, filtered, row_ == 0 ? nullptr : prev_, row_length_, bpp_, recon_);
            split_rgba_row(recon_, width_, targets_.rgb + row_ * width_ * 3, targets_.alpha + row_ * width_);
            std::swap(recon_, prev_);
        }
        if (++row_ == height_) building_ = false;
    }

    const size_t width_;
    const size_t height_;
    const size_t bpp_;
    const size_t row_length_;
    const size_t scan_length_;
    const RowTargets targets_;
    bool building_;
    std::unique_ptr<uint8_t[]> memory_;
    uint8_t* stage_ = nullptr;
    size_t capacity_ = 0;
    size_t filled_ = 0;    // bytes zlib has written into the stage
    size_t consumed_ = 0;  // of those, bytes already built into rows
    uint8_t* recon_ = nullptr;
    uint8_t* prev_ = nullptr;
    size_t row_ = 0;
    int bad_filter_ = -1;
    std::unique_ptr<uint8_t[]> drain_memory_;
    uint8_t* drain_ = nullptr;
    size_t drain_size_ = 0;
};

struct ZStream {
    z_stream z{};
    bool live = false;
    ~ZStream()
    {
        if (live) inflateEnd(&z);
    }
};

// Drives zlib the way one-shot decompression does: inflate until the output room is not
// used up, with the output going to the row builder.
class Pump {
public:
    Pump(ZStream& stream, RowBuilder& rows, InflateOutcome& outcome) : zs_(stream), rows_(rows), outcome_(outcome) {}

    // False once the stream has ended or failed.
    bool run(int flush)
    {
        z_stream& z = zs_.z;
        do {
            const size_t room = rows_.room();
            z.next_out = rows_.out();
            z.avail_out = static_cast<uInt>(room);
            code_ = inflate(&z, flush);
            const size_t produced = room - z.avail_out;
            outcome_.inflated += produced;
            rows_.wrote(produced);
            if (code_ == Z_STREAM_END) {
                ended_ = true;
                return false;
            }
            if (code_ != Z_OK && code_ != Z_BUF_ERROR) return false;
        } while (z.avail_out == 0);
        return true;
    }

    bool ended() const { return ended_; }
    int code() const { return code_; }

private:
    ZStream& zs_;
    RowBuilder& rows_;
    InflateOutcome& outcome_;
    int code_ = Z_OK;
    bool ended_ = false;
};

// Feeds every piece in order; false when the stream ended or failed on the way.
bool feed(std::span<const ByteSpan> pieces, ZStream& zs, Pump& pump)
{
    for (const ByteSpan& piece : pieces) {
        const uint8_t* in = piece.data();
        size_t left = piece.size();
        while (left > 0) {
            const auto chunk = static_cast<uInt>(std::min<size_t>(left, UINT_MAX));
            zs.z.next_in = const_cast<Bytef*>(in);
            zs.z.avail_in = chunk;
            const bool more = pump.run(Z_NO_FLUSH);
            const size_t used = chunk - zs.z.avail_in;
            if (!more) return false;
            // zlib returns with room to spare only once its input is used up; should it not,
            // stop feeding rather than spin: the finish then reports the stream as cut short.
            if (used == 0) return true;
            in += used;
            left -= used;
        }
    }
    return true;
}

// zlib's failure as the host's zlib binding reports it: zlib's own message, or the binding's
// wording for the codes zlib leaves without one.
InflateOutcome zlib_failure(InflateOutcome outcome, int code, const char* message, bool preparing)
{
    if (code == Z_MEM_ERROR) {
        outcome.status = Status::of(Code::kZlibNoMemory);
        return outcome;
    }
    if (message == nullptr && code == Z_BUF_ERROR) message = "incomplete or truncated stream";
    if (message == nullptr && code == Z_STREAM_ERROR) message = "inconsistent stream state";
    if (message == nullptr && code == Z_DATA_ERROR) message = "invalid input data";
    outcome.status = Status{Code::kZlibError, code, message, preparing};
    return outcome;
}

}  // namespace

InflateOutcome inflate_rows(std::span<const ByteSpan> pieces, const ScanlineLayout& layout, const RowTargets* targets)
{
    InflateOutcome outcome;
    RowBuilder rows(layout, targets);
    if (!rows.allocate()) {
        outcome.status = Status::of(Code::kNoMemory);
        return outcome;
    }

    ZStream zs;
    const int init = inflateInit(&zs.z);
    if (init != Z_OK) return zlib_failure(outcome, init, zs.z.msg, true);
    zs.live = true;

    Pump pump(zs, rows, outcome);
    if (feed(pieces, zs, pump)) {
        // All input given and the stream not ended: finish as one-shot decompression does.
        zs.z.next_in = nullptr;
        zs.z.avail_in = 0;
        pump.run(Z_FINISH);
    }
    if (!pump.ended()) return zlib_failure(outcome, pump.code(), zs.z.msg, false);

    if (outcome.inflated != layout.inflated_size() || targets == nullptr) {
        outcome.status = Status::of(Code::kMalformedData);
    } else if (rows.bad_filter() >= 0) {
        outcome.status = Status::of(Code::kBadFilter, rows.bad_filter());
    }
    return outcome;
}

}  // namespace qv::png

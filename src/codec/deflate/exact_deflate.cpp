#include "codec/deflate/exact_deflate.hpp"

#include "codec/deflate/block_writer.hpp"
#include "codec/deflate/lazy_parser.hpp"
#include "codec/deflate/segmented_deflate.hpp"
#include "codec/deflate/zlib_stream.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

namespace qv::deflate {

namespace {

// Input is read this much at a time; the buffer keeps what a stored block may still need
// behind the parse (the reference can store a block while its start is in its 64 KiB window).
constexpr size_t kChunk = size_t{1} << 20;
constexpr size_t kKeep = 2 * kHistory + 2 * kMinLookahead;

// Below this size a single parse is quicker than starting threads.
constexpr uint64_t kParallelFrom = uint64_t{1} << 19;

template <typename T>
std::unique_ptr<T[]> allocate(size_t count)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// The position at which the reference flushes a block whose last token starts at
// `last_start`: it tallies a literal while deciding the position after it, and a match while
// deciding the position after its first byte.
uint64_t flush_position(uint64_t last_start) { return last_start + 1; }

// One parse from the start to the end, streaming the input through a buffer and writing each
// block as soon as it is complete.
class Streamer {
public:
    Streamer(const Input& input, uint8_t* out) : input_(input), total_(input.size()), out_(out), writer_(out + 2) {}

    bool run()
    {
        buffer_ = allocate<uint8_t>(kKeep + kMinLookahead + std::min<uint64_t>(kChunk, total_) + kReadAhead);
        tokens_ = allocate<Token>(kBlockSymbols);
        parser_ = std::unique_ptr<LazyParser>(new (std::nothrow) LazyParser);
        if (!buffer_ || !tokens_ || !parser_) return false;
        write_header(out_);
        parser_->restart(0, total_);
        adler_ = static_cast<uint32_t>(adler32(0, nullptr, 0));
        refill();
        for (;;) {
            const DataView view = current_view();
            const size_t got = parser_->run(view, UINT64_MAX, tokens_.get() + count_, kBlockSymbols - count_);
            note_tokens(got);
            if (count_ == kBlockSymbols) {
                write_block(false);
                continue;
            }
            if (filled_end_ < total_) {
                refill();
                continue;
            }
            note_tokens(parser_->finish(view, tokens_.get() + count_));
            write_block(true);
            break;
        }
        writer_.flush();
        size_ = write_trailer(out_, kHeaderBits + writer_.bit_count(), adler_);
        return true;
    }

    size_t size() const { return size_; }

private:
    DataView current_view() const { return DataView::over(buffer_.get(), buffer_start_, filled_end_, total_); }

    // Moves what the parse still needs to the front and reads the next chunk. Bytes further
    // back than kKeep are never stored again: a block that starts there has left the
    // reference's window by the time it is flushed.
    void refill()
    {
        const uint64_t position = parser_->state().position;
        const uint64_t keep_from = std::max(buffer_start_, position >= kKeep ? position - kKeep : 0);
        const size_t kept = static_cast<size_t>(filled_end_ - keep_from);
        if (kept != 0 && keep_from != buffer_start_) {
            std::memmove(buffer_.get(), buffer_.get() + (keep_from - buffer_start_), kept);
        }
        buffer_start_ = keep_from;
        const size_t count = static_cast<size_t>(std::min<uint64_t>(kChunk, total_ - filled_end_));
        uint8_t* into = buffer_.get() + kept;
        input_.read(filled_end_, count, into);
        adler_ = static_cast<uint32_t>(adler32(adler_, into, static_cast<uInt>(count)));
        filled_end_ += count;
    }

    void note_tokens(size_t got) { count_ += got; }

    // Flushes the open block, whose tokens cover the bytes from block_start_ on; a block
    // flushed before the end goes at the position after its last token's first byte (see
    // flush_position).
    void write_block(bool last)
    {
        block_end_ = block_start_ + covered(tokens_.get(), count_);
        const uint64_t flush_at = last ? total_ : flush_position(block_end_ - token_length(tokens_[count_ - 1]));
        // A block the reference can still store starts in its window, which the buffer holds.
        const bool storable = block_start_ >= window_start(flush_at, total_) && block_start_ >= buffer_start_;
        BlockPlan plan;
        plan_block(tokens_.get(), count_, storable, static_cast<size_t>(block_end_ - block_start_), last, &plan);
        deflate::write_block(plan, storable ? buffer_.get() + (block_start_ - buffer_start_) : nullptr, writer_);
        count_ = 0;
        block_start_ = block_end_;
    }

    const Input& input_;
    uint64_t total_;
    uint8_t* out_;
    BitWriter writer_;
    std::unique_ptr<uint8_t[]> buffer_;
    std::unique_ptr<Token[]> tokens_;
    std::unique_ptr<LazyParser> parser_;
    uint64_t buffer_start_ = 0;
    uint64_t filled_end_ = 0;
    size_t count_ = 0;          // tokens of the open block
    uint64_t block_start_ = 0;  // the bytes the open block covers
    uint64_t block_end_ = 0;
    uint32_t adler_ = 1;
    size_t size_ = 0;
};

}  // namespace

size_t exact_deflate(const Input& input, const ExactOptions& options, uint8_t* out, size_t capacity)
{
    const uint64_t size = input.size();
    if (size > kMaxExactInput) return 0;
    // Nothing leaves as an exception: the binding that calls this is built without them.
    try {
        if (options.threads > 1 && (size >= kParallelFrom || options.segment_size != 0)) {
            return segmented_deflate(input, options.threads, options.segment_size, out, capacity);
        }
        Streamer streamer(input, out);
        if (!streamer.run()) return 0;
        return streamer.size();
    } catch (const std::exception&) {  // memory, or a thread the system would not make
        return 0;
    }
}

}  // namespace qv::deflate

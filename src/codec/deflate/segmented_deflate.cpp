#include "codec/deflate/segmented_deflate.hpp"

#include "codec/deflate/block_writer.hpp"
#include "codec/deflate/lazy_parser.hpp"
#include "codec/deflate/work_team.hpp"
#include "codec/deflate/zlib_stream.hpp"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

namespace qv::deflate {

namespace {

// Segments parsed at once, for each thread: enough that a thread seldom waits for the slowest
// one; few, since each holds its bytes and its tokens (4 bytes a symbol) until they are merged.
constexpr size_t kSegmentsPerThread = 2;

// Unless a size is asked for, a segment is made to give about this many tokens, judged by what
// the last wave gave, within these bounds: its tokens take 512 KiB however well the data
// compress, and filling its chains with the 32 KiB before it costs little. The first wave,
// with nothing to judge by, has the smallest.
constexpr size_t kSegmentTokens = size_t{1} << 17;
constexpr uint64_t kSmallestSegment = 4 * kHistory;
constexpr uint64_t kLargestSegment = 32 * kHistory;

// A parse that takes up another parse's state past a cut, until it meets the later segment's
// own parse.
struct Join {
    std::vector<Token> tokens;  // up to and including the match where it met
    bool met = false;
    size_t resume_at = 0;       // the later segment's tokens from here on follow the meeting
    ParseState end_state;       // where it stopped when it did not meet
    std::unique_ptr<LazyParser> parser;  // ... and the parser, to go on with
    bool has_final = false;     // at the end of the data: the byte still waiting
    Token final_literal = 0;
};

struct Segment {
    uint64_t start = 0;
    uint64_t end = 0;
    std::unique_ptr<uint8_t[]> bytes;  // from bytes_start to view_end, then kReadAhead more
    size_t bytes_room = 0;
    uint64_t bytes_start = 0;
    uint64_t view_end = 0;
    std::unique_ptr<Token[]> tokens;  // this segment's own parse, from `start`
    size_t token_room = 0;
    size_t token_count = 0;
    ParseState end_state;       // where it stopped: the first position at or past `end`
    bool has_final = false;
    Token final_literal = 0;
    uint32_t adler = 1;
    std::unique_ptr<LazyParser> parser;  // left where it stopped, for the join into the next segment
    Join join;                  // the previous segment's parse going on into this one

    DataView view(uint64_t total) const { return DataView::over(bytes.get(), bytes_start, view_end, total); }
};

struct Block {
    std::vector<Token> tokens;
    uint64_t start = 0;  // the bytes it covers
    uint64_t end = 0;
    uint64_t flushed_at = 0;  // the position being decided when the reference flushes it
    bool last = false;
    BlockPlan plan;
    std::vector<uint8_t> bits;  // the block coded from bit 0; a stored block's bytes
};

// The size of the next wave's segments, from the bytes and tokens of the last one.
uint64_t segment_size_after(uint64_t bytes, uint64_t tokens)
{
    const uint64_t wanted = tokens == 0 ? kLargestSegment : bytes * kSegmentTokens / tokens;
    return std::clamp(wanted, kSmallestSegment, kLargestSegment);
}

class SegmentedDeflater {
public:
    SegmentedDeflater(const Input& input, int threads, uint64_t segment_size, uint8_t* out)
        : input_(input),
          total_(input.size()),
          team_(threads),
          out_(out),
          asked_size_(segment_size),
          segment_size_(segment_size != 0 ? segment_size : kSmallestSegment),
          writer_(out + 2)
    {
        wave_ = static_cast<size_t>(kSegmentsPerThread * team_.size());
    }

    size_t run()
    {
        write_header(out_);
        block_.reserve(kBlockSymbols);
        uint64_t first = 0;  // segments cut before this wave
        do {
            const size_t count = cut_wave();
            parsed_.reset(new std::atomic<bool>[count]());
            joined_.reset(new std::atomic<bool>[count]());
            if (!lay_out_wave()) return 0;
            // The wave's parses and joins, and the coding of the last wave's blocks, all at once.
            team_.for_each(count + coding_.size(), [&](size_t i) {
                if (i >= count) return code_block(coding_[i - count]);
                parse_segment(wave_segments_[i]);
                parsed_[i].store(true);
                try_join(first, i);
                if (i + 1 < count) try_join(first, i + 1);
            });
            place_blocks();
            if (!merge(first)) return 0;
            previous_end_ = wave_segments_.back().end_state;
            previous_parser_ = std::move(wave_segments_.back().parser);
            if (asked_size_ == 0) segment_size_ = segment_size_after(wave_bytes(), wave_tokens());
            keep_spares();  // the blocks hold their own tokens
            wave_segments_.clear();
            hand_blocks_on();
            first += count;
        } while (wave_segments_end_ < total_);
        finish_blocks();
        hand_blocks_on();
        team_.for_each(coding_.size(), [&](size_t i) { code_block(coding_[i]); });
        place_blocks();
        writer_.flush();
        return write_trailer(out_, kHeaderBits + writer_.bit_count(), adler_);
    }

private:
    // Cuts the next wave's segments from where the last wave's ended, each of the current size;
    // the last wave shares what is left evenly among as many segments as it can (whole rounds
    // of threads), so that no thread waits long for the one with the most.
    size_t cut_wave()
    {
        const uint64_t from = wave_segments_end_;
        const uint64_t left = total_ - from;
        const uint64_t round = team_.size();
        uint64_t count = wave_;
        uint64_t size = segment_size_;
        if (left <= wave_ * segment_size_ + segment_size_ / 2) {  // the last wave, as wide as it can be
            const uint64_t smallest = std::min(segment_size_, kSmallestSegment);
            count = std::clamp<uint64_t>(left / smallest, 1, wave_);
            if (count > round) count -= count % round;
            size = 0;
        }
        wave_segments_.clear();
        wave_segments_.resize(static_cast<size_t>(count));
        for (uint64_t k = 0; k < count; ++k) {
            Segment& s = wave_segments_[static_cast<size_t>(k)];
            s.start = size != 0 ? from + k * size : from + left * k / count;
            s.end = size != 0 ? s.start + size : from + left * (k + 1) / count;
        }
        wave_segments_end_ = wave_segments_.back().end;
        return static_cast<size_t>(count);
    }

    uint64_t wave_bytes() const { return wave_segments_.back().end - wave_segments_.front().start; }

    uint64_t wave_tokens() const
    {
        uint64_t tokens = 0;
        for (const Segment& s : wave_segments_) tokens += s.token_count;
        return tokens;
    }

    // Joins segment i of the wave (the previous segment's parse going on into it) once both
    // parses are done: the thread that finishes the second of the two does it. The wave's
    // first segment continues the last wave's parse, which is only the right one when that
    // wave ended on its own parse.
    void try_join(uint64_t first, size_t i)
    {
        if (first + i == 0) return;
        if (i == 0 ? carrying_ : !parsed_[i - 1].load()) return;
        if (!parsed_[i].load() || joined_[i].exchange(true)) return;
        if (i > 0) {
            Segment& before = wave_segments_[i - 1];
            join(before.end_state, std::move(before.parser), wave_segments_[i], wave_segments_[i].join);
        } else {
            join(previous_end_, std::move(previous_parser_), wave_segments_[i], wave_segments_[i].join);
        }
    }

    // Gives the wave's segments their places and their memory, from what earlier waves left
    // (fresh memory costs a page fault a page; the same few buffers serve the whole save).
    bool lay_out_wave()
    {
        for (Segment& s : wave_segments_) {
            s.bytes_start = s.start - std::min<uint64_t>(s.start, kHistory);
            s.view_end = std::min(total_, s.end + kMinLookahead);
            const auto bytes = static_cast<size_t>(s.view_end - s.bytes_start) + kReadAhead;
            const size_t tokens = static_cast<size_t>(s.end - s.start) + kMinLookahead;  // one a position, and a few past the end
            if (!take_spare(spare_bytes_, bytes, &s.bytes, &s.bytes_room)
                || !take_spare(spare_tokens_, tokens, &s.tokens, &s.token_room)) {
                return false;
            }
            if (spare_parsers_.empty()) {
                s.parser.reset(new (std::nothrow) LazyParser);
                if (!s.parser) return false;
            } else {
                s.parser = std::move(spare_parsers_.back());
                spare_parsers_.pop_back();
            }
        }
        return true;
    }

    template <typename T>
    static bool take_spare(std::vector<std::pair<std::unique_ptr<T[]>, size_t>>& spares, size_t size,
                           std::unique_ptr<T[]>* out, size_t* room)
    {
        if (!spares.empty() && spares.back().second >= size) {
            *out = std::move(spares.back().first);
            *room = spares.back().second;
            spares.pop_back();
            return true;
        }
        if (!spares.empty()) spares.pop_back();  // too small: a larger one replaces it
        out->reset(new (std::nothrow) T[size]);
        *room = size;
        return *out != nullptr;
    }

    // The wave's memory back to the spares, parsers included wherever the joins left them.
    void keep_spares()
    {
        for (Segment& s : wave_segments_) {
            spare_bytes_.emplace_back(std::move(s.bytes), s.bytes_room);
            spare_tokens_.emplace_back(std::move(s.tokens), s.token_room);
            if (s.parser) spare_parsers_.push_back(std::move(s.parser));
            if (s.join.parser) spare_parsers_.push_back(std::move(s.join.parser));
        }
    }

    // Reads the segment's bytes (with the 32 KiB before it and the lookahead after it) and
    // parses them from a fresh start.
    void parse_segment(Segment& s)
    {
        const auto size = static_cast<size_t>(s.view_end - s.bytes_start);
        input_.read(s.bytes_start, size, s.bytes.get());
        std::memset(s.bytes.get() + size, 0, kReadAhead);
        const uint8_t* own = s.bytes.get() + (s.start - s.bytes_start);
        s.adler = static_cast<uint32_t>(adler32_z(1, own, static_cast<size_t>(s.end - s.start)));

        const DataView view = s.view(total_);
        LazyParser& parser = *s.parser;
        parser.restart(s.start, total_, quick_hint_.load(std::memory_order_relaxed));
        parser.insert_history(view, s.bytes_start, s.start);
        const bool last = s.end == total_;
        const size_t room = static_cast<size_t>(s.end - s.start) + kMinLookahead;
        s.token_count = parser.run(view, last ? UINT64_MAX : s.end, s.tokens.get(), room);
        if (last) s.has_final = take_final(parser, view, &s.final_literal);
        s.end_state = parser.state();
        quick_hint_.store(parser.keeps_quick_chains(), std::memory_order_relaxed);
    }

    static bool take_final(LazyParser& parser, const DataView& view, Token* token)
    {
        return parser.finish(view, token) == 1;
    }

    // Goes on from `state` (a parse that reached this segment) until it stands right after a
    // match where this segment's own parse does too, or this segment ends. `going_on` is the
    // parser that stopped at `state`, whose chains hold what is needed; without it a new one is
    // filled with the 32 KiB before `state`.
    void join(const ParseState& state, std::unique_ptr<LazyParser> going_on, const Segment& s, Join& j)
    {
        j = Join{};
        const uint64_t from = state.position;
        // Where the later parse can be met: right after one of its matches, or at its start.
        size_t cursor = 0;
        uint64_t cursor_end = s.start;  // the end of the token before `cursor`
        bool cursor_clean = true;       // ... and whether that token is a match (or it is the start)
        auto meets = [&](uint64_t position) {
            while (cursor < s.token_count && cursor_end < position) {
                cursor_clean = !is_literal(s.tokens[cursor]);
                cursor_end += token_length(s.tokens[cursor]);
                ++cursor;
            }
            return cursor_end == position && cursor_clean;
        };
        if (state.clean() && meets(from)) {
            j.met = true;
            j.resume_at = cursor;
            return;
        }
        const DataView view = s.view(total_);
        std::unique_ptr<LazyParser> parser = std::move(going_on);
        if (!parser) {
            parser.reset(new (std::nothrow) LazyParser);
            if (!parser) {
                failed_ = true;
                return;
            }
            parser->restart(from, total_);
            parser->insert_history(view, from - std::min<uint64_t>(from, kHistory), from);
            parser->resume(state);
        }
        const bool last = s.end == total_;
        const uint64_t stop = last ? UINT64_MAX : s.end;
        uint64_t position = state.pending ? from - 1 : from;  // where its next token starts
        // The parses mostly meet within a few tokens: a few are decided at a time at first,
        // then more, up to batches large enough for long stretches of repeats
        // (LazyParser::repeat_period).
        constexpr size_t kFirstBatch = 16;
        constexpr size_t kBatch = 16384;
        std::unique_ptr<Token[]> batch(new (std::nothrow) Token[kBatch]);
        if (!batch) {
            failed_ = true;
            return;
        }
        for (size_t size = kFirstBatch;; size = std::min(2 * size, kBatch)) {
            const size_t got = parser->run(view, stop, batch.get(), size);
            for (size_t i = 0; i < got; ++i) {
                position += token_length(batch[i]);
                if (!is_literal(batch[i]) && meets(position)) {
                    if (!append(j.tokens, batch.get(), i + 1)) return;
                    j.met = true;
                    j.resume_at = cursor;
                    return;
                }
            }
            if (!append(j.tokens, batch.get(), got)) return;
            if (got < size) break;  // stopped at the cut or the end
        }
        if (last) j.has_final = take_final(*parser, view, &j.final_literal);
        j.end_state = parser->state();
        j.parser = std::move(parser);
    }

    bool append(std::vector<Token>& to, const Token* tokens, size_t count)
    {
        try {
            to.insert(to.end(), tokens, tokens + count);
            return true;
        } catch (const std::bad_alloc&) {
            failed_ = true;
            return false;
        }
    }

    // Puts the wave's parses together in order and cuts the tokens into blocks.
    bool merge(uint64_t first)
    {
        if (failed_) return false;
        for (size_t i = 0; i < wave_segments_.size(); ++i) {
            Segment& s = wave_segments_[i];
            adler_ = static_cast<uint32_t>(adler32_combine(adler_, s.adler, static_cast<z_off_t>(s.end - s.start)));
            if (first + i == 0) {
                take(s.tokens.get(), s.token_count);
                carrying_ = false;
                if (s.has_final) final_literal(s.final_literal);
                continue;
            }
            if (i == 0 && carrying_) {
                join(carry_, std::move(carry_parser_), s, s.join);  // the last wave ended in a parse that had not met
                if (failed_) return false;
            }
            const Join& j = s.join;
            take(j.tokens.data(), j.tokens.size());
            if (j.met) {
                take(s.tokens.get() + j.resume_at, s.token_count - j.resume_at);
                carrying_ = false;
                if (s.has_final) final_literal(s.final_literal);
                continue;
            }
            if (j.has_final) final_literal(j.final_literal);
            carrying_ = true;
            carry_ = j.end_state;
            carry_parser_ = std::move(s.join.parser);
            if (i + 1 < wave_segments_.size()) {
                Segment& next = wave_segments_[i + 1];
                // The join made in parallel started from the wrong state.
                join(carry_, std::move(carry_parser_), next, next.join);
                if (failed_) return false;
                carrying_ = false;  // next.join is now the one that holds
                // `next` is handled on the next trip with its corrected join.
            }
        }
        return !failed_;
    }

    // Tokens of the final parse in order: full blocks are cut off as they fill.
    void take(const Token* tokens, size_t count)
    {
        while (count > 0) {
            const size_t room = kBlockSymbols - block_.size();
            const size_t n = std::min(room, count);
            block_.insert(block_.end(), tokens, tokens + n);
            block_end_ += covered(tokens, n);
            tokens += n;
            count -= n;
            if (block_.size() == kBlockSymbols) {
                const uint64_t last_start = block_end_ - token_length(block_.back());
                cut_block(last_start + 1, false);
            }
        }
    }

    void final_literal(Token t) { final_ = t, has_final_ = true; }

    void cut_block(uint64_t flushed_at, bool last)
    {
        blocks_.emplace_back();
        Block& b = blocks_.back();
        b.tokens.swap(block_);
        b.start = block_start_;
        b.end = block_end_;
        b.flushed_at = flushed_at;
        b.last = last;
        block_.clear();
        block_.reserve(kBlockSymbols);
        block_start_ = block_end_;
    }

    void finish_blocks()
    {
        if (has_final_) {
            block_.push_back(final_);
            block_end_ += 1;
        }
        cut_block(total_, true);
    }

    void hand_blocks_on()
    {
        coding_.insert(coding_.end(), std::make_move_iterator(blocks_.begin()), std::make_move_iterator(blocks_.end()));
        blocks_.clear();
    }

    // A block cut by the merge gets its codes and is coded on its own, from bit 0 (a stored
    // block only fetches its bytes, since its padding depends on where it lands), along with
    // the next wave's parses; the blocks are then joined into the stream in order.
    void code_block(Block& b)
    {
        const bool storable = b.start >= window_start(b.flushed_at, total_);
        plan_block(b.tokens.data(), b.tokens.size(), storable, static_cast<size_t>(b.end - b.start), b.last, &b.plan);
        if (b.plan.type == BlockType::kStored) {
            b.bits.resize(b.plan.stored_length);
            input_.read(b.start, b.bits.size(), b.bits.data());
        } else {
            b.bits.assign(static_cast<size_t>((b.plan.bits_at(0) + 7) / 8 + kOutputSlack), 0);
            BitWriter writer(b.bits.data());
            deflate::write_block(b.plan, nullptr, writer);
            writer.flush();
        }
        // Coded: only its bits are still needed.
        std::vector<Token>().swap(b.tokens);
        b.plan.tokens = nullptr;
    }

    void place_blocks()
    {
        for (const Block& b : coding_) {
            if (b.plan.type == BlockType::kStored) {
                deflate::write_block(b.plan, b.bits.data(), writer_);
            } else {
                writer_.put_bits(b.bits.data(), b.plan.bits_at(0));
            }
        }
        coding_.clear();
    }

    const Input& input_;
    uint64_t total_;
    WorkTeam team_;
    uint8_t* out_;
    uint64_t asked_size_;     // 0: sizes follow the tokens the data give
    uint64_t segment_size_;   // of the next wave's segments
    uint64_t wave_segments_end_ = 0;
    size_t wave_ = 0;
    std::vector<Segment> wave_segments_;
    ParseState previous_end_;  // the last wave's last own parse, where it stopped
    std::unique_ptr<LazyParser> previous_parser_;
    bool carrying_ = false;    // the last wave ended in a join that had not met
    ParseState carry_;
    std::unique_ptr<LazyParser> carry_parser_;
    std::vector<Token> block_;  // the open block
    uint64_t block_start_ = 0;
    uint64_t block_end_ = 0;
    bool has_final_ = false;
    Token final_ = 0;
    std::vector<Block> blocks_;  // cut by the merge
    std::vector<Block> coding_;  // to be coded, then joined into the stream
    std::vector<std::pair<std::unique_ptr<uint8_t[]>, size_t>> spare_bytes_;  // memory the last waves left
    std::vector<std::pair<std::unique_ptr<Token[]>, size_t>> spare_tokens_;
    std::vector<std::unique_ptr<LazyParser>> spare_parsers_;
    std::unique_ptr<std::atomic<bool>[]> parsed_;  // of the wave's segments
    std::unique_ptr<std::atomic<bool>[]> joined_;
    BitWriter writer_;  // the stream after its header
    uint32_t adler_ = 1;
    std::atomic<bool> failed_{false};
    // Whether the last parse to finish kept the 4-byte chain: the next ones start that way (the
    // bytes of neighbouring segments tend to be alike), the first ones with it.
    std::atomic<bool> quick_hint_{true};
};

}  // namespace

size_t segmented_deflate(const Input& input, int threads, uint64_t segment_size, uint8_t* out, size_t)
{
    SegmentedDeflater deflater(input, threads, segment_size, out);
    return deflater.run();
}

}  // namespace qv::deflate

// The reference compressor's parse at its default level, reproduced exactly: which positions
// become literals and which become matches (with which distance) is decided by the same lazy
// evaluation over the same hash chains, so the tokens are the reference's tokens.
//
// Level 6: a match is looked for at every position unless the previous one was already 16 or
// longer; chains are followed for 128 entries (32 once the previous match is 8 or longer); a
// match of 128 ends the search; a 3-byte match farther than 4096 back is dropped; distances
// go up to 32506 (the window less the lookahead the reference keeps). Positions are the data's
// own offsets, held in 32 bits; position 0 can never be a match source (the reference reads a
// chain entry of 0 as "none").
#pragma once

#include "codec/deflate/block_writer.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qv::deflate {

inline constexpr uint32_t kMaxDistance = 32506;    // the window less kMinLookahead
inline constexpr uint32_t kMinLookahead = 262;     // kMaxMatch + kMinMatch + 1
inline constexpr uint32_t kHistory = 32768;        // what a parse needs behind its position
inline constexpr uint32_t kReadAhead = kMaxMatch + 8;  // what a search reads past a position, and slack

// Bytes of the data from `start` to `end`, with at least kReadAhead readable bytes after
// `end`. A view that reaches the end of the data has `tail` (the bytes right after it, which
// the parser itself fills with what the reference's window holds there); elsewhere the bytes
// after `end` may be anything, and the parse stops where it would need them.
struct DataView {
    const uint8_t* bytes = nullptr;  // position `start`
    uint64_t start = 0;
    uint64_t end = 0;
    uint8_t* tail = nullptr;

    const uint8_t* at(uint64_t position) const { return bytes + (position - start); }

    // Positions [start, end) of data `total` bytes long, held from `held` on.
    static DataView over(uint8_t* held, uint64_t start, uint64_t end, uint64_t total)
    {
        return {held, start, end, end == total ? held + (total - start) : nullptr};
    }
};

// Where the parse stands between two positions: the next position to decide, whether the
// byte before it waits to be a literal or the start of a longer match, and the match found
// at that byte (length 2: none).
struct ParseState {
    uint64_t position = 0;
    bool pending = false;
    uint32_t match_length = kMinMatch - 1;
    uint64_t match_start = 0;
    // Clean: right after a match or at the start, where two parses over the same bytes agree
    // from then on.
    bool clean() const { return !pending && match_length == kMinMatch - 1; }
};

// Where the reference's window starts when it decides `position` of data of `total` bytes:
// it moves by 32768 bytes each time fewer than kMinLookahead bytes are left ahead of the
// position in a window of 65536 bytes.
uint64_t window_start(uint64_t position, uint64_t total);

class LazyParser {
public:
    LazyParser();

    // Starts afresh at `position` of data of `total` bytes (below 2^32): empty chains, no
    // pending byte. The positions before it (up to kHistory of them) must be inserted with
    // insert_history before the parse goes on.
    // `quick`: whether to keep the 4-byte chain from the start (see review_chains), as a parse
    // of neighbouring bytes found worth it.
    void restart(uint64_t position, uint64_t total, bool quick = false);
    bool keeps_quick_chains() const { return quick_chains_; }
    // Inserts positions [from, to) into the chains, as the reference had inserted them by the time
    // it reached `to`.
    void insert_history(const DataView& view, uint64_t from, uint64_t to);

    const ParseState& state() const { return state_; }
    // Takes up a parse that another parser left at `state`, whose history is already inserted.
    void resume(const ParseState& state) { state_ = state; }

    // Decides positions until the next one to decide is at or past `stop`, `room` tokens are
    // written, or the view runs out of lookahead. Returns the number of tokens written to `out`.
    size_t run(const DataView& view, uint64_t stop, Token* out, size_t room);
    // After the last position: the byte still waiting, as the reference tallies it at the end.
    // Returns 0 or 1 tokens.
    size_t finish(const DataView& view, Token* out);

private:
    // Inserts one position and returns the chain's previous head; insert_run inserts
    // positions [from, to) whose bytes start at `at`.
    uint32_t insert(const uint8_t* at, uint32_t position);
    void insert_run(const uint8_t* at, uint32_t from, uint32_t to);
    void start_quick_chains(const DataView& view, uint64_t position);

    void review_chains(const DataView& view, uint64_t position);
    uint32_t longest_match(const DataView& view, uint32_t position, uint32_t head, uint32_t previous_length,
                           uint32_t lookahead);
    uint32_t quick_match(const DataView& view, uint32_t position, uint32_t head, uint32_t previous_length,
                         uint32_t lookahead);
    void refresh_tail(const DataView& view, uint64_t position);
    void remember(Token t) { recent_[recent_count_++ & kRecentMask] = t; }
    // At `position`, right after a maximal match at `distance`: when the bytes repeat with a
    // period the parse itself has just repeated, writes that stretch of tokens over again
    // instead of parsing it. Returns the tokens written (0: nothing to repeat).
    size_t repeat_period(const DataView& view, uint64_t position, uint32_t distance, uint64_t stop, Token* out,
                         size_t room);
    size_t repeat_stretch(const DataView& view, uint64_t position, uint64_t start, size_t tokens, uint64_t stop,
                          Token* out, size_t room);
    // Empties the chains; the next position inserted is `next`.
    void clear_chains(uint64_t next);
    // A head as held: 16 bits, position - base_ + 1 (0: none), like the reference's, so that
    // the tables stay in the processor's nearest cache. The base moves 32768 on when a
    // position would not fit, and heads that then fall behind it (out of reach) are dropped.
    uint16_t head_value(uint32_t position)
    {
        if (position - base_ >= 0xfffe) slide_heads();
        return static_cast<uint16_t>(position - base_ + 1);
    }
    uint32_t head_position(uint16_t value) const { return value != 0 ? base_ + value - 1 : 0; }
    void slide_heads();

    // The reference's chains: for each 3-byte hash the latest position, and for each position
    // (by its low 15 bits) how far back the one before it lies (0: none within 65535).
    std::array<uint16_t, 1 << 15> head_;
    std::array<uint16_t, 1 << 15> back_;
    uint32_t base_ = 0;
    // The same positions chained by a hash of their first four bytes. Once a match of 3 is
    // found only candidates that agree on four bytes can be longer, and this chain visits just
    // those (and a few that only share the hash), counting each by its place in the
    // reference's chain: how many positions each hash has had, and each position's count (mod
    // 2^16: entries within reach are fewer), whose difference is how far apart two entries lie.
    std::array<uint16_t, 1 << 14> head4_;
    std::array<uint16_t, 1 << 15> hash_count_;
    struct QuickLink {
        uint16_t back4;
        uint16_t count;
    };
    std::array<QuickLink, 1 << 15> quick_links_;
    uint32_t head4_before_ = 0;  // head4_ of the position inserted last, before it was inserted
    // Whether the 4-byte chain and the counts are kept (see review_chains); since the last
    // review, the visits the reference's walk made, and those the 4-byte chain made or would.
    bool quick_chains_ = false;
    uint64_t searches_ = 0;
    uint64_t visits_ = 0;
    uint64_t quick_visits_ = 0;
    uint64_t next_review_ = 0;
    // The tokens written last (the parse's own, and those it was given to go on from).
    static constexpr uint32_t kRecent = 1 << 15;
    static constexpr uint32_t kRecentMask = kRecent - 1;
    std::array<Token, kRecent> recent_;
    uint64_t recent_count_ = 0;
    uint64_t next_repeat_try_ = 0;  // after a try that found nothing, the next waits a while
    ParseState state_;
    uint64_t total_ = 0;
    uint32_t match_start_ = 0;  // set by longest_match when it finds a longer match
    // What the current view's tail holds: nothing yet, zeros, or the bytes 32768 back.
    const uint8_t* tail_written_ = nullptr;
    bool tail_slid_ = false;
};

}  // namespace qv::deflate

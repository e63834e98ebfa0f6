#include "codec/deflate/lazy_parser.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <cstring>

namespace qv::deflate {

namespace {

constexpr uint32_t kHashMask = (1u << 15) - 1;
constexpr uint32_t kChainMask = (1u << 15) - 1;
constexpr uint32_t kGoodLength = 8;    // a previous match this long: follow a quarter of the chain
constexpr uint32_t kLazyLength = 16;   // a previous match this long: do not look further
constexpr uint32_t kNiceLength = 128;  // a match this long ends the search
constexpr uint32_t kMaxChain = 128;
constexpr uint32_t kTooFar = 4096;     // 3-byte matches farther back are not worth their bits
constexpr uint64_t kWindow = 2 * kHistory;
// Repeating a stretch costs refilling the chains afterwards (kHistory insertions): worth it
// only over this much. A try that finds nothing is not made again for a while.
constexpr uint64_t kRepeatWorthIt = 2 * kHistory;
constexpr uint64_t kRepeatRetry = 8192;
constexpr int kRepeatChecks = 3;   // periods checked against the bytes at a try
constexpr uint32_t kLongMatch = 32;  // matches this long hint at the bytes' period
// How often the 4-byte chain's worth is reviewed (see review_chains), and which share of the
// searches are counted for it.
constexpr uint64_t kReviewEvery = 32768;
constexpr uint64_t kSampleEvery = 8;

// The reference's hash of the three bytes at a position (15 bits, 5 bits a step), from the
// four bytes there read as one little-endian word.
inline uint32_t hash3(uint32_t w)
{
    return ((w << 10) & 0x7c00) ^ ((w >> 3) & 0x1fe0) ^ ((w >> 16) & 0xff);
}

inline uint64_t load64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t load32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline uint32_t hash4(uint32_t four_bytes) { return (four_bytes * 2654435761u) >> 18; }

inline uint16_t load16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// How many bytes of `a` and `b` agree, up to kMaxMatch.
inline uint32_t common_length(const uint8_t* a, const uint8_t* b)
{
    uint32_t length = 0;
    while (length < kMaxMatch) {
        const uint64_t diff = load64(a + length) ^ load64(b + length);
        if (diff != 0) {
            const int first = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
            length += static_cast<uint32_t>(first) / 8;
            break;
        }
        length += 8;
    }
    return std::min<uint32_t>(length, kMaxMatch);
}

}  // namespace

uint64_t window_start(uint64_t position, uint64_t total)
{
    // Slide k (k >= 1) happens at the first position decided at or past its threshold. While the
    // data fill the whole window (65536 bytes from the window's start), that is once fewer than
    // kMinLookahead bytes are left in it; at the end of the data, once fewer are left in the
    // data and the position is far enough into the window.
    const uint64_t full_slides = total >= kWindow ? total / kHistory - 1 : 0;
    const uint64_t first_threshold = kHistory + kWindow - kMinLookahead + 1;  // 65275: slide 1, full window
    uint64_t slides = position >= first_threshold ? (position - first_threshold) / kHistory + 1 : 0;
    if (slides < full_slides) return slides * kHistory;
    slides = full_slides;
    const uint64_t k = full_slides + 1;
    const uint64_t far_enough = k * kHistory + kWindow - kMinLookahead - kHistory;  // 32768 k + 32506
    const uint64_t near_end = total >= kMinLookahead - 1 ? total - (kMinLookahead - 1) : 0;
    if (position >= std::max(far_enough, near_end)) ++slides;
    return slides * kHistory;
}

LazyParser::LazyParser() = default;

// Only the heads: a link is read only for a position that was inserted, which wrote it first.
void LazyParser::clear_chains(uint64_t next)
{
    head_.fill(0);
    head4_.fill(0);
    hash_count_.fill(0);
    base_ = static_cast<uint32_t>(next);
}

void LazyParser::slide_heads()
{
    base_ += kHistory;
    auto slide = [](std::span<uint16_t> heads) {
        for (uint16_t& value : heads) value = value > kHistory ? static_cast<uint16_t>(value - kHistory) : uint16_t{0};
    };
    slide(head_);
    slide(head4_);
}

void LazyParser::restart(uint64_t position, uint64_t total, bool quick)
{
    clear_chains(position >= kHistory ? position - kHistory : 0);
    quick_chains_ = quick;
    searches_ = 0;
    visits_ = 0;
    quick_visits_ = 0;
    next_review_ = position + kReviewEvery;
    recent_count_ = 0;
    next_repeat_try_ = 0;
    state_ = ParseState{};
    state_.position = position;
    total_ = total;
    tail_written_ = nullptr;
}

namespace {

// How far back `previous` lies from `position`, as a link holds it.
inline uint16_t back_to(uint32_t position, uint32_t previous)
{
    const uint32_t back = position - previous;
    return previous != 0 && back <= 0xffff ? static_cast<uint16_t>(back) : 0;
}

// The position a link leads to: 0 (none) where it holds no distance.
inline uint32_t back_from(uint32_t position, uint16_t back) { return back != 0 ? position - back : 0; }

}  // namespace

inline uint32_t LazyParser::insert(const uint8_t* at, uint32_t position)
{
    const uint32_t w = load32(at);
    const uint32_t h = hash3(w);
    const uint16_t value = head_value(position);
    const uint32_t head = head_position(head_[h]);
    back_[position & kChainMask] = back_to(position, head);
    head_[h] = value;
    if (quick_chains_) {
        const uint32_t h4 = hash4(w);
        head4_before_ = head_position(head4_[h4]);
        quick_links_[position & kChainMask] = {back_to(position, head4_before_), ++hash_count_[h]};
        head4_[h4] = value;
    }
    return head;
}

void LazyParser::insert_run(const uint8_t* at, uint32_t from, uint32_t to)
{
    if (!quick_chains_) {
        for (uint32_t position = from; position < to; ++position, ++at) {
            const uint32_t h = hash3(load32(at));
            const uint16_t value = head_value(position);
            back_[position & kChainMask] = back_to(position, head_position(head_[h]));
            head_[h] = value;
        }
        return;
    }
    for (uint32_t position = from; position < to; ++position, ++at) {
        const uint32_t w = load32(at);
        const uint32_t h = hash3(w);
        const uint32_t h4 = hash4(w);
        const uint16_t value = head_value(position);
        back_[position & kChainMask] = back_to(position, head_position(head_[h]));
        quick_links_[position & kChainMask] = {back_to(position, head_position(head4_[h4])), ++hash_count_[h]};
        head_[h] = value;
        head4_[h4] = value;
    }
}

// The 4-byte chain and the counts, for the positions within reach of `position` (all inserted
// already, their reference chain kept): from here on insertions keep them too.
void LazyParser::start_quick_chains(const DataView& view, uint64_t position)
{
    head4_.fill(0);
    hash_count_.fill(0);
    const uint64_t end = std::min(position, total_ >= kMinMatch ? total_ - kMinMatch + 1 : 0);
    const uint64_t from = std::max(position >= kHistory ? position - kHistory : 0, view.start);
    for (uint64_t p = from; p < end; ++p) {
        const auto here = static_cast<uint32_t>(p);
        const uint32_t w = load32(view.at(p));
        const uint32_t h4 = hash4(w);
        quick_links_[here & kChainMask] = {back_to(here, head_position(head4_[h4])), ++hash_count_[hash3(w)]};
        head4_[h4] = head_value(here);
    }
    quick_chains_ = true;
}

// Every so often the searches decide whether the 4-byte chain pays for its upkeep: it saves
// the visits to candidates that do not agree on four bytes, and costs every insertion about
// as much as a visit.
void LazyParser::review_chains(const DataView& view, uint64_t position)
{
    const uint64_t positions = position + kReviewEvery - next_review_;
    next_review_ = position + kReviewEvery;
    const bool worth_it = kSampleEvery * (visits_ - std::min(visits_, quick_visits_)) > positions;
    visits_ = 0;
    quick_visits_ = 0;
    if (!quick_chains_ && worth_it) {
        start_quick_chains(view, position);
    } else if (quick_chains_ && !worth_it) {
        quick_chains_ = false;
    }
}

void LazyParser::insert_history(const DataView& view, uint64_t from, uint64_t to)
{
    // Only positions followed by three bytes are ever inserted.
    const uint64_t end = std::min(to, total_ >= kMinMatch ? total_ - kMinMatch + 1 : 0);
    if (from < end) insert_run(view.at(from), static_cast<uint32_t>(from), static_cast<uint32_t>(end));
}

// The stale bytes after the end of the data, as the reference's window holds them when it
// decides `position`: zeros before its first slide, the bytes 32768 back after it.
void LazyParser::refresh_tail(const DataView& view, uint64_t position)
{
    const bool slid = window_start(position, total_) > 0;
    if (tail_written_ == view.tail && tail_slid_ == slid) return;
    for (uint32_t i = 0; i < kReadAhead; ++i) {
        view.tail[i] = slid ? *view.at(total_ + i - kHistory) : uint8_t{0};
    }
    tail_written_ = view.tail;
    tail_slid_ = slid;
}

namespace {

// What a search compares a candidate with: the bytes at the position, and the best length so far.
struct Scan {
    const uint8_t* at;
    uint32_t four;   // its first four bytes
    uint32_t best;   // matches must be longer than this
    uint16_t end;    // the two bytes around the best length: a longer match agrees on them
    uint32_t nice;   // a match this long ends the search
    uint32_t start = 0;  // where the best match starts

    Scan(const uint8_t* scan, uint32_t previous_length, uint32_t nice_length)
        : at(scan), four(load32(scan)), best(previous_length), end(load16(scan + previous_length - 1)),
          nice(nice_length)
    {
    }

    // Takes `match` (at `candidate`) when it is longer; true when the search is over. Only a
    // candidate that agrees on the first two bytes and around the best length can be.
    bool take(const uint8_t* match, uint32_t match_four, uint32_t candidate)
    {
        if (load16(match + best - 1) != end || static_cast<uint16_t>(match_four ^ four) != 0) return false;
        const uint32_t length = common_length(at, match);
        if (length <= best) return false;
        start = candidate;
        best = length;
        end = load16(at + best - 1);
        return length >= nice;
    }

    // The search's answer: the length (no more than is left of the data); the match start is
    // where the last longer match was found (kept as it was when none was).
    uint32_t answer(uint32_t lookahead, uint32_t* match_start) const
    {
        if (start != 0) *match_start = start;
        return std::min(best, lookahead);
    }
};

}  // namespace

// The reference's search: candidates in chain order from `head`, at most `chain` of them
// (the head counts as one), each beyond `limit` except the head itself; the first candidate
// longer than the best so far becomes the match, and one of `nice` bytes ends the search.
// Without the 4-byte chain every entry is visited, and one search in kSampleEvery also counts
// what the 4-byte chain would have visited (for review_chains).
uint32_t LazyParser::longest_match(const DataView& view, uint32_t position, uint32_t head,
                                   uint32_t previous_length, uint32_t lookahead)
{
    if (quick_chains_) return quick_match(view, position, head, previous_length, lookahead);
    const uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    Scan scan(view.at(position), previous_length, std::min(kNiceLength, lookahead));
    uint32_t left = previous_length >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
    const bool sample = (++searches_ & (kSampleEvery - 1)) == 0;
    uint32_t candidate = head;
    do {
        const uint8_t* match = view.at(candidate);
        const uint32_t match_four = load32(match);
        if (sample) {
            ++visits_;
            quick_visits_ += scan.best < kMinMatch || match_four == scan.four;
        }
        if (scan.take(match, match_four, candidate)) break;
        candidate = back_from(candidate, back_[candidate & kChainMask]);
    } while (candidate > limit && --left != 0);
    return scan.answer(lookahead, &match_start_);
}

// The same search with the 4-byte chain: entry by entry until a 3-byte match is known, then
// only the candidates that agree on four bytes (older than the last one seen), still in chain
// order and within the chain's length, which the counts tell.
uint32_t LazyParser::quick_match(const DataView& view, uint32_t position, uint32_t head, uint32_t previous_length,
                                 uint32_t lookahead)
{
    const uint32_t chain = previous_length >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
    const uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    Scan scan(view.at(position), previous_length, std::min(kNiceLength, lookahead));
    const bool sample = (++searches_ & (kSampleEvery - 1)) == 0;
    uint32_t candidate = head;
    uint32_t left = chain;
    uint32_t last_four = 0;  // the last candidate seen that agrees on four bytes
    for (;;) {
        if (sample) ++visits_, ++quick_visits_;
        const uint8_t* match = view.at(candidate);
        const uint32_t match_four = load32(match);
        if (match_four == scan.four) last_four = candidate;
        if (scan.take(match, match_four, candidate)) return scan.answer(lookahead, &match_start_);
        const uint32_t next = back_from(candidate, back_[candidate & kChainMask]);
        if (next <= limit || --left == 0) return scan.answer(lookahead, &match_start_);
        if (scan.best >= kMinMatch) break;
        candidate = next;
    }

    const uint16_t head_count = quick_links_[head & kChainMask].count;
    const uint32_t seen = candidate;
    uint32_t depth = 0;
    const uint32_t from = last_four != 0 ? back_from(last_four, quick_links_[last_four & kChainMask].back4) : head4_before_;
    for (candidate = from; candidate != 0 && (candidate > limit || candidate == head);
         candidate = back_from(candidate, quick_links_[candidate & kChainMask].back4)) {
        if (sample) ++quick_visits_;
        const uint8_t* match = view.at(candidate);
        const uint32_t match_four = load32(match);
        if (candidate >= seen || match_four != scan.four) continue;
        depth = static_cast<uint16_t>(head_count - quick_links_[candidate & kChainMask].count);
        if (depth >= chain) break;
        if (scan.take(match, match_four, candidate)) break;
    }
    if (sample) visits_ += depth;  // as deep as the reference's walk went
    return scan.answer(lookahead, &match_start_);
}

size_t LazyParser::run(const DataView& view, uint64_t stop, Token* out, size_t room)
{
    const uint64_t data_end = view.tail != nullptr ? total_ : view.end;
    uint64_t position = state_.position;
    bool pending = state_.pending;
    uint32_t match_length = state_.match_length;
    match_start_ = static_cast<uint32_t>(state_.match_start);
    size_t written = 0;
    while (position < stop && written < room) {
        const uint64_t ahead = data_end - position;
        if (ahead < kMinLookahead) {
            if (view.tail == nullptr || ahead == 0) break;  // more data needed, or the end
            refresh_tail(view, position);
        }
        const auto lookahead = static_cast<uint32_t>(std::min<uint64_t>(ahead, kMinLookahead));
        const auto here = static_cast<uint32_t>(position);
        const uint8_t* at = view.at(position);

        if (position >= next_review_) review_chains(view, position);
        uint32_t head = 0;
        if (lookahead >= kMinMatch) head = insert(at, here);
        const uint32_t previous_length = match_length;
        const uint32_t previous_match = match_start_;
        match_length = kMinMatch - 1;
        if (head != 0 && previous_length < kLazyLength && here - head <= kMaxDistance) {
            match_length = longest_match(view, here, head, previous_length, lookahead);
            if (match_length == kMinMatch && here - match_start_ > kTooFar) match_length = kMinMatch - 1;
        }
        if (previous_length >= kMinMatch && match_length <= previous_length) {
            const uint32_t distance = here - 1 - previous_match;
            out[written] = match_token(distance, previous_length);
            remember(out[written++]);
            // Every position the match covers goes into the chains, up to the last one that
            // still has three bytes.
            const uint64_t match_end = position + previous_length - 1;
            const uint64_t insert_end = std::min(match_end, position + lookahead - kMinMatch + 1);
            if (position + 1 < insert_end) {
                insert_run(at + 1, here + 1, static_cast<uint32_t>(insert_end));
            }
            position = match_end;
            pending = false;
            match_length = kMinMatch - 1;
            if (previous_length == kMaxMatch && position >= next_repeat_try_) {
                const size_t repeated = repeat_period(view, position, distance, stop, out + written, room - written);
                if (repeated != 0) {
                    for (size_t i = 0; i < repeated; ++i) position += token_length(out[written + i]);
                    written += repeated;
                }
            }
        } else if (pending) {
            out[written] = literal_token(at[-1]);
            remember(out[written++]);
            ++position;
        } else {
            pending = true;
            ++position;
        }
    }
    state_.position = position;
    state_.pending = pending;
    state_.match_length = match_length;
    state_.match_start = match_start_;
    return written;
}

namespace {

// How many bytes from `a` on equal those from `b` on, up to `limit`.
uint64_t equal_run(const uint8_t* a, const uint8_t* b, uint64_t limit)
{
    uint64_t n = 0;
    while (n + 8 <= limit) {
        const uint64_t diff = load64(a + n) ^ load64(b + n);
        if (diff != 0) {
            const int first = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
            return n + static_cast<uint64_t>(first) / 8;
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

}  // namespace

// Where the bytes repeat with a period P, the parse repeats too: every decision depends only
// on the bytes from 32506 back to 258 ahead (and on the parse's own state), so once the parse
// stands in the same state at two positions P apart, and the bytes from 32768 before the
// first to the end of the stretch repeat with period P, every decision P further on is the
// same. The state here is the one right after a match, and P is a distance back to where the
// parse stood right after a match too, a multiple of a distance the recent matches copied
// from (a run's byte, an image's row).
size_t LazyParser::repeat_period(const DataView& view, uint64_t position, uint32_t distance, uint64_t stop,
                                 Token* out, size_t room)
{
    next_repeat_try_ = position + kRepeatRetry;
    const uint64_t known = std::min<uint64_t>(recent_count_, kRecent);
    auto recent = [&](size_t back) { return recent_[(recent_count_ - 1 - back) & kRecentMask]; };

    // The periods the bytes may have: the match just made, and the farthest-reaching matches
    // of the last stretch.
    constexpr size_t kCandidates = 4;
    uint32_t candidates[kCandidates] = {distance};
    size_t candidate_count = 1;
    uint64_t walked = 0;
    for (size_t back = 0; back < known && walked < kHistory && candidate_count < kCandidates; ++back) {
        const Token t = recent(back);
        walked += token_length(t);
        const uint32_t d = token_distance(t);
        if (is_literal(t) || token_length(t) < kLongMatch || d <= kMaxMatch) continue;
        if (std::find(candidates, candidates + candidate_count, d) == candidates + candidate_count) {
            candidates[candidate_count++] = d;
        }
    }

    // The nearest positions back where the parse stood right after a match, a multiple of a
    // candidate away, each tried in turn.
    uint64_t start = position;
    int tries = 0;
    for (size_t tokens = 1; tokens < known && position - start < kHistory && tries < kRepeatChecks; ++tokens) {
        start -= token_length(recent(tokens - 1));
        if (is_literal(recent(tokens))) continue;
        const uint64_t period = position - start;
        const bool multiple = std::any_of(candidates, candidates + candidate_count,
                                          [&](uint32_t d) { return period % d == 0; });
        if (!multiple) continue;
        ++tries;
        const size_t written = repeat_stretch(view, position, start, tokens, stop, out, room);
        if (written != 0) return written;
    }
    return 0;
}

// Repeats the last `tokens` tokens, which cover [start, position), as far as the bytes repeat
// with that period. Returns the tokens written, or 0 when it is not worth it.
size_t LazyParser::repeat_stretch(const DataView& view, uint64_t position, uint64_t start, size_t tokens,
                                  uint64_t stop, Token* out, size_t room)
{
    const uint64_t period = position - start;
    // As far as the tokens may be written and the parse may go.
    uint64_t most = std::min<uint64_t>(room / tokens, (view.end - position) / period);
    if (stop != UINT64_MAX) most = std::min<uint64_t>(most, (stop - position) / period);
    if (most * period < kRepeatWorthIt) return 0;
    // The bytes must repeat from 32768 before the stretch on.
    if (start < kHistory + 8 + period) return 0;
    const uint64_t back = start - kHistory - 8;
    if (back - period < view.start) return 0;
    if (equal_run(view.at(back), view.at(back - period), position - back) != position - back) return 0;
    // As far as the bytes go on repeating (every decision in the repeats reads at most
    // kMinLookahead bytes past it).
    const uint64_t reach = std::min(view.end - position, most * period + kMinLookahead);
    const uint64_t ahead = equal_run(view.at(position), view.at(position - period), reach);
    if (ahead < kMinLookahead) return 0;
    const uint64_t repeats = std::min(most, (ahead - kMinLookahead) / period);
    if (repeats * period < kRepeatWorthIt) return 0;

    const uint64_t first = recent_count_ - tokens;
    size_t written = 0;
    for (uint64_t r = 0; r < repeats; ++r) {
        for (size_t i = 0; i < tokens; ++i) out[written++] = recent_[(first + i) & kRecentMask];
    }
    for (size_t i = 0; i < written; ++i) remember(out[i]);
    const uint64_t resume = position + repeats * period;
    clear_chains(resume - kHistory);
    insert_history(view, resume - kHistory, resume);
    return written;
}

size_t LazyParser::finish(const DataView& view, Token* out)
{
    if (!state_.pending) return 0;
    out[0] = literal_token(*view.at(state_.position - 1));
    state_.pending = false;
    return 1;
}

}  // namespace qv::deflate

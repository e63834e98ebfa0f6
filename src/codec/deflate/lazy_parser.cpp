#include "codec/deflate/lazy_parser.hpp"

#include <algorithm>
#include <bit>
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
constexpr uint64_t kRepeatWorthIt = 8 * kHistory;
constexpr uint64_t kRepeatRetry = 8192;

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

inline uint32_t hash4(uint32_t four_bytes) { return (four_bytes * 2654435761u) >> 16; }

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

// Only the heads: an entry of previous_ or previous4_ is read only for a position that was
// inserted, which wrote it first.
void LazyParser::clear_chains()
{
    head_.fill(0);
    head4_.fill(0);
}

void LazyParser::restart(uint64_t position, uint64_t total)
{
    clear_chains();
    recent_count_ = 0;
    next_repeat_try_ = 0;
    state_ = ParseState{};
    state_.position = position;
    total_ = total;
    tail_written_ = nullptr;
}

namespace {

constexpr uint64_t kPositionBits = 0xffffffffu;

inline uint32_t position_of(uint64_t entry) { return static_cast<uint32_t>(entry); }
inline uint32_t count_of(uint64_t entry) { return static_cast<uint32_t>(entry >> 32); }

}  // namespace

inline uint32_t LazyParser::insert(const uint8_t* at, uint32_t position)
{
    const uint32_t w = load32(at);
    const uint32_t slot = position & kChainMask;
    const uint32_t h = hash3(w);
    const uint64_t head = head_[h];
    const uint64_t count = uint64_t{count_of(head) + 1} << 32;
    previous_[slot] = count | (head & kPositionBits);
    head_[h] = count | position;
    const uint32_t h4 = hash4(w);
    const uint32_t chained4 = head4_[h4];
    previous4_[slot] = chained4;
    head4_[h4] = position;
    head4_before_ = chained4;
    return position_of(head);
}

void LazyParser::insert_run(const uint8_t* at, uint32_t from, uint32_t to)
{
    for (uint32_t position = from; position < to; ++position, ++at) {
        const uint32_t w = load32(at);
        const uint32_t slot = position & kChainMask;
        const uint32_t h = hash3(w);
        const uint64_t head = head_[h];
        const uint64_t count = uint64_t{count_of(head) + 1} << 32;
        previous_[slot] = count | (head & kPositionBits);
        head_[h] = count | position;
        const uint32_t h4 = hash4(w);
        previous4_[slot] = head4_[h4];
        head4_[h4] = position;
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

// The reference's search: candidates in chain order from `head`, at most `chain` of them
// (the head counts as one), each beyond `limit` except the head itself; the first candidate
// longer than the best so far becomes the match, and one of `nice` bytes ends the search. The
// chain is followed entry by entry only while no 3-byte match is known; after that the
// 4-byte chain gives the candidates that can still be longer.
uint32_t LazyParser::longest_match(const DataView& view, uint32_t position, uint32_t head,
                                   uint32_t previous_length, uint32_t lookahead)
{
    const uint32_t chain = previous_length >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
    uint32_t best = previous_length;
    const uint32_t nice = std::min(kNiceLength, lookahead);
    const uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    const uint8_t* scan = view.at(position);
    const uint32_t scan_start = load32(scan);
    const uint32_t head_rank = count_of(previous_[head & kChainMask]);
    auto in_reach = [&](uint32_t candidate) { return candidate > limit || candidate == head; };
    auto try_candidate = [&](uint32_t candidate) {  // true when the search is over
        const uint8_t* match = view.at(candidate);
        if (load16(match + best - 1) != load16(scan + best - 1) || load16(match) != static_cast<uint16_t>(scan_start)) {
            return false;
        }
        const uint32_t length = common_length(scan, match);
        if (length <= best) return false;
        match_start_ = candidate;
        best = length;
        return length >= nice;
    };

    // Entry by entry while no 3-byte match is known.
    uint32_t next4 = head4_before_;  // the 4-byte chain from the top
    uint32_t skip_from = position;   // 4-byte chain entries at or after this were seen already
    if (best < kMinMatch) {
        uint32_t candidate = head;
        uint32_t left = chain;
        for (;;) {
            if (try_candidate(candidate)) return std::min(best, lookahead);
            if (best >= kMinMatch) {
                if (best > kMinMatch) next4 = previous4_[candidate & kChainMask];  // it shares the 4 bytes
                skip_from = candidate;
                break;
            }
            candidate = position_of(previous_[candidate & kChainMask]);
            if (candidate <= limit || --left == 0) return std::min(best, lookahead);
        }
    }

    // Then only candidates that agree on four bytes, still in chain order and within the
    // chain's length.
    for (uint32_t candidate = next4; candidate != 0 && in_reach(candidate); candidate = previous4_[candidate & kChainMask]) {
        if (candidate >= skip_from || load32(view.at(candidate)) != scan_start) continue;
        if (head_rank - count_of(previous_[candidate & kChainMask]) >= chain) break;
        if (try_candidate(candidate)) break;
    }
    return std::min(best, lookahead);
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
// same. The state here is the one right after a match; P is a multiple of the match's
// distance back to the last position where the parse stood right after a match too.
size_t LazyParser::repeat_period(const DataView& view, uint64_t position, uint32_t distance, uint64_t stop,
                                 Token* out, size_t room)
{
    next_repeat_try_ = position + kRepeatRetry;
    // The last stretch of tokens that ends here, starts right after a match and covers a
    // multiple of `distance`.
    const uint64_t known = std::min<uint64_t>(recent_count_, kRecent);
    uint64_t start = position;
    size_t tokens = 0;
    uint64_t period = 0;
    while (tokens + 1 < known && position - start < kHistory) {
        start -= token_length(recent_[(recent_count_ - 1 - tokens) & kRecentMask]);
        ++tokens;
        const Token before = recent_[(recent_count_ - 1 - tokens) & kRecentMask];
        if (!is_literal(before) && (position - start) % distance == 0) {
            period = position - start;
            break;
        }
    }
    if (period == 0) return 0;
    // As far as the tokens may be written and the parse may go.
    uint64_t most = std::min<uint64_t>(room / tokens, (view.end - position) / period);
    if (stop != UINT64_MAX) most = std::min<uint64_t>(most, (stop - position) / period);
    if (most * period < kRepeatWorthIt) return 0;
    // The bytes must repeat from 32768 before the stretch on.
    const uint64_t back = start - kHistory - 8;
    if (start < kHistory + 8 + period || back - period < view.start) return 0;
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
    clear_chains();
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

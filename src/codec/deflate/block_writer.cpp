#include "codec/deflate/block_writer.hpp"

#include <bit>

namespace qv::deflate {

namespace {

constexpr int kRepeatPrevious = 16;  // 3-6 copies of the previous length, 2 extra bits
constexpr int kRepeatZero = 17;      // 3-10 zeros, 3 extra bits
constexpr int kRepeatZeroLong = 18;  // 11-138 zeros, 7 extra bits
constexpr uint8_t kLengthCodeExtra[kCodeLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr int kLengthCodeMaxBits = 7;
constexpr int kHeaderBits = 3;

// Length symbol index (0..28) of a match length less 3.
constexpr std::array<uint8_t, 256> kLengthCode = [] {
    std::array<uint8_t, 256> table{};
    for (int code = 0; code < kLengthCodes; ++code) {
        const int first = kLengthBase[code] - kMinMatch;
        const int span = 1 << kLengthExtra[code];
        for (int i = 0; i < span && first + i < 256; ++i) table[static_cast<size_t>(first + i)] = static_cast<uint8_t>(code);
    }
    table[255] = kLengthCodes - 1;  // 258 has a symbol of its own
    return table;
}();

// Distance symbol of a distance less 1.
inline int distance_code(uint32_t d)
{
    if (d < 4) return static_cast<int>(d);
    const int top = std::bit_width(d) - 1;
    return 2 * top + static_cast<int>((d >> (top - 1)) & 1);
}

constexpr std::array<uint8_t, kLitLenCodes> kFixedLitLenLengths = [] {
    std::array<uint8_t, kLitLenCodes> lengths{};
    for (int n = 0; n < kLitLenCodes; ++n) lengths[static_cast<size_t>(n)] = static_cast<uint8_t>(fixed_litlen_length(n));
    return lengths;
}();
constexpr std::array<uint8_t, kDistanceCodes> kFixedDistanceLengths = [] {
    std::array<uint8_t, kDistanceCodes> lengths{};
    lengths.fill(kFixedDistanceLength);
    return lengths;
}();

const CodeSpec kLitLenSpec{kLitLenCodes, kMaxCodeBits, kLengthExtra.data(), kLiterals + 1, kFixedLitLenLengths.data()};
const CodeSpec kDistanceSpec{kDistanceCodes, kMaxCodeBits, kDistanceExtra.data(), 0, kFixedDistanceLengths.data()};
const CodeSpec kLengthCodeSpec{kCodeLengthCodes, kLengthCodeMaxBits, kLengthCodeExtra, 0, nullptr};

// Walks a code's lengths as runs, as they are sent: a run of one length is sent as single
// lengths or as the length once and then repeats; a run of zeros as zero repeats. `emit` gets
// (symbol, extra bits value) for every code length symbol.
template <typename Emit>
void walk_length_runs(const uint8_t* lengths, int max_code, Emit&& emit)
{
    int previous = -1;
    int next = lengths[0];
    int count = 0;
    int max_count = next == 0 ? 138 : 7;
    int min_count = next == 0 ? 3 : 4;
    for (int n = 0; n <= max_code; ++n) {
        const int current = next;
        next = n + 1 <= max_code ? lengths[n + 1] : 0xffff;  // past the last: a guard no length equals
        if (++count < max_count && current == next) continue;
        if (count < min_count) {
            for (; count != 0; --count) emit(current, -1);
        } else if (current != 0) {
            if (current != previous) {
                emit(current, -1);
                --count;
            }
            emit(kRepeatPrevious, count - 3);
        } else if (count <= 10) {
            emit(kRepeatZero, count - 3);
        } else {
            emit(kRepeatZeroLong, count - 11);
        }
        count = 0;
        previous = current;
        if (next == 0) {
            max_count = 138;
            min_count = 3;
        } else if (current == next) {
            max_count = 6;
            min_count = 3;
        } else {
            max_count = 7;
            min_count = 4;
        }
    }
}

// Bits of the coded symbols: every literal and match with its extra bits, and end-of-block.
int64_t symbol_bits(const uint16_t* litlen_freq, const uint16_t* distance_freq, const uint8_t* litlen_lengths,
                    const uint8_t* distance_lengths)
{
    int64_t bits = 0;
    for (int n = 0; n < kLitLenCodes; ++n) {
        const int extra = n > kLiterals ? kLengthExtra[static_cast<size_t>(n - kLiterals - 1)] : 0;
        bits += int64_t{litlen_freq[n]} * (litlen_lengths[n] + extra);
    }
    for (int n = 0; n < kDistanceCodes; ++n) {
        bits += int64_t{distance_freq[n]} * (distance_lengths[n] + kDistanceExtra[static_cast<size_t>(n)]);
    }
    return bits;
}

void write_symbols(const Token* tokens, size_t count, const uint8_t* litlen_lengths, const uint16_t* litlen_codes,
                   const uint8_t* distance_lengths, const uint16_t* distance_codes, BitWriter& out)
{
    for (size_t i = 0; i < count; ++i) {
        const Token t = tokens[i];
        if (is_literal(t)) {
            out.put(litlen_codes[t], litlen_lengths[t]);
            continue;
        }
        const uint32_t lc = t & 0xff;
        const int code = kLengthCode[lc];
        const int symbol = kLiterals + 1 + code;
        const int extra = kLengthExtra[static_cast<size_t>(code)];
        const uint32_t extra_value = lc - (kLengthBase[static_cast<size_t>(code)] - kMinMatch);
        out.put(litlen_codes[symbol] | extra_value << litlen_lengths[symbol], litlen_lengths[symbol] + extra);
        const uint32_t d = token_distance(t) - 1;
        const int dcode = distance_code(d);
        const int dextra = kDistanceExtra[static_cast<size_t>(dcode)];
        const uint32_t dextra_value = d - (kDistanceBase[static_cast<size_t>(dcode)] - 1u);
        out.put(distance_codes[dcode] | dextra_value << distance_lengths[dcode], distance_lengths[dcode] + dextra);
    }
    out.put(litlen_codes[kEndOfBlock], litlen_lengths[kEndOfBlock]);
}

}  // namespace

uint64_t BlockPlan::bits_at(uint64_t offset) const
{
    if (type != BlockType::kStored) return static_cast<uint64_t>(kHeaderBits + coded_bits);
    const uint64_t aligned = (offset + kHeaderBits + 7) & ~uint64_t{7};
    return aligned - offset + 32 + 8 * uint64_t{stored_length};
}

void plan_block(const Token* tokens, size_t count, bool storable, size_t stored_length, bool last, BlockPlan* plan)
{
    plan->tokens = tokens;
    plan->count = count;
    plan->stored_length = stored_length;
    plan->last = last;

    uint16_t litlen_freq[kLitLenCodes] = {};
    uint16_t distance_freq[kDistanceCodes] = {};
    litlen_freq[kEndOfBlock] = 1;
    for (size_t i = 0; i < count; ++i) {
        const Token t = tokens[i];
        if (is_literal(t)) {
            ++litlen_freq[t];
        } else {
            ++litlen_freq[kLiterals + 1 + kLengthCode[t & 0xff]];
            ++distance_freq[distance_code(token_distance(t) - 1)];
        }
    }

    // The costs as the reference counts them, forced codes and all: they decide the encoding.
    int64_t dynamic_bits = 0;
    int64_t static_bits = 0;
    build_code(litlen_freq, kLitLenSpec, &plan->litlen, &dynamic_bits, &static_bits);
    build_code(distance_freq, kDistanceSpec, &plan->distance, &dynamic_bits, &static_bits);

    uint16_t length_freq[kCodeLengthCodes] = {};
    auto count_symbol = [&](int symbol, int) { ++length_freq[symbol]; };
    walk_length_runs(plan->litlen.lengths.data(), plan->litlen.max_code, count_symbol);
    walk_length_runs(plan->distance.lengths.data(), plan->distance.max_code, count_symbol);
    int64_t unused_static = 0;
    build_code(length_freq, kLengthCodeSpec, &plan->lengths, &dynamic_bits, &unused_static);
    int last_sent = kCodeLengthCodes - 1;
    while (last_sent >= 3 && plan->lengths.lengths[kCodeLengthOrder[static_cast<size_t>(last_sent)]] == 0) --last_sent;
    plan->length_codes_sent = last_sent + 1;
    dynamic_bits += 3 * (last_sent + 1) + 5 + 5 + 4;

    int64_t best_bytes = (dynamic_bits + 3 + 7) >> 3;
    const int64_t fixed_bytes = (static_bits + 3 + 7) >> 3;
    if (fixed_bytes <= best_bytes) best_bytes = fixed_bytes;
    if (storable && static_cast<int64_t>(stored_length) + 4 <= best_bytes) {
        plan->type = BlockType::kStored;
        return;
    }
    if (fixed_bytes == best_bytes) {
        plan->type = BlockType::kFixed;
        plan->coded_bits = static_bits;
        return;
    }
    // The exact size of what is sent: the code length code, both codes, then the symbols.
    plan->type = BlockType::kDynamic;
    int64_t bits = 5 + 5 + 4 + 3 * int64_t{plan->length_codes_sent};
    for (int n = 0; n < kCodeLengthCodes; ++n) bits += int64_t{length_freq[n]} * (plan->lengths.lengths[n] + kLengthCodeExtra[n]);
    bits += symbol_bits(litlen_freq, distance_freq, plan->litlen.lengths.data(), plan->distance.lengths.data());
    plan->coded_bits = bits;
}

void write_block(const BlockPlan& plan, const uint8_t* stored, BitWriter& out)
{
    const uint32_t last = plan.last ? 1 : 0;
    switch (plan.type) {
    case BlockType::kStored: {
        out.put(kStoredBlock << 1 | last, kHeaderBits);
        out.align();
        const auto length = static_cast<uint16_t>(plan.stored_length);  // as the reference writes it
        out.put(length, 16);
        out.put(static_cast<uint16_t>(~length), 16);
        out.put_bytes(stored, plan.stored_length);
        return;
    }
    case BlockType::kFixed: {
        out.put(kFixedBlock << 1 | last, kHeaderBits);
        const FixedCodes& fixed = fixed_codes();
        write_symbols(plan.tokens, plan.count, fixed.litlen_lengths.data(), fixed.litlen_codes.data(),
                      fixed.distance_lengths.data(), fixed.distance_codes.data(), out);
        return;
    }
    case BlockType::kDynamic: {
        out.put(kDynamicBlock << 1 | last, kHeaderBits);
        out.put(static_cast<uint32_t>(plan.litlen.max_code + 1 - 257), 5);
        out.put(static_cast<uint32_t>(plan.distance.max_code + 1 - 1), 5);
        out.put(static_cast<uint32_t>(plan.length_codes_sent - 4), 4);
        for (int rank = 0; rank < plan.length_codes_sent; ++rank) {
            out.put(plan.lengths.lengths[kCodeLengthOrder[static_cast<size_t>(rank)]], 3);
        }
        auto send = [&](int symbol, int extra) {
            out.put(plan.lengths.codes[static_cast<size_t>(symbol)], plan.lengths.lengths[static_cast<size_t>(symbol)]);
            if (extra >= 0) out.put(static_cast<uint32_t>(extra), kLengthCodeExtra[symbol]);
        };
        walk_length_runs(plan.litlen.lengths.data(), plan.litlen.max_code, send);
        walk_length_runs(plan.distance.lengths.data(), plan.distance.max_code, send);
        write_symbols(plan.tokens, plan.count, plan.litlen.lengths.data(), plan.litlen.codes.data(),
                      plan.distance.lengths.data(), plan.distance.codes.data(), out);
        return;
    }
    }
}

}  // namespace qv::deflate

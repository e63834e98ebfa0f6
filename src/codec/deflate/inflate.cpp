#include "codec/deflate/inflate.hpp"

#include "codec/deflate/format.hpp"
#include "codec/deflate/inflate_adler.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace qv::deflate {

namespace {

// A decode table entry, 32 bits:
//   bits 0-5    bits consumed: the code and its extra bits; for a subtable link, the root bits
//   bits 8-11   the code's own length; for a subtable link, the subtable's index bits
//   bits 12-14  flags: a code zlib has no symbol for, end of block, a subtable link
//   bits 16-30  the value: a literal, a base length or distance, a code length symbol, or where
//               the subtable starts
//   bit 31      a literal (the sign bit, the cheapest test)
constexpr uint32_t kLiteral = 1u << 31;
constexpr uint32_t kInvalid = 1u << 12;
constexpr uint32_t kEnd = 1u << 13;
constexpr uint32_t kLink = 1u << 14;

constexpr uint32_t entry(uint32_t value, uint32_t code_bits, uint32_t extra_bits, uint32_t flags)
{
    return flags | value << 16 | code_bits << 8 | (code_bits + extra_bits);
}
constexpr uint32_t consumed(uint32_t e) { return e & 63; }
constexpr uint32_t code_bits(uint32_t e) { return (e >> 8) & 15; }
constexpr uint32_t value(uint32_t e) { return (e >> 16) & 0x7FFF; }

// Root index bits of each table, and room for the root table and every subtable a code that
// zlib accepts can need: only complete codes have codes longer than the root, and a subtable of
// d bits then holds at least d + 1 codes: 286 literal/length codes (d <= 4) make at most 916
// subtable entries, 30 distance codes (d <= 7) at most 384.
constexpr unsigned kLitLenRoot = 11;
constexpr unsigned kDistanceRoot = 8;
constexpr unsigned kCodeLengthRoot = kMaxCodeLengthBits;
constexpr size_t kLitLenTableSize = (size_t{1} << kLitLenRoot) + 1024;
constexpr size_t kDistanceTableSize = (size_t{1} << kDistanceRoot) + 512;
constexpr size_t kCodeLengthTableSize = size_t{1} << kCodeLengthRoot;

// The most a fast-loop step writes: two literals and a match of the longest length, with what
// its copy writes past its end in whole words.
constexpr size_t kFastOutRoom = kMaxMatch + 32;
// A refill reads a word and moves on by up to 7 bytes; the fast loop refills on entry and up
// to twice a step, and its room is checked before the entry refill and after a step's last.
constexpr size_t kFastInRoom = 7 + 7 + 8;

enum class Alphabet { kCodeLengths, kLitLen, kDistance };

uint32_t symbol_entry(Alphabet alphabet, unsigned symbol, unsigned bits)
{
    switch (alphabet) {
    case Alphabet::kCodeLengths:
        return entry(symbol, bits, 0, 0);
    case Alphabet::kLitLen:
        if (symbol < kLiterals) return entry(symbol, bits, 0, kLiteral);
        if (symbol == kEndOfBlock) return entry(0, bits, 0, kEnd);
        if (symbol < kLitLenCodes) {
            const unsigned i = symbol - kEndOfBlock - 1;
            return entry(kLengthBase[i], bits, kLengthExtra[i], 0);
        }
        return entry(0, bits, 0, kInvalid);
    case Alphabet::kDistance:
        if (symbol < kDistanceCodes) return entry(kDistanceBase[symbol], bits, kDistanceExtra[symbol], 0);
        return entry(0, bits, 0, kInvalid);
    }
    return entry(0, bits, 0, kInvalid);
}

constexpr std::array<uint8_t, 256> kReversedBytes = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned r = 0;
        for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1) << (7 - i);
        table[b] = static_cast<uint8_t>(r);
    }
    return table;
}();

// The low `bits` bits of `code` in reverse order (codes are sent most significant bit first).
unsigned reversed(unsigned code, unsigned bits)
{
    const unsigned r = unsigned{kReversedBytes[code & 0xFF]} << 8 | kReversedBytes[(code >> 8) & 0xFF];
    return r >> (16 - bits);
}

// Builds the decode table of the code with these lengths; false where zlib refuses them: an
// over-subscribed code, or an incomplete one, except that zlib takes a literal/length or
// distance code of a single one-bit code and a distance code of no codes at all (their missing
// codes then refuse the stream only when they are read).
bool build_table(Alphabet alphabet, const uint8_t* lengths, unsigned count, unsigned root, uint32_t* table,
                 size_t capacity)
{
    unsigned counts[kMaxCodeBits + 1] = {};
    for (unsigned s = 0; s < count; ++s) ++counts[lengths[s]];
    unsigned max = kMaxCodeBits;
    while (max > 0 && counts[max] == 0) --max;
    const size_t root_size = size_t{1} << root;
    const uint32_t missing = entry(0, 1, 0, kInvalid);
    if (max == 0) {
        if (alphabet != Alphabet::kDistance) return false;
        std::fill(table, table + root_size, missing);
        return true;
    }
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = 2 * left - static_cast<int>(counts[len]);
        if (left < 0) return false;
    }
    if (left > 0) {
        if (alphabet == Alphabet::kCodeLengths || max != 1) return false;
        std::fill(table, table + root_size, missing);
    }

    // Symbols in canonical order: by length, then by value.
    unsigned offsets[kMaxCodeBits + 2] = {};
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) offsets[len + 1] = offsets[len] + counts[len];
    uint16_t sorted[kFixedLitLenCodes];
    for (unsigned s = 0; s < count; ++s) {
        if (lengths[s] != 0) sorted[offsets[lengths[s]]++] = static_cast<uint16_t>(s);
    }
    const unsigned coded = offsets[kMaxCodeBits];

    unsigned code = 0;
    unsigned len = 0;
    size_t next_free = root_size;
    size_t link = root_size;  // the root index of the current subtable (none yet)
    size_t sub_start = 0;
    unsigned sub_bits = 0;
    for (unsigned i = 0; i < coded; ++i, ++code) {
        const unsigned symbol = sorted[i];
        const unsigned bits = lengths[symbol];
        if (bits > len) {
            code <<= bits - len;
            len = bits;
        }
        const unsigned rev = reversed(code, bits);
        if (bits <= root) {
            const uint32_t e = symbol_entry(alphabet, symbol, bits);
            for (size_t at = rev; at < root_size; at += size_t{1} << bits) table[at] = e;
            continue;
        }
        const size_t prefix = rev & (root_size - 1);
        if (prefix != link) {
            // A new subtable: as many index bits as the codes still to place under this prefix
            // need to fill it (the code is complete, so they do).
            sub_bits = bits - root;
            long room = 1L << sub_bits;
            while (root + sub_bits < max) {
                room -= counts[root + sub_bits];
                if (room <= 0) break;
                ++sub_bits;
                room <<= 1;
            }
            sub_start = next_free;
            next_free += size_t{1} << sub_bits;
            if (next_free > capacity) return false;
            link = prefix;
            table[prefix] = entry(static_cast<uint32_t>(sub_start), sub_bits, root - sub_bits, kLink);
        }
        const uint32_t e = symbol_entry(alphabet, symbol, bits - root);
        for (size_t at = rev >> root; at < (size_t{1} << sub_bits); at += size_t{1} << (bits - root)) {
            table[sub_start + at] = e;
        }
        --counts[bits];
    }
    return true;
}

struct FixedTables {
    uint32_t litlen[kLitLenTableSize];
    uint32_t distance[kDistanceTableSize];
};

const FixedTables& fixed_tables()
{
    static const FixedTables tables = [] {
        FixedTables t{};
        uint8_t lengths[kFixedLitLenCodes];
        for (int s = 0; s < kFixedLitLenCodes; ++s) lengths[s] = static_cast<uint8_t>(fixed_litlen_length(s));
        build_table(Alphabet::kLitLen, lengths, kFixedLitLenCodes, kLitLenRoot, t.litlen, kLitLenTableSize);
        std::fill(lengths, lengths + kFixedDistanceCodes, static_cast<uint8_t>(kFixedDistanceLength));
        build_table(Alphabet::kDistance, lengths, kFixedDistanceCodes, kDistanceRoot, t.distance,
                    kDistanceTableSize);
        return t;
    }();
    return tables;
}

inline uint64_t load_le64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian hosts only (the shortcut's only targets)
}

inline void copy8(uint8_t* dst, const uint8_t* src)
{
    uint64_t v;
    std::memcpy(&v, src, 8);
    std::memcpy(dst, &v, 8);
}

inline void copy16(uint8_t* dst, const uint8_t* src)
{
    uint8_t v[16];
    std::memcpy(v, src, 16);
    std::memcpy(dst, v, 16);
}

// The first `period` bytes of `word` (1 to 7) repeated through 16 bytes. The second word starts
// 8 % period bytes into the pattern: the first word moved down by that much, its top bytes
// filled from one period further back.
inline void repeated_pattern(uint64_t word, size_t period, uint8_t* out)
{
    const auto bits = static_cast<unsigned>(8 * period);
    const uint64_t once = word & ((uint64_t{1} << bits) - 1);
    uint64_t low = once;
    for (unsigned at = bits; at < 64; at += bits) low |= once << at;
    const auto phase = static_cast<unsigned>(8 * (8 % period));
    const uint64_t high = low >> phase | low << (bits - phase);
    std::memcpy(out, &low, 8);
    std::memcpy(out + 8, &high, 8);
}

// For a pattern of 1 to 7 bytes, the most whole patterns in 16 bytes.
constexpr std::array<uint8_t, 8> kPatternStep = {0, 16, 16, 15, 16, 15, 12, 14};

// The input as bits, least significant first. `buf` holds `n` bits not yet consumed; they are
// the last n bits before `in`, and any bits above them are the bits that follow.
struct Bits {
    const uint8_t* in;
    const uint8_t* end;
    uint64_t buf = 0;
    unsigned n = 0;

    // At least k bits (k <= 57) held; false if the input ends first.
    bool need(unsigned k)
    {
        while (n < k) {
            if (in == end) return false;
            buf |= uint64_t{*in++} << n;
            n += 8;
        }
        return true;
    }
    // As many whole bytes as fit.
    void fill()
    {
        while (n <= 56 && in != end) {
            buf |= uint64_t{*in++} << n;
            n += 8;
        }
    }
    uint32_t take(unsigned k)
    {
        const auto v = static_cast<uint32_t>(buf & ((uint64_t{1} << k) - 1));
        buf >>= k;
        n -= k;
        return v;
    }
    // To the next byte boundary, with the whole bytes held given back to the input.
    void align()
    {
        in -= n >> 3;
        buf = 0;
        n = 0;
    }
};

struct Output {
    uint8_t* begin;
    uint8_t* at;
    uint8_t* end;
};

// Decodes one block's symbols up to its end-of-block code; false on anything zlib refuses (a
// code with no symbol, a distance before the start of the output), on the input ending, and on
// more output than there is room for.
[[gnu::always_inline]] inline bool decode_symbols(Bits& bits, Output& output, const uint32_t* litlen,
                                                  const uint32_t* distance)
{
    constexpr uint64_t kLitLenMask = (uint64_t{1} << kLitLenRoot) - 1;
    constexpr uint64_t kDistanceMask = (uint64_t{1} << kDistanceRoot) - 1;
    const uint8_t* in = bits.in;
    const uint8_t* const in_end = bits.end;
    uint64_t buf = bits.buf;
    unsigned n = bits.n;
    uint8_t* out = output.at;
    uint8_t* const out_begin = output.begin;
    uint8_t* const out_end = output.end;
    bool ended = false;
    bool ok = true;
    // The fast loop runs while at least its room is left (the ends are never before the starts).
    const uint8_t* const in_fast_end =
        static_cast<size_t>(in_end - in) >= kFastInRoom ? in_end - kFastInRoom + 1 : in;
    uint8_t* const out_fast_end =
        static_cast<size_t>(out_end - out) >= kFastOutRoom ? out_end - kFastOutRoom + 1 : out;

    for (;;) {
        // Far from both ends: one word of input a step gives every bit a symbol, its length and
        // its distance can take (15 + 5 + 15 + 13), and no write can pass the end of the output.
        // The next symbol's entry is looked up before a match is copied, so that the copy's
        // branches do not hold it up.
        const auto refill = [&] {
            buf |= load_le64(in) << n;
            in += (63 - n) >> 3;
            n |= 56;
        };
        // Writes the literal of entry `literal` and drops its bits.
        const auto put_literal = [&](uint32_t literal) {
            buf >>= consumed(literal);
            n -= consumed(literal);
            *out++ = static_cast<uint8_t>(value(literal));
        };
        if (in < in_fast_end && out < out_fast_end) {
            refill();
            uint32_t e = litlen[buf & kLitLenMask];
            do {
                if (e & kLiteral) {
                    // Up to three literals from one word; a literal takes at most 15 bits.
                    put_literal(e);
                    e = litlen[buf & kLitLenMask];
                    if (e & kLiteral) {
                        put_literal(e);
                        e = litlen[buf & kLitLenMask];
                        if (e & kLiteral) {
                            put_literal(e);
                            refill();
                            e = litlen[buf & kLitLenMask];
                            continue;
                        }
                    }
                    // The entry looked up stays right: refilling adds bits above those it used.
                    refill();
                }
                if (e & kLink) {
                    buf >>= kLitLenRoot;
                    n -= kLitLenRoot;
                    e = litlen[value(e) + (buf & ((uint64_t{1} << code_bits(e)) - 1))];
                    if (e & kLiteral) {
                        put_literal(e);
                        refill();
                        e = litlen[buf & kLitLenMask];
                        continue;
                    }
                }
                if (e & (kEnd | kInvalid)) {
                    buf >>= consumed(e);
                    n -= consumed(e);
                    ended = (e & kEnd) != 0;
                    ok = ended;
                    goto done;
                }
                const auto length = static_cast<size_t>(
                    value(e) + ((buf & ((uint64_t{1} << consumed(e)) - 1)) >> code_bits(e)));
                buf >>= consumed(e);
                n -= consumed(e);
                e = distance[buf & kDistanceMask];
                if (e & kLink) {
                    buf >>= kDistanceRoot;
                    n -= kDistanceRoot;
                    e = distance[value(e) + (buf & ((uint64_t{1} << code_bits(e)) - 1))];
                }
                if (e & kInvalid) {
                    ok = false;
                    goto done;
                }
                const auto dist = static_cast<size_t>(
                    value(e) + ((buf & ((uint64_t{1} << consumed(e)) - 1)) >> code_bits(e)));
                buf >>= consumed(e);
                n -= consumed(e);
                if (dist > static_cast<size_t>(out - out_begin)) {
                    ok = false;
                    goto done;
                }
                refill();
                e = litlen[buf & kLitLenMask];
                uint8_t* dst = out;
                const uint8_t* src = out - dist;
                out += length;
                if (dist >= 16) {
                    do {
                        copy16(dst, src);
                        dst += 16;
                        src += 16;
                    } while (dst < out);
                } else if (dist >= 8) {
                    do {
                        copy8(dst, src);
                        dst += 8;
                        src += 8;
                    } while (dst < out);
                } else {
                    // A pattern shorter than a word: 16 bytes of it repeated, stored every whole
                    // number of patterns that fits 16 bytes (no read of what was just written).
                    uint8_t pattern[16];
                    repeated_pattern(load_le64(src), dist, pattern);
                    const size_t step = kPatternStep[dist];
                    do {
                        std::memcpy(dst, pattern, 16);
                        dst += step;
                    } while (dst < out);
                }
            } while (in < in_fast_end && out < out_fast_end);
        }

        // Near an end: one symbol with every read and write checked.
        {
            const auto fill = [&] {
                if (in_end - in >= 8) {
                    refill();
                    return;
                }
                while (n <= 56 && in != in_end) {
                    buf |= uint64_t{*in++} << n;
                    n += 8;
                }
            };
            // The entry of the next code, through its subtable; 0 when the bits run out first
            // or the code is not in the table (no valid entry is 0: it consumes bits).
            const auto next_entry = [&](const uint32_t* table, uint64_t mask, unsigned root) -> uint32_t {
                fill();
                uint32_t entry = table[buf & mask];
                if (entry & kLink) {
                    if (n < root) return 0;
                    buf >>= root;
                    n -= root;
                    entry = table[value(entry) + (buf & ((uint64_t{1} << code_bits(entry)) - 1))];
                }
                return consumed(entry) > n || (entry & kInvalid) ? 0 : entry;
            };
            uint32_t e = next_entry(litlen, kLitLenMask, kLitLenRoot);
            if (e == 0) {
                ok = false;
                goto done;
            }
            if (e & kLiteral) {
                if (out == out_end) {
                    ok = false;
                    goto done;
                }
                put_literal(e);
                continue;
            }
            if (e & kEnd) {
                buf >>= consumed(e);
                n -= consumed(e);
                ended = true;
                goto done;
            }
            const auto length = static_cast<size_t>(
                value(e) + ((buf & ((uint64_t{1} << consumed(e)) - 1)) >> code_bits(e)));
            buf >>= consumed(e);
            n -= consumed(e);
            e = next_entry(distance, kDistanceMask, kDistanceRoot);
            if (e == 0) {
                ok = false;
                goto done;
            }
            const auto dist = static_cast<size_t>(
                value(e) + ((buf & ((uint64_t{1} << consumed(e)) - 1)) >> code_bits(e)));
            buf >>= consumed(e);
            n -= consumed(e);
            if (dist > static_cast<size_t>(out - out_begin) || length > static_cast<size_t>(out_end - out)) {
                ok = false;
                goto done;
            }
            const uint8_t* src = out - dist;
            for (size_t i = 0; i < length; ++i) out[i] = src[i];
            out += length;
        }
    }

done:
    bits.in = in;
    bits.buf = buf;
    bits.n = n;
    output.at = out;
    return ok && ended;
}

bool decode_block_plain(Bits& bits, Output& output, const uint32_t* litlen, const uint32_t* distance)
{
    return decode_symbols(bits, output, litlen, distance);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same loop with BMI2's shifts, which take their count from any register and leave the flags
// alone: a tenth faster on flat images.
[[gnu::target("bmi2")]] bool decode_block_bmi2(Bits& bits, Output& output, const uint32_t* litlen,
                                               const uint32_t* distance)
{
    return decode_symbols(bits, output, litlen, distance);
}
#endif

using DecodeBlock = bool (*)(Bits&, Output&, const uint32_t*, const uint32_t*);

bool decode_block(Bits& bits, Output& output, const uint32_t* litlen, const uint32_t* distance)
{
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const DecodeBlock chosen = __builtin_cpu_supports("bmi2") ? decode_block_bmi2 : decode_block_plain;
#else
    static const DecodeBlock chosen = decode_block_plain;
#endif
    return chosen(bits, output, litlen, distance);
}

bool stored_block(Bits& bits, Output& output)
{
    bits.align();
    if (bits.end - bits.in < 4) return false;
    const unsigned length = bits.in[0] | unsigned{bits.in[1]} << 8;
    const unsigned complement = bits.in[2] | unsigned{bits.in[3]} << 8;
    if (length != (~complement & 0xFFFF)) return false;
    bits.in += 4;
    if (static_cast<size_t>(bits.end - bits.in) < length || static_cast<size_t>(output.end - output.at) < length) {
        return false;
    }
    if (length > 0) std::memcpy(output.at, bits.in, length);
    bits.in += length;
    output.at += length;
    return true;
}

bool dynamic_block(Bits& bits, Output& output)
{
    if (!bits.need(14)) return false;
    const unsigned litlen_count = bits.take(5) + 257;
    const unsigned distance_count = bits.take(5) + 1;
    const unsigned length_count = bits.take(4) + 4;
    if (litlen_count > kLitLenCodes || distance_count > kDistanceCodes) return false;

    uint8_t code_lengths[kCodeLengthCodes] = {};
    for (unsigned i = 0; i < length_count; ++i) {
        if (!bits.need(3)) return false;
        code_lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(bits.take(3));
    }
    uint32_t length_table[kCodeLengthTableSize];
    if (!build_table(Alphabet::kCodeLengths, code_lengths, kCodeLengthCodes, kCodeLengthRoot, length_table,
                     kCodeLengthTableSize)) {
        return false;
    }

    // The literal/length and distance lengths are one sequence: a repeat may run from one into
    // the other, never past the last.
    uint8_t lengths[kLitLenCodes + kDistanceCodes];
    const unsigned total = litlen_count + distance_count;
    unsigned have = 0;
    while (have < total) {
        bits.fill();
        const uint32_t e = length_table[bits.buf & (kCodeLengthTableSize - 1)];
        if (consumed(e) > bits.n) return false;
        bits.take(consumed(e));
        const unsigned symbol = value(e);
        if (symbol < 16) {
            lengths[have++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint8_t repeated = 0;
        unsigned times = 0;
        if (symbol == 16) {
            if (have == 0 || !bits.need(2)) return false;
            repeated = lengths[have - 1];
            times = 3 + bits.take(2);
        } else if (symbol == 17) {
            if (!bits.need(3)) return false;
            times = 3 + bits.take(3);
        } else {
            if (!bits.need(7)) return false;
            times = 11 + bits.take(7);
        }
        if (have + times > total) return false;
        std::memset(lengths + have, repeated, times);
        have += times;
    }
    if (lengths[kEndOfBlock] == 0) return false;

    uint32_t litlen[kLitLenTableSize];
    uint32_t distance[kDistanceTableSize];
    if (!build_table(Alphabet::kLitLen, lengths, litlen_count, kLitLenRoot, litlen, kLitLenTableSize) ||
        !build_table(Alphabet::kDistance, lengths + litlen_count, distance_count, kDistanceRoot, distance,
                     kDistanceTableSize)) {
        return false;
    }
    return decode_block(bits, output, litlen, distance);
}

}  // namespace

bool inflate_zlib_exact(ByteSpan data, MutableByteSpan out)
{
    if (data.size() < 2 || data[0] != kCmfDeflate32K || (data[1] & kFlgPresetDictionary) != 0 ||
        (data[0] * 256 + data[1]) % kHeaderCheckModulus != 0) {
        return false;
    }
    Bits bits{data.data() + 2, data.data() + data.size()};
    Output output{out.data(), out.data(), out.data() + out.size()};
    for (bool last = false; !last;) {
        if (!bits.need(3)) return false;
        last = bits.take(1) != 0;
        bool ok = false;
        switch (bits.take(2)) {
        case kStoredBlock:
            ok = stored_block(bits, output);
            break;
        case kFixedBlock:
            ok = decode_block(bits, output, fixed_tables().litlen, fixed_tables().distance);
            break;
        case kDynamicBlock:
            ok = dynamic_block(bits, output);
            break;
        default:
            break;
        }
        if (!ok) return false;
    }
    if (output.at != output.end) return false;
    bits.align();
    if (bits.end - bits.in < kTrailerSize) return false;
    return read_be32(bits.in) == adler32_update(1, out.data(), out.size());
}

}  // namespace qv::deflate

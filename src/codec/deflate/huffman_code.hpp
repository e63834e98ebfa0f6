// Huffman codes for a block, built the way the reference compressor builds them, so that the
// code lengths (and with them every byte of the block) come out the same: leaves enter a heap
// in symbol order, the two least frequent nodes merge (ties go to the shallower node), at
// least two codes always exist, lengths over the limit are folded back with the reference's
// own repair, and codes are assigned canonically.
#pragma once

#include <array>
#include <cstdint>

namespace qv::deflate {

// The largest alphabet (literal/length: 286 symbols) and its tree's node count.
inline constexpr int kMaxSymbols = 286;
inline constexpr int kHeapSize = 2 * kMaxSymbols + 1;

struct CodeSpec {
    int symbols;                 // alphabet size
    int max_length;              // longest code allowed
    const uint8_t* extra_bits;   // extra bits of symbol base + i, or null
    int extra_base;
    const uint8_t* static_lengths;  // the fixed code's lengths, or null (code length code)
};

// A built code: lengths and bit-reversed codes, ready to be written.
struct Code {
    std::array<uint8_t, kMaxSymbols + 2> lengths{};  // one guard entry past the last symbol
    std::array<uint16_t, kMaxSymbols + 2> codes{};
    int max_code = -1;  // the last symbol with a code
};

// Builds `code` for `freq` (spec.symbols counts; forced codes are added to a copy) and adds the
// block's cost in bits as the reference counts it: to *dynamic_bits, freq * (length + extra)
// (with its small offset for forced codes), to *static_bits the same with the fixed code's
// lengths.
void build_code(const uint16_t* freq, const CodeSpec& spec, Code* code, int64_t* dynamic_bits,
                int64_t* static_bits);

// Canonical codes (bit-reversed, as the stream sends them) for the given lengths.
void assign_codes(const uint8_t* lengths, int count, uint16_t* codes);

// The fixed literal/length and distance codes (block type 1).
struct FixedCodes {
    std::array<uint8_t, 288> litlen_lengths;
    std::array<uint16_t, 288> litlen_codes;
    std::array<uint8_t, 30> distance_lengths;
    std::array<uint16_t, 30> distance_codes;
};
const FixedCodes& fixed_codes();

}  // namespace qv::deflate

// Turning a block of tokens into deflate bits, choosing among stored, fixed and dynamic codes
// by the reference compressor's size rule, so that the same tokens give the same bytes.
#pragma once

#include "codec/deflate/bit_writer.hpp"
#include "codec/deflate/format.hpp"
#include "codec/deflate/huffman_code.hpp"

#include <cstddef>
#include <cstdint>

namespace qv::deflate {

// One symbol of the parse: a literal byte (distance 0) or a match, packed as
// distance << 8 | (literal byte, or match length - 3).
using Token = uint32_t;

inline constexpr Token literal_token(uint8_t byte) { return byte; }
inline constexpr Token match_token(uint32_t distance, uint32_t length) { return distance << 8 | (length - kMinMatch); }
inline constexpr bool is_literal(Token t) { return (t >> 8) == 0; }
inline constexpr uint32_t token_distance(Token t) { return t >> 8; }
inline constexpr uint32_t token_length(Token t) { return is_literal(t) ? 1 : (t & 0xff) + kMinMatch; }

// The bytes `count` tokens cover, summed without a branch so that the loop vectorises.
inline uint64_t covered(const Token* tokens, size_t count)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t is_match = (tokens[i] >> 8) != 0;
        sum += 1 + is_match * ((tokens[i] & 0xff) + kMinMatch - 1);
    }
    return sum;
}

// Blocks end after this many symbols (the reference's symbol buffer at its default memory
// level, less one), and at the end of the data.
inline constexpr size_t kBlockSymbols = 16383;

enum class BlockType { kStored, kFixed, kDynamic };

// A block whose codes are built and whose encoding is chosen.
struct BlockPlan {
    BlockType type = BlockType::kFixed;
    bool last = false;
    const Token* tokens = nullptr;
    size_t count = 0;
    size_t stored_length = 0;  // the bytes the block covers
    Code litlen;
    Code distance;
    Code lengths;  // the code length code
    int length_codes_sent = 0;
    int64_t coded_bits = 0;  // everything after the 3 header bits, for a fixed or dynamic block

    // The block's size in bits when it starts `offset` bits into the stream.
    uint64_t bits_at(uint64_t offset) const;
};

// Counts the symbols of `tokens`, builds the codes and picks the encoding. The block covers
// `stored_length` bytes; `storable` is false when the reference could no longer store them (the
// block's start has left its window).
void plan_block(const Token* tokens, size_t count, bool storable, size_t stored_length, bool last, BlockPlan* plan);

// Writes the planned block; `stored` holds its bytes when it is a stored block.
void write_block(const BlockPlan& plan, const uint8_t* stored, BitWriter& out);

}  // namespace qv::deflate

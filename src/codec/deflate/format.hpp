// The deflate format (RFC 1951) and its zlib wrapper (RFC 1950): the numbers both directions
// share, for the inflater and the compressor alike.
#pragma once

#include <array>
#include <cstdint>

namespace qv::deflate {

inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 258;
inline constexpr uint32_t kWindowSize = 32768;  // the largest distance a stream may use

inline constexpr int kLiterals = 256;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kLengthCodes = 29;                          // symbols 257..285
inline constexpr int kLitLenCodes = kLiterals + 1 + kLengthCodes;  // 286 valid symbols
inline constexpr int kFixedLitLenCodes = 288;                    // 286 and 287 exist, never valid
inline constexpr int kDistanceCodes = 30;                        // 30 and 31 exist, never valid
inline constexpr int kFixedDistanceCodes = 32;
inline constexpr int kCodeLengthCodes = 19;
inline constexpr int kMaxCodeBits = 15;
inline constexpr int kMaxCodeLengthBits = 7;

// Block types, as the two bits after BFINAL hold them.
inline constexpr int kStoredBlock = 0;
inline constexpr int kFixedBlock = 1;
inline constexpr int kDynamicBlock = 2;

// The order in which a dynamic block lists the code length code's lengths.
inline constexpr std::array<uint8_t, kCodeLengthCodes> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

// Length symbol 257 + i: base length and extra bits.
inline constexpr std::array<uint16_t, kLengthCodes> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                                                   15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                                                   67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<uint8_t, kLengthCodes> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Distance symbol i: base distance and extra bits.
inline constexpr std::array<uint16_t, kDistanceCodes> kDistanceBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<uint8_t, kDistanceCodes> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,
                                                                       4, 4, 5, 5, 6, 6, 7,  7,  8,  8,
                                                                       9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The fixed code's lengths (block type 1).
inline constexpr int fixed_litlen_length(int symbol)
{
    return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
}
inline constexpr int kFixedDistanceLength = 5;

// The zlib wrapper: CMF 0x78 is deflate with the 32 KiB window; FLG bit 5 announces a preset
// dictionary; CMF * 256 + FLG is a multiple of 31. The stream ends with the Adler-32 of the
// uncompressed data, big-endian.
inline constexpr uint8_t kCmfDeflate32K = 0x78;
inline constexpr uint8_t kFlgPresetDictionary = 0x20;
inline constexpr int kHeaderCheckModulus = 31;
inline constexpr int kTrailerSize = 4;

}  // namespace qv::deflate

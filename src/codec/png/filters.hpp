// PNG scanline filter arithmetic, for decoding and encoding alike. Plain byte arithmetic:
// no Python, no allocation, nothing that can fail; callers guarantee the lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace qv::png {

enum FilterType : int { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
inline constexpr int kMaxFilterType = 4;

// The Paeth predictor; ties go to a (left), then b (up), then c (upper left). With
// p = a + b - c the three distances are |b - c|, |a - c| and |a + b - 2c|; written without
// branches, the compiler turns the choice into conditional moves.
inline int paeth_predictor(int a, int b, int c)
{
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - c - c);
    const int bc = pb <= pc ? b : c;
    return ((pa <= pb) & (pa <= pc)) ? a : bc;
}

// Reconstructs one scanline: recon[i] = filtered[i] + predictor (mod 256), where the
// predictor reads the bytes of `recon` already produced and the previous reconstructed row
// `prev` (nullptr for the first row, read as zeros). 0 <= type <= 4, bpp >= 1.
inline void unfilter_row(int type, const uint8_t* filtered, const uint8_t* prev, size_t length, size_t bpp,
                         uint8_t* recon)
{
    const size_t head = bpp < length ? bpp : length;
    switch (type) {
    case kNone:
        for (size_t i = 0; i < length; ++i) recon[i] = filtered[i];
        break;
    case kSub:
        for (size_t i = 0; i < head; ++i) recon[i] = filtered[i];
        for (size_t i = head; i < length; ++i) recon[i] = static_cast<uint8_t>(filtered[i] + recon[i - bpp]);
        break;
    case kUp:
        if (prev == nullptr) {
            for (size_t i = 0; i < length; ++i) recon[i] = filtered[i];
        } else {
            for (size_t i = 0; i < length; ++i) recon[i] = static_cast<uint8_t>(filtered[i] + prev[i]);
        }
        break;
    case kAverage:
        if (prev == nullptr) {
            for (size_t i = 0; i < head; ++i) recon[i] = filtered[i];
            for (size_t i = head; i < length; ++i) recon[i] = static_cast<uint8_t>(filtered[i] + (recon[i - bpp] >> 1));
        } else {
            for (size_t i = 0; i < head; ++i) recon[i] = static_cast<uint8_t>(filtered[i] + (prev[i] >> 1));
            for (size_t i = head; i < length; ++i) {
                recon[i] = static_cast<uint8_t>(filtered[i] + ((recon[i - bpp] + prev[i]) >> 1));
            }
        }
        break;
    case kPaeth:
        if (prev == nullptr) {  // Paeth(a, 0, 0) = a: the Sub filter
            for (size_t i = 0; i < head; ++i) recon[i] = filtered[i];
            for (size_t i = head; i < length; ++i) recon[i] = static_cast<uint8_t>(filtered[i] + recon[i - bpp]);
        } else {  // Paeth(0, b, 0) = b for the first pixel
            for (size_t i = 0; i < head; ++i) recon[i] = static_cast<uint8_t>(filtered[i] + prev[i]);
            for (size_t i = head; i < length; ++i) {
                recon[i] = static_cast<uint8_t>(filtered[i] + paeth_predictor(recon[i - bpp], prev[i], prev[i - bpp]));
            }
        }
        break;
    default:
        break;
    }
}

// Filters one scanline, the exact inverse of unfilter_row: out[i] = raw[i] - predictor
// (mod 256), the predictor taken from the unfiltered bytes `raw` and `prev` (nullptr for
// the first row, read as zeros).
inline void filter_row(int type, const uint8_t* raw, const uint8_t* prev, size_t length, size_t bpp, uint8_t* out)
{
    const size_t head = bpp < length ? bpp : length;
    switch (type) {
    case kNone:
        for (size_t i = 0; i < length; ++i) out[i] = raw[i];
        break;
    case kSub:
        for (size_t i = 0; i < head; ++i) out[i] = raw[i];
        for (size_t i = head; i < length; ++i) out[i] = static_cast<uint8_t>(raw[i] - raw[i - bpp]);
        break;
    case kUp:
        if (prev == nullptr) {
            for (size_t i = 0; i < length; ++i) out[i] = raw[i];
        } else {
            for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(raw[i] - prev[i]);
        }
        break;
    case kAverage:
        if (prev == nullptr) {
            for (size_t i = 0; i < head; ++i) out[i] = raw[i];
            for (size_t i = head; i < length; ++i) out[i] = static_cast<uint8_t>(raw[i] - (raw[i - bpp] >> 1));
        } else {
            for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(raw[i] - (prev[i] >> 1));
            for (size_t i = head; i < length; ++i) out[i] = static_cast<uint8_t>(raw[i] - ((raw[i - bpp] + prev[i]) >> 1));
        }
        break;
    case kPaeth:
        if (prev == nullptr) {
            for (size_t i = 0; i < head; ++i) out[i] = raw[i];
            for (size_t i = head; i < length; ++i) out[i] = static_cast<uint8_t>(raw[i] - raw[i - bpp]);
        } else {
            for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(raw[i] - prev[i]);
            for (size_t i = head; i < length; ++i) {
                out[i] = static_cast<uint8_t>(raw[i] - paeth_predictor(raw[i - bpp], prev[i], prev[i - bpp]));
            }
        }
        break;
    default:
        break;
    }
}

}  // namespace qv::png

// The B, G, R <-> R, G, B swap of BMP rows. With SSSE3 (checked at run time; the x86-64
// baseline is SSE2) one byte shuffle turns five pixels around at a time; elsewhere each pixel
// is moved as a 4-byte word. Both write a byte past the current pixels that the next step
// writes again, so the row's last pixels are always moved one byte at a time.
#include "codec/bmp/bmp_format.hpp"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define QV_SSSE3_SWAP 1
#endif

namespace qv::bmp {

namespace {

void swap_bytewise(const uint8_t* src, uint8_t* dst, size_t from, size_t pixels)
{
    for (size_t i = 3 * from; i < 3 * pixels; i += 3) {
        dst[i] = src[i + 2];
        dst[i + 1] = src[i + 1];
        dst[i + 2] = src[i];
    }
}

// Pixels [0, return value) done; each step reads and writes 4 bytes from a pixel's start.
size_t swap_wordwise(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    if constexpr (std::endian::native != std::endian::little) return 0;
    size_t x = 0;
    for (; x + 1 < pixels; ++x) {
        uint32_t v;
        std::memcpy(&v, src + 3 * x, 4);
        v = __builtin_bswap32(v) >> 8;  // bytes 0, 1, 2 become 2, 1, 0
        std::memcpy(dst + 3 * x, &v, 4);
    }
    return x;
}

#ifdef QV_SSSE3_SWAP
// Five pixels per 16-byte step; the 16th byte is left as it was read.
__attribute__((target("ssse3"))) size_t swap_shuffled(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t x = 0;
    for (; x + 6 <= pixels; x += 5) {  // 16 bytes from pixel x stay inside the row
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x), _mm_shuffle_epi8(v, order));
    }
    return x;
}

bool has_ssse3()
{
    static const bool supported = __builtin_cpu_supports("ssse3");
    return supported;
}
#endif

}  // namespace

void copy_row_swapping_red_blue(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    size_t done = 0;
#ifdef QV_SSSE3_SWAP
    if (has_ssse3()) done = swap_shuffled(src, dst, pixels);
#endif
    done += swap_wordwise(src + 3 * done, dst + 3 * done, pixels - done);
    swap_bytewise(src, dst, done, pixels);
}

}  // namespace qv::bmp

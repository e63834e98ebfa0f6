#include "codec/deflate/inflate_adler.hpp"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#define QV_AVX2_ADLER 1
#endif

namespace qv::deflate {

namespace {

constexpr uint32_t kModulus = 65521;

#ifdef QV_AVX2_ADLER
// 32 bytes a step. For bytes b_0 .. b_31 added to the sums (s1, s2): s1 grows by their sum and
// s2 by 32 * s1 + the sum of (32 - i) * b_i. The first part is kept as the running total of s1
// before each step (`before`), the rest in lanes; both fold into the sums once a block.
__attribute__((target("avx2"))) uint32_t adler32_avx2(uint32_t adler, const uint8_t* data, size_t size)
{
    uint64_t s1 = adler & 0xFFFF;
    uint64_t s2 = adler >> 16;
    // A block's lane sums stay far below 2^32 (s2's lanes: 1024 * 4 * 255 * 32).
    constexpr size_t kBlockSteps = 1024;
    const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                             14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();
    while (size >= 32) {
        const size_t steps = size / 32 < kBlockSteps ? size / 32 : kBlockSteps;
        __m256i sum = zero;     // 4 x 64: the bytes
        __m256i before = zero;  // 4 x 64: `sum` before each step
        __m256i weighted = zero;  // 8 x 32
        for (size_t i = 0; i < steps; ++i) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32 * i));
            before = _mm256_add_epi64(before, sum);
            sum = _mm256_add_epi64(sum, _mm256_sad_epu8(bytes, zero));
            weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, weights), ones));
        }
        alignas(32) uint64_t sums[4];
        alignas(32) uint64_t befores[4];
        alignas(32) uint32_t weights_out[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(sums), sum);
        _mm256_store_si256(reinterpret_cast<__m256i*>(befores), before);
        _mm256_store_si256(reinterpret_cast<__m256i*>(weights_out), weighted);
        uint64_t block_sum = 0;
        uint64_t block_before = 0;
        uint64_t block_weighted = 0;
        for (int i = 0; i < 4; ++i) {
            block_sum += sums[i];
            block_before += befores[i];
        }
        for (int i = 0; i < 8; ++i) block_weighted += weights_out[i];
        s2 = (s2 + 32 * steps * s1 + 32 * block_before + block_weighted) % kModulus;
        s1 = (s1 + block_sum) % kModulus;
        data += 32 * steps;
        size -= 32 * steps;
    }
    for (size_t i = 0; i < size; ++i) {
        s1 += data[i];
        s2 += s1;
    }
    return static_cast<uint32_t>((s2 % kModulus) << 16 | (s1 % kModulus));
}

// The same with SSE2, which every x86-64 processor has: 16 bytes a step, the weighted sum
// through 16-bit lanes.
uint32_t adler32_sse2(uint32_t adler, const uint8_t* data, size_t size)
{
    uint64_t s1 = adler & 0xFFFF;
    uint64_t s2 = adler >> 16;
    constexpr size_t kBlockSteps = 2048;  // s2's lanes: 2048 * 2 * 255 * 16 < 2^31
    const __m128i low_weights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i high_weights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i zero = _mm_setzero_si128();
    while (size >= 16) {
        const size_t steps = size / 16 < kBlockSteps ? size / 16 : kBlockSteps;
        __m128i sum = zero;
        __m128i before = zero;
        __m128i weighted = zero;
        for (size_t i = 0; i < steps; ++i) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i));
            before = _mm_add_epi64(before, sum);
            sum = _mm_add_epi64(sum, _mm_sad_epu8(bytes, zero));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(bytes, zero), low_weights));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(bytes, zero), high_weights));
        }
        alignas(16) uint64_t sums[2];
        alignas(16) uint64_t befores[2];
        alignas(16) uint32_t weights_out[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(sums), sum);
        _mm_store_si128(reinterpret_cast<__m128i*>(befores), before);
        _mm_store_si128(reinterpret_cast<__m128i*>(weights_out), weighted);
        const uint64_t block_weighted =
            uint64_t{weights_out[0]} + weights_out[1] + weights_out[2] + weights_out[3];
        s2 = (s2 + 16 * steps * s1 + 16 * (befores[0] + befores[1]) + block_weighted) % kModulus;
        s1 = (s1 + sums[0] + sums[1]) % kModulus;
        data += 16 * steps;
        size -= 16 * steps;
    }
    for (size_t i = 0; i < size; ++i) {
        s1 += data[i];
        s2 += s1;
    }
    return static_cast<uint32_t>((s2 % kModulus) << 16 | (s1 % kModulus));
}

bool has_avx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#endif

}  // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t size)
{
#ifdef QV_AVX2_ADLER
    if (has_avx2()) return adler32_avx2(adler, data, size);
    return adler32_sse2(adler, data, size);
#else
    return static_cast<uint32_t>(adler32_z(adler, data, size));
#endif
}

}  // namespace qv::deflate

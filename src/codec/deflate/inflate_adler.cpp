#include "codec/deflate/inflate_adler.hpp"

#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
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
#endif
    return static_cast<uint32_t>(adler32_z(adler, data, size));
}

}  // namespace qv::deflate

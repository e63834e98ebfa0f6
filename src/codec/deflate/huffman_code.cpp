#include "codec/deflate/huffman_code.hpp"

#include "codec/deflate/format.hpp"

#include <algorithm>

namespace qv::deflate {

namespace {

// The tree while it is built: leaves 0..symbols-1, inner nodes from `symbols` on, and the
// heap of node numbers (1-based; the nodes taken out are kept at its top end in the order
// they were merged, least frequent last).
struct Tree {
    std::array<uint16_t, kHeapSize> freq{};
    std::array<uint16_t, kHeapSize> parent{};
    std::array<uint8_t, kHeapSize> depth{};
    std::array<uint16_t, kHeapSize> length{};
    std::array<int, kHeapSize + 1> heap{};
    int heap_len = 0;
    int heap_max = kHeapSize;

    bool lighter(int n, int m) const
    {
        return freq[n] < freq[m] || (freq[n] == freq[m] && depth[n] <= depth[m]);
    }

    void sift_down(int k)
    {
        const int v = heap[k];
        int child = k << 1;
        while (child <= heap_len) {
            if (child < heap_len && lighter(heap[child + 1], heap[child])) ++child;
            if (lighter(v, heap[child])) break;
            heap[k] = heap[child];
            k = child;
            child <<= 1;
        }
        heap[k] = v;
    }
};

// Depths from the root down; a depth over the limit is cut to it and repaired by moving
// leaves, then lengths are dealt out again from the least frequent leaf up.
void assign_lengths(Tree& t, const CodeSpec& spec, int max_code, std::array<uint16_t, kMaxCodeBits + 1>& count,
                    int64_t* dynamic_bits, int64_t* static_bits)
{
    count.fill(0);
    int overflow = 0;
    t.length[static_cast<size_t>(t.heap[t.heap_max])] = 0;
    int h = t.heap_max + 1;
    for (; h < kHeapSize; ++h) {
        const int n = t.heap[h];
        int bits = t.length[t.parent[n]] + 1;
        if (bits > spec.max_length) {
            bits = spec.max_length;
            ++overflow;
        }
        t.length[n] = static_cast<uint16_t>(bits);
        if (n > max_code) continue;  // an inner node
        ++count[bits];
        const int extra = spec.extra_bits != nullptr && n >= spec.extra_base ? spec.extra_bits[n - spec.extra_base] : 0;
        const int64_t f = t.freq[n];
        *dynamic_bits += f * (bits + extra);
        if (spec.static_lengths != nullptr) *static_bits += f * (spec.static_lengths[n] + extra);
    }
    if (overflow == 0) return;

    do {
        int bits = spec.max_length - 1;
        while (count[bits] == 0) --bits;
        --count[bits];
        count[bits + 1] += 2;
        --count[spec.max_length];
        overflow -= 2;
    } while (overflow > 0);

    for (int bits = spec.max_length; bits != 0; --bits) {
        for (int left = count[bits]; left != 0;) {
            const int m = t.heap[--h];
            if (m > max_code) continue;
            if (t.length[m] != bits) {
                *dynamic_bits += int64_t{bits - t.length[m]} * t.freq[m];
                t.length[m] = static_cast<uint16_t>(bits);
            }
            --left;
        }
    }
}

uint16_t reverse_bits(unsigned code, int length)
{
    unsigned result = 0;
    for (int i = 0; i < length; ++i, code >>= 1) result = (result << 1) | (code & 1);
    return static_cast<uint16_t>(result);
}

// Codes from per-length counts: consecutive values within a length, shorter lengths first.
void codes_from_counts(const uint8_t* lengths, int last, const std::array<uint16_t, kMaxCodeBits + 1>& count,
                       uint16_t* codes)
{
    std::array<unsigned, kMaxCodeBits + 1> next{};
    unsigned value = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        value = (value + count[bits - 1]) << 1;
        next[bits] = value;
    }
    for (int n = 0; n <= last; ++n) {
        const int length = lengths[n];
        if (length != 0) codes[n] = reverse_bits(next[length]++, length);
    }
}

}  // namespace

void assign_codes(const uint8_t* lengths, int count, uint16_t* codes)
{
    std::array<uint16_t, kMaxCodeBits + 1> per_length{};
    for (int n = 0; n < count; ++n) ++per_length[lengths[n]];
    per_length[0] = 0;
    codes_from_counts(lengths, count - 1, per_length, codes);
}

void build_code(const uint16_t* freq, const CodeSpec& spec, Code* code, int64_t* dynamic_bits, int64_t* static_bits)
{
    Tree t;
    int max_code = -1;
    for (int n = 0; n < spec.symbols; ++n) {
        t.freq[n] = freq[n];
        if (freq[n] != 0) {
            t.heap[++t.heap_len] = max_code = n;
            t.depth[n] = 0;
        } else {
            t.length[n] = 0;
        }
    }
    // At least two codes, so that every code has at least one bit: symbols 0 and 1 are given
    // a frequency of one where they are missing.
    while (t.heap_len < 2) {
        const int node = max_code < 2 ? ++max_code : 0;
        t.heap[++t.heap_len] = node;
        t.freq[node] = 1;
        t.depth[node] = 0;
        *dynamic_bits -= 1;
        if (spec.static_lengths != nullptr) *static_bits -= spec.static_lengths[node];
    }
    code->max_code = max_code;

    for (int n = t.heap_len / 2; n >= 1; --n) t.sift_down(n);
    int node = spec.symbols;
    do {
        const int n = t.heap[1];
        t.heap[1] = t.heap[t.heap_len--];
        t.sift_down(1);
        const int m = t.heap[1];
        t.heap[--t.heap_max] = n;
        t.heap[--t.heap_max] = m;
        t.freq[node] = static_cast<uint16_t>(t.freq[n] + t.freq[m]);
        t.depth[node] = static_cast<uint8_t>(std::max(t.depth[n], t.depth[m]) + 1);
        t.parent[n] = t.parent[m] = static_cast<uint16_t>(node);
        t.heap[1] = node++;
        t.sift_down(1);
    } while (t.heap_len >= 2);
    t.heap[--t.heap_max] = t.heap[1];

    std::array<uint16_t, kMaxCodeBits + 1> count{};
    assign_lengths(t, spec, max_code, count, dynamic_bits, static_bits);
    for (int n = 0; n <= max_code; ++n) code->lengths[n] = static_cast<uint8_t>(t.length[n]);
    for (int n = max_code + 1; n < static_cast<int>(code->lengths.size()); ++n) code->lengths[n] = 0;
    codes_from_counts(code->lengths.data(), max_code, count, code->codes.data());
}

const FixedCodes& fixed_codes()
{
    static const FixedCodes codes = [] {
        FixedCodes c{};
        for (int n = 0; n < 288; ++n) c.litlen_lengths[n] = static_cast<uint8_t>(fixed_litlen_length(n));
        assign_codes(c.litlen_lengths.data(), 288, c.litlen_codes.data());
        for (int n = 0; n < 30; ++n) {
            c.distance_lengths[n] = kFixedDistanceLength;
            c.distance_codes[n] = reverse_bits(static_cast<unsigned>(n), kFixedDistanceLength);
        }
        return c;
    }();
    return codes;
}

}  // namespace qv::deflate

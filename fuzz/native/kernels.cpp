// The filter kernels on every instruction-set path against the byte loops: the input gives a
// pixel size, filter types and three rows; each row is filtered and rebuilt alone and in
// pairs, on each path, and every result must match the byte loops and give the rows back.
// On x86-64 the SSSE3 and SSE4.1 paths run the kernel units chosen at run time (a path the
// processor lacks runs the widest below it, so every path listed is safe to ask for).
#include "fuzz_support.hpp"

#include "codec/png/row_pair_kernels.hpp"

#include <algorithm>
#include <vector>

namespace {

using qv::png::KernelPath;
constexpr KernelPath kPaths[] = {KernelPath::kScalar, KernelPath::kSse2, KernelPath::kSsse3, KernelPath::kSse41};

bool same(const uint8_t* a, const uint8_t* b, size_t n) { return std::equal(a, a + n, b); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qv::fuzz::Input in(data, size);
    static constexpr size_t kBpp[] = {1, 2, 3, 4, 6, 8};
    const size_t bpp = kBpp[in.byte() % 6];
    const int type0 = in.byte() % 5;
    const int type1 = in.byte() % 5;
    const size_t length = in.left() / 3 / bpp * bpp;
    std::vector<uint8_t> rows(in.rest(), in.rest() + 3 * length);
    const uint8_t* above = rows.data();
    const uint8_t* upper = above + length;
    const uint8_t* lower = upper + length;

    std::vector<uint8_t> f0(length), f1(length), first(length), want0(length), want1(length);
    qv::png::filter_row_scalar(type0, upper, above, length, bpp, f0.data());
    qv::png::filter_row_scalar(type1, lower, upper, length, bpp, f1.data());
    qv::png::filter_row_scalar(type0, above, nullptr, length, bpp, first.data());
    qv::png::unfilter_row_scalar(type0, f0.data(), above, length, bpp, want0.data());
    FUZZ_CHECK(same(want0.data(), upper, length));

    std::vector<uint8_t> out(length), out1(length);
    for (KernelPath path : kPaths) {
        qv::png::filter_row(type0, upper, above, length, bpp, out.data(), path);
        FUZZ_CHECK(out == f0);
        qv::png::filter_row(type0, above, nullptr, length, bpp, out.data(), path);
        FUZZ_CHECK(out == first);
        qv::png::reconstruct_row(type0, first.data(), nullptr, length, bpp, out.data(), path);
        FUZZ_CHECK(same(out.data(), above, length));
        qv::png::reconstruct_row(type0, f0.data(), above, length, bpp, out.data(), path);
        FUZZ_CHECK(same(out.data(), upper, length));
        // The lower row lands on the memory of the row above the pair, as in the RGBA decoder.
        std::vector<uint8_t> shared(above, above + length);
        qv::png::reconstruct_pair(type0, type1, f0.data(), f1.data(), shared.data(), length, bpp, out.data(),
                                  shared.data(), path);
        FUZZ_CHECK(same(out.data(), upper, length));
        FUZZ_CHECK(same(shared.data(), lower, length));
    }
    return 0;
}

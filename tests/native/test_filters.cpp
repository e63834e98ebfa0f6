// The filter arithmetic: the encoder's filter_row and the decoder's three reconstruction paths
// (byte loops, pixel kernels, two-row kernels) against the naive reference, on every kernel
// path built, for every filter type, the pixel sizes in use and every width from 0 to 65
// (the kernels change step at each pixel, at each 16-byte block and at the row's last pixel,
// so small widths are where they go wrong).
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"
#include "codec/png/row_pair_kernels.hpp"
#include "codec/png/unfilter_kernels.hpp"

#include <algorithm>
#include <cstdio>

namespace {

using qv::ref::Bytes;
using qv::ref::Random;

constexpr size_t kMaxWidth = 65;
constexpr uint8_t kCanary = 0xA5;
constexpr size_t kGuard = 16;

// An output buffer with guard bytes behind it: a kernel that spills past the row shows.
struct Guarded {
    explicit Guarded(size_t n) : size(n), bytes(n + kGuard, kCanary) {}
    uint8_t* data() { return bytes.data(); }
    Bytes row() const { return Bytes(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size)); }
    bool intact() const
    {
        for (size_t i = size; i < bytes.size(); ++i) {
            if (bytes[i] != kCanary) return false;
        }
        return true;
    }
    size_t size;
    Bytes bytes;
};

const uint8_t* or_null(const Bytes& prev) { return prev.empty() ? nullptr : prev.data(); }

using qv::png::KernelPath;

// The paths that run here: those built into this file and, on x86-64, those of the kernel
// units that the processor supports. A wider one asked for runs the widest one below it that
// runs, which the loops below would only repeat; the paths left out are named once.
std::vector<KernelPath> built_paths()
{
    static const std::vector<KernelPath> paths = [] {
        std::vector<KernelPath> runnable;
        for (KernelPath p : {KernelPath::kScalar, KernelPath::kSse2, KernelPath::kSsse3, KernelPath::kSse41}) {
            if (qv::png::kernel_path_supported(p)) {
                runnable.push_back(p);
            } else {
                std::printf("  note: the %s kernels are not tested: neither built in nor supported by this processor\n",
                            qv::png::kernel_path_name(p));
            }
        }
        return runnable;
    }();
    return paths;
}

// Three rows of `width` pixels: the first has no row above it, the others do.
std::vector<Bytes> rows_for(Random& rng, size_t width, size_t bpp)
{
    return {rng.bytes(width * bpp), rng.bytes(width * bpp), rng.bytes(width * bpp)};
}

TEST_CASE("Paeth predictor equals the definition for every byte triple")
{
    int wrong = 0;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            for (int c = 0; c < 256; ++c) wrong += qv::png::predict_paeth(a, b, c) != qv::ref::paeth(a, b, c);
        }
    }
    CHECK_EQ(wrong, 0);
}

TEST_CASE("filter_row equals the reference on every path, for every type, pixel size and width")
{
    Random rng(1);
    for (KernelPath path : built_paths())
    for (size_t bpp : {1, 2, 3, 4, 6}) {
        for (int type = 0; type <= 4; ++type) {
            for (size_t width = 0; width <= kMaxWidth; ++width) {
                const qv::check::Scope scope(qv::png::kernel_path_name(path), " bpp ", bpp, " type ", type, " width ",
                                             width);
                const std::vector<Bytes> rows = rows_for(rng, width, bpp);
                Bytes prev;
                for (const Bytes& row : rows) {
                    Guarded out(row.size());
                    qv::png::filter_row(type, row.data(), or_null(prev), row.size(), bpp, out.data(), path);
                    CHECK(out.row() == qv::ref::filter(type, row, prev, bpp));
                    CHECK(out.intact());
                    prev = row;
                }
            }
        }
    }
}

// Every single-row reconstruction the decoder has, given the filtered row.
TEST_CASE("unfilter_row_scalar and reconstruct_row on every path give back the original rows")
{
    Random rng(2);
    for (KernelPath path : built_paths())
    for (size_t bpp : {1, 2, 3, 4, 6}) {
        for (int type = 0; type <= 4; ++type) {
            for (size_t width = 0; width <= kMaxWidth; ++width) {
                const qv::check::Scope scope(qv::png::kernel_path_name(path), " bpp ", bpp, " type ", type, " width ",
                                             width);
                const std::vector<Bytes> rows = rows_for(rng, width, bpp);
                Bytes prev;
                for (const Bytes& row : rows) {
                    const Bytes filtered = qv::ref::filter(type, row, prev, bpp);
                    CHECK(qv::ref::unfilter(type, filtered, prev, bpp) == row);  // the reference itself
                    Guarded bytewise(row.size());
                    qv::png::unfilter_row_scalar(type, filtered.data(), or_null(prev), row.size(), bpp, bytewise.data());
                    CHECK(bytewise.row() == row);
                    CHECK(bytewise.intact());
                    Guarded kernel(row.size());
                    qv::png::reconstruct_row(type, filtered.data(), or_null(prev), row.size(), bpp, kernel.data(), path);
                    CHECK(kernel.row() == row);
                    CHECK(kernel.intact());
                    prev = row;
                }
            }
        }
    }
}

TEST_CASE("A first row reconstructs the same with no row above as with a zero row")
{
    Random rng(3);
    for (KernelPath path : built_paths())
    for (size_t bpp : {3, 4}) {
        for (int type = 0; type <= 4; ++type) {
            for (size_t width = 0; width <= kMaxWidth; ++width) {
                const qv::check::Scope scope(qv::png::kernel_path_name(path), " bpp ", bpp, " type ", type, " width ",
                                             width);
                const Bytes filtered = rng.bytes(width * bpp);
                const Bytes zeros(filtered.size(), 0);
                Bytes none(filtered.size()), zero(filtered.size());
                qv::png::reconstruct_row(type, filtered.data(), nullptr, filtered.size(), bpp, none.data(), path);
                qv::png::reconstruct_row(type, filtered.data(), zeros.data(), filtered.size(), bpp, zero.data(), path);
                CHECK(none == zero);
            }
        }
    }
}

// The two-row kernels, for all 25 pairs of types; the RGBA decoder writes the lower row over
// the row above the pair, which the kernels must allow.
TEST_CASE("reconstruct_pair on every path gives back both rows for every pair of types")
{
    Random rng(4);
    for (KernelPath path : built_paths())
    for (size_t bpp : {1, 3, 4, 6}) {
        for (int upper = 0; upper <= 4; ++upper) {
            for (int lower = 0; lower <= 4; ++lower) {
                for (size_t width = 1; width <= kMaxWidth; ++width) {
                    const qv::check::Scope scope(qv::png::kernel_path_name(path), " bpp ", bpp, " types ", upper, ",",
                                                 lower, " width ", width);
                    const std::vector<Bytes> rows = rows_for(rng, width, bpp);
                    const Bytes f0 = qv::ref::filter(upper, rows[1], rows[0], bpp);
                    const Bytes f1 = qv::ref::filter(lower, rows[2], rows[1], bpp);
                    const size_t n = rows[0].size();
                    Guarded out0(n), out1(n);
                    qv::png::reconstruct_pair(upper, lower, f0.data(), f1.data(), rows[0].data(), n, bpp, out0.data(),
                                              out1.data(), path);
                    CHECK(out0.row() == rows[1]);
                    CHECK(out1.row() == rows[2]);
                    CHECK(out0.intact() && out1.intact());

                    Guarded shared(n);  // out1 is the memory of the row above the pair
                    std::copy(rows[0].begin(), rows[0].end(), shared.bytes.begin());
                    Guarded top(n);
                    qv::png::reconstruct_pair(upper, lower, f0.data(), f1.data(), shared.data(), n, bpp, top.data(),
                                              shared.data(), path);
                    CHECK(top.row() == rows[1]);
                    CHECK(shared.row() == rows[2]);
                    CHECK(top.intact() && shared.intact());
                }
            }
        }
    }
}

TEST_CASE("RGBA rows split into RGB and alpha and join back, for every width and path")
{
    Random rng(5);
    for (KernelPath path : built_paths()) {
        for (size_t width = 0; width <= kMaxWidth; ++width) {
            const qv::check::Scope scope(qv::png::kernel_path_name(path), ", width ", width);
            const Bytes rgba = rng.bytes(width * 4);
            Guarded rgb(width * 3), alpha(width);
            qv::png::split_rgba_row(rgba.data(), width, rgb.data(), alpha.data(), path);
            Bytes want_rgb, want_alpha;
            for (size_t x = 0; x < width; ++x) {
                want_rgb.insert(want_rgb.end(), rgba.begin() + static_cast<ptrdiff_t>(4 * x),
                                rgba.begin() + static_cast<ptrdiff_t>(4 * x + 3));
                want_alpha.push_back(rgba[4 * x + 3]);
            }
            CHECK(rgb.row() == want_rgb);
            CHECK(alpha.row() == want_alpha);
            CHECK(rgb.intact() && alpha.intact());

            Guarded joined(width * 4);
            qv::png::join_rgba_row(want_rgb.data(), want_alpha.data(), width, joined.data(), path);
            CHECK(joined.row() == rgba);
            CHECK(joined.intact());
        }
    }
}

// Literal values, so that the reference and the code cannot share a misreading.
TEST_CASE("Filter arithmetic on hand-worked rows")
{
    struct Row {
        int type;
        Bytes prev;
        Bytes raw;
        Bytes filtered;
    };
    const Row rows[] = {
        {1, {}, {10, 20, 30, 15, 25, 40}, {10, 20, 30, 5, 5, 10}},
        {2, {200, 0, 0}, {100, 0, 0}, {156, 0, 0}},
        {3, {250, 0, 0, 0, 0, 0}, {0, 0, 0, 200, 0, 0}, {131, 0, 0, 200, 0, 0}},     // 250 / 2 = 125
        {3, {0, 0, 0, 250, 0, 0}, {200, 0, 0, 0, 0, 0}, {200, 0, 0, 31, 0, 0}},  // (200 + 250) / 2 = 225
        {4, {}, {10, 20, 30, 15, 25, 40}, {10, 20, 30, 5, 5, 10}},           // Paeth on row 0 is Sub
        {4, {50, 60, 70, 10, 60, 80}, {40, 60, 90, 0, 0, 0}, {246, 0, 20, 246, 196, 166}},
    };
    for (KernelPath path : built_paths()) {
        for (const Row& r : rows) {
            const qv::check::Scope scope(qv::png::kernel_path_name(path), " type ", r.type, " first byte ",
                                         int{r.raw[0]});
            Bytes out(r.raw.size());
            qv::png::filter_row(r.type, r.raw.data(), or_null(r.prev), r.raw.size(), 3, out.data(), path);
            CHECK(out == r.filtered);
            qv::png::reconstruct_row(r.type, r.filtered.data(), or_null(r.prev), r.raw.size(), 3, out.data(), path);
            CHECK(out == r.raw);
        }
    }
}

}  // namespace

// Throughput of the scanline filter kernels, in GB/s of row bytes, per filter type at 3 and
// 4 bytes per pixel: decoding a row at a time, decoding two rows at a time (the decoder's
// path below the first row) and encoding. CPU time of this process, best of several runs, so
// that other work on the machine weighs less. Built and run by scripts/kernel-bench. The
// kernels run on the path chosen at run time, or on the one named by QUORVEX_KERNEL_PATH
// (scalar, SSE2, SSSE3 or SSE4.1; one the processor lacks runs the widest below it).
#include "codec/png/filters.hpp"
#include "codec/png/row_pair_kernels.hpp"
#include "codec/png/unfilter_kernels.hpp"

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kWidth = 1920;
constexpr size_t kRows = 64;
constexpr int kRuns = 7;
constexpr double kMinSeconds = 0.05;

double cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A picture-like image: smooth gradients plus a little noise, so that Paeth's choices vary.
std::vector<uint8_t> make_image(size_t bpp)
{
    std::vector<uint8_t> image(kWidth * bpp * kRows);
    uint64_t state = 12345;
    for (size_t y = 0; y < kRows; ++y) {
        for (size_t i = 0; i < kWidth * bpp; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const auto noise = static_cast<unsigned>(state >> 61);
            image[y * kWidth * bpp + i] = static_cast<uint8_t>((i / bpp) * 3 + y * 5 + (i % bpp) * 40 + noise);
        }
    }
    return image;
}

volatile uint8_t sink;

qv::png::KernelPath path_to_run()
{
    using qv::png::KernelPath;
    const char* asked = std::getenv("QUORVEX_KERNEL_PATH");
    if (asked != nullptr) {
        for (KernelPath p : {KernelPath::kScalar, KernelPath::kSse2, KernelPath::kSsse3, KernelPath::kSse41}) {
            if (std::strcmp(asked, qv::png::kernel_path_name(p)) == 0) return p;
        }
        std::fprintf(stderr, "QUORVEX_KERNEL_PATH=%s is not a kernel path: running the chosen one\n", asked);
    }
    return qv::png::chosen_kernel_path();
}

// GB/s of `body`, which handles every row of the image once.
template <typename Body>
double rate(size_t bytes, Body body)
{
    double best = 0;
    for (int run = 0; run < kRuns; ++run) {
        size_t passes = 0;
        const double start = cpu_seconds();
        double elapsed = 0;
        do {
            body();
            ++passes;
            elapsed = cpu_seconds() - start;
        } while (elapsed < kMinSeconds);
        const double gbs = double(bytes) * double(passes) / elapsed / 1e9;
        if (gbs > best) best = gbs;
    }
    return best;
}

}  // namespace

int main()
{
    const qv::png::KernelPath path = path_to_run();
    std::printf("kernel path: %s (chosen at run time: %s, built in: %s)\n", qv::png::kernel_path_name(path),
                qv::png::kernel_path_name(qv::png::chosen_kernel_path()),
                qv::png::kernel_path_name(qv::png::kBestKernelPath));
    std::printf("%-6s %-4s %10s %10s %10s\n", "filter", "bpp", "decode", "decode2", "encode");
    const char* names[] = {"None", "Sub", "Up", "Avg", "Paeth"};
    for (size_t bpp : {3, 4}) {
        const std::vector<uint8_t> raw = make_image(bpp);
        const size_t row = kWidth * bpp;
        const size_t total = row * kRows;
        for (int type = 0; type <= 4; ++type) {
            std::vector<uint8_t> filtered(total), out(total);
            for (size_t y = 0; y < kRows; ++y) {
                qv::png::filter_row(type, raw.data() + y * row, y == 0 ? nullptr : raw.data() + (y - 1) * row, row, bpp,
                                    filtered.data() + y * row, path);
            }
            const double decode = rate(total, [&] {
                for (size_t y = 0; y < kRows; ++y) {
                    qv::png::reconstruct_row(type, filtered.data() + y * row,
                                             y == 0 ? nullptr : out.data() + (y - 1) * row, row, bpp,
                                             out.data() + y * row, path);
                }
                sink = out[total - 1];
            });
            const bool exact = std::memcmp(out.data(), raw.data(), total) == 0;
            const double decode2 = rate(total, [&] {
                std::memcpy(out.data(), raw.data(), row);
                for (size_t y = 1; y + 1 < kRows; y += 2) {
                    qv::png::reconstruct_pair(type, type, filtered.data() + y * row, filtered.data() + (y + 1) * row,
                                              out.data() + (y - 1) * row, row, bpp, out.data() + y * row,
                                              out.data() + (y + 1) * row, path);
                }
                sink = out[total - 1];
            });
            const bool exact2 = std::memcmp(out.data(), raw.data(), total - row) == 0;
            const double encode = rate(total, [&] {
                for (size_t y = 0; y < kRows; ++y) {
                    qv::png::filter_row(type, raw.data() + y * row, y == 0 ? nullptr : raw.data() + (y - 1) * row,
                                        row, bpp, out.data() + y * row, path);
                }
                sink = out[total - 1];
            });
            std::printf("%-6s %-4zu %10.2f %10.2f %10.2f%s\n", names[type], bpp, decode, decode2, encode,
                        exact && exact2 ? "" : "  MISMATCH");
        }
    }
    return 0;
}

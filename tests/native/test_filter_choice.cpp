// The filter chooser: each row's type is the one whose filtered bytes, read as signed, have the
// smallest sum of magnitudes, ties to the lower type; checked against a chooser built on the
// reference filters, for RGB and RGBA and narrow to wide images.
#include "check.hpp"
#include "reference.hpp"

#include "codec/png/filter_choice.hpp"

namespace {

using qv::ref::Bytes;
using qv::ref::Random;

uint64_t cost(const Bytes& bytes)
{
    uint64_t sum = 0;
    for (uint8_t b : bytes) sum += static_cast<uint64_t>(std::abs(int{static_cast<int8_t>(b)}));
    return sum;
}

// The reference chooser: RGBA rows assembled by hand, every type filtered by the reference.
Bytes reference_choice(const Bytes& rgb, const Bytes& alpha, size_t width, size_t height)
{
    const size_t bpp = alpha.empty() ? 3 : 4;
    Bytes out, prev;
    for (size_t y = 0; y < height; ++y) {
        Bytes row;
        for (size_t x = 0; x < width; ++x) {
            for (size_t k = 0; k < 3; ++k) row.push_back(rgb[(y * width + x) * 3 + k]);
            if (bpp == 4) row.push_back(alpha[y * width + x]);
        }
        int best = 0;
        uint64_t best_cost = cost(row);
        for (int type = 1; type <= 4; ++type) {
            const uint64_t c = cost(qv::ref::filter(type, row, prev, bpp));
            if (c < best_cost) best = type, best_cost = c;
        }
        out.push_back(static_cast<uint8_t>(best));
        prev = row;
    }
    return out;
}

TEST_CASE("Filter choice equals the reference chooser for RGB and RGBA images")
{
    struct Size {
        size_t width, height;
    };
    const Size sizes[] = {{0, 3}, {1, 1}, {1, 7}, {2, 5}, {5, 4}, {16, 3}, {33, 9}, {130, 4}};
    Random rng(7);
    for (bool with_alpha : {false, true}) {
        for (const Size& s : sizes) {
            const qv::check::Scope scope(with_alpha ? "RGBA " : "RGB ", s.width, "x", s.height);
            // Smooth rows (where Sub, Up, Average and Paeth win) mixed with noisy ones.
            Bytes rgb(s.width * s.height * 3), alpha(with_alpha ? s.width * s.height : 0);
            for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = rng.below(4) == 0 ? rng.byte() : static_cast<uint8_t>(i / 3);
            for (size_t i = 0; i < alpha.size(); ++i) alpha[i] = static_cast<uint8_t>(255 - i);
            const qv::png::FilterChoiceImage image{rgb.data(), with_alpha ? alpha.data() : nullptr, s.width, s.height};
            Bytes scratch(qv::png::filter_choice_scratch_size(image) + 1);
            Bytes out(s.height, 0xEE);
            qv::png::choose_row_filters(image, scratch.data(), out.data());
            CHECK(out == reference_choice(rgb, alpha, s.width, s.height));
        }
    }
}

TEST_CASE("Filter choice scratch size and cost on literal cases")
{
    const struct {
        size_t width, height;
        bool alpha;
        size_t scratch;
    } sizes[] = {{0, 0, false, 0}, {100, 0, true, 0}, {4, 1, false, 12}, {4, 2, true, 48}, {0, 5, true, 0}};
    for (const auto& s : sizes) {
        const qv::check::Scope scope(s.width, "x", s.height, s.alpha ? " RGBA" : " RGB");
        const uint8_t dummy = 0;
        const qv::png::FilterChoiceImage image{&dummy, s.alpha ? &dummy : nullptr, s.width, s.height};
        CHECK_EQ(qv::png::filter_choice_scratch_size(image), s.scratch);
    }
    const struct {
        Bytes bytes;
        uint64_t sum;
    } costs[] = {{{}, 0}, {{0, 1, 127}, 128}, {{128, 255}, 129}, {Bytes(10000, 0x80), 1280000}};
    for (const auto& c : costs) {
        const qv::check::Scope scope("cost of ", c.bytes.size(), " bytes");
        CHECK_EQ(qv::png::signed_magnitude_sum(c.bytes.data(), c.bytes.size()), c.sum);
    }
}

}  // namespace

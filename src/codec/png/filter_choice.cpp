#include "codec/png/filter_choice.hpp"

#include "codec/png/filters.hpp"
#include "codec/png/rgba_rows.hpp"

namespace qv::png {

namespace {

size_t bytes_per_pixel(const FilterChoiceImage& image) { return image.alpha != nullptr ? 4 : 3; }

}  // namespace

size_t filter_choice_scratch_size(const FilterChoiceImage& image)
{
    if (image.height == 0) return 0;
    const size_t row_length = image.width * bytes_per_pixel(image);
    return image.alpha != nullptr ? 3 * row_length : row_length;
}

uint64_t signed_magnitude_sum(const uint8_t* bytes, size_t length)
{
    // Summed in 32-bit blocks that cannot overflow (4096 * 128), so the loop vectorises.
    constexpr size_t kBlock = 4096;
    uint64_t total = 0;
    for (size_t start = 0; start < length; start += kBlock) {
        const size_t end = length - start < kBlock ? length : start + kBlock;
        uint32_t sum = 0;
        for (size_t i = start; i < end; ++i) {
            const int v = static_cast<int8_t>(bytes[i]);
            sum += static_cast<uint32_t>(v < 0 ? -v : v);
        }
        total += sum;
    }
    return total;
}

void choose_row_filters(const FilterChoiceImage& image, uint8_t* scratch, uint8_t* out)
{
    if (image.height == 0) return;
    const size_t bpp = bytes_per_pixel(image);
    const size_t width = image.width;
    const size_t row_length = width * bpp;
    uint8_t* candidate = scratch;
    // RGBA rows are assembled into two buffers used in turn (current and previous row), as
    // the encoder does; RGB rows are read straight from the pixel buffer.
    uint8_t* rgba[2] = {scratch + row_length, scratch + 2 * row_length};

    const uint8_t* prev = nullptr;
    for (size_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.pixels + y * width * 3;
        if (image.alpha != nullptr) {
            join_rgba_row(row, image.alpha + y * width, width, rgba[y & 1]);
            row = rgba[y & 1];
        }
        int best = kNone;
        uint64_t best_cost = signed_magnitude_sum(row, row_length);  // type 0 filters nothing
        for (int type = kSub; type <= kMaxFilterType; ++type) {
            filter_row(type, row, prev, row_length, bpp, candidate);
            const uint64_t cost = signed_magnitude_sum(candidate, row_length);
            if (cost < best_cost) {
                best = type;
                best_cost = cost;
            }
        }
        out[y] = static_cast<uint8_t>(best);
        prev = row;
    }
}

}  // namespace qv::png

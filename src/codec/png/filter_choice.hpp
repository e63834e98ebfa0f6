// Choosing a filter type for each scanline of an image that has none kept: the type whose
// filtered bytes, read as signed bytes, have the smallest sum of magnitudes (ties go to the
// lower type). Small sums mean bytes near zero, which deflate codes more tightly. Plain C++
// on byte arrays: no Python, no allocation, safe to run without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::png {

struct FilterChoiceImage {
    const uint8_t* pixels = nullptr;  // width * height * 3 bytes: R, G, B
    const uint8_t* alpha = nullptr;   // width * height bytes, or nullptr for RGB
    size_t width = 0;
    size_t height = 0;
};

// Bytes of working memory `choose_row_filters` needs: the filtered candidate row, plus two
// assembled RGBA rows when there is an alpha plane. Zero for an image without rows, so a
// wide empty image asks for nothing.
size_t filter_choice_scratch_size(const FilterChoiceImage& image);

// The sum of |int8(b)| over the bytes: the cost that decides between filter types.
uint64_t signed_magnitude_sum(const uint8_t* bytes, size_t length);

// Writes one filter type (0 to 4) a row into `out` (height bytes). `scratch` holds at least
// `filter_choice_scratch_size(image)` bytes.
void choose_row_filters(const FilterChoiceImage& image, uint8_t* scratch, uint8_t* out);

}  // namespace qv::png

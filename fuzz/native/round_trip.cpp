// Encode, then decode: arbitrary pixels, alpha and filter types through the scanline encoder
// and back through the row inflater must come back unchanged. Input: width, height, flags,
// split seed, then for each row its filter type and its pixels (R, G, B[, A] each); the
// height is cut to the rows the input holds, so the work follows the input's length.
//   flags bit 0: an alpha plane; bit 1: no filter list (type 0 everywhere); bits 2-4: pieces - 1.
// A filter byte of 250 or more stays as it is, a bad type the encoder must refuse; others
// are taken modulo 5.
#include "fuzz_support.hpp"

#include "codec/png/row_inflater.hpp"
#include "codec/png/scanline_encoder.hpp"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using Bytes = std::vector<uint8_t>;
    qv::fuzz::Input in(data, size);
    const uint32_t width = in.byte() % 64;
    const uint32_t promised = in.byte() % 64;
    const uint8_t flags = in.byte();
    const uint8_t seed = in.byte();
    const bool has_alpha = (flags & 1) != 0;
    const bool has_filters = (flags & 2) == 0;
    const size_t pieces = 1 + ((flags >> 2) & 7);
    const size_t bpp = has_alpha ? 4 : 3;
    const auto height = static_cast<uint32_t>(std::min<size_t>(promised, in.left() / (1 + width * bpp)));

    Bytes filters(height, 0);
    const size_t pixels = size_t{width} * height;
    Bytes rgb(pixels * 3), alpha(has_alpha ? pixels : 0);
    int first_bad = -1;
    for (size_t y = 0; y < height; ++y) {
        const uint8_t b = in.byte();
        const uint8_t t = b >= 250 ? b : static_cast<uint8_t>(b % 5);
        filters[y] = t;
        if (t > 4 && first_bad < 0 && has_filters) first_bad = t;
        for (size_t x = 0; x < width; ++x) {
            for (size_t k = 0; k < 3; ++k) rgb[(y * width + x) * 3 + k] = in.byte();
            if (has_alpha) alpha[y * width + x] = in.byte();
        }
    }

    const qv::png::ScanlineImage image{rgb.data(), has_alpha ? alpha.data() : nullptr,
                                       has_filters ? filters.data() : nullptr, width, height};
    qv::png::ScanlineDeflater deflater(image);
    FUZZ_CHECK(deflater.init().status == qv::png::EncodeStatus::kOk);
    Bytes compressed(static_cast<size_t>(deflater.capacity()));
    const qv::png::EncodeResult encoded = deflater.run(compressed.data());
    if (first_bad >= 0) {
        FUZZ_CHECK(encoded.status == qv::png::EncodeStatus::kBadFilter);
        FUZZ_CHECK(encoded.detail == first_bad);
        return 0;
    }
    FUZZ_CHECK(encoded.status == qv::png::EncodeStatus::kOk);
    FUZZ_CHECK(encoded.compressed_size <= compressed.size());

    const qv::png::ScanlineLayout layout{width, height, bpp};
    Bytes rgb_back(rgb.size()), alpha_back(alpha.size()), filters_back(height);
    const qv::png::RowTargets targets{rgb_back.data(), has_alpha ? alpha_back.data() : nullptr, filters_back.data()};
    const auto split = qv::fuzz::split(compressed.data(), encoded.compressed_size, pieces, seed);
    const qv::png::InflateOutcome decoded = qv::png::inflate_rows(split, layout, &targets);
    FUZZ_CHECK(decoded.status.ok());
    FUZZ_CHECK(decoded.inflated == layout.inflated_size());
    FUZZ_CHECK(rgb_back == rgb);
    FUZZ_CHECK(alpha_back == alpha);
    if (has_filters) FUZZ_CHECK(filters_back == filters);
    else FUZZ_CHECK(filters_back == Bytes(height, 0));
    return 0;
}

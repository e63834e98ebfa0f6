// An image's filtered scanlines (each row's filter type byte, then the row filtered with that
// type), read by position: the one source of the bytes that every compressor of the PNG
// writers takes. Nothing is held but the image; any range can be read from any thread.
#pragma once

#include "codec/deflate/exact_deflate.hpp"
#include "codec/png/scanline_encoder.hpp"

#include <cstddef>
#include <cstdint>

namespace qv::png {

class FilteredRows final : public deflate::Input {
public:
    // The rows' filter types must all be 0 to 4 (first_bad_filter), and the sizes must fit
    // (scanline_data_size).
    explicit FilteredRows(const ScanlineImage& image);

    uint64_t size() const override { return size_; }
    void read(uint64_t from, size_t count, uint8_t* out) const override;

private:
    int filter_type(size_t y) const { return image_.filters != nullptr ? image_.filters[y] : 0; }
    // Bytes [from, to) of row y's filtered bytes.
    void read_row(size_t y, size_t from, size_t to, uint8_t* out) const;

    ScanlineImage image_;
    size_t bytes_per_pixel_;
    size_t row_length_;
    uint64_t size_;
};

// The first filter type above 4 in the image's rows, or -1 when there is none.
int first_bad_filter(const ScanlineImage& image);

}  // namespace qv::png

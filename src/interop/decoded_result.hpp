// A decoder's result in the binding: the core's DecodedImage, the bytearrays its pixels were
// decoded into (handed on to the image object without a copy), and the Python values that
// open() and _streamToImage pass on: (width, height, pixels, channels, alpha, chunks,
// bmp_meta, png_filters).
#pragma once

#include "codec/decoded_image.hpp"
#include "interop/ref.hpp"

namespace qv {

// Output buffers made as the bytearrays the image keeps.
class ByteArrayOutputs final : public OutputBuffers {
public:
    Status allocate(const OutputSizes& sizes, OutputStorage* out) override;
    Status finish(const OutputSizes& sizes) override;

    Ref pixels;
    Ref alpha;    // null: no alpha plane
    Ref filters;  // null: no filter types
};

struct DecodeResult {
    DecodedImage image;
    ByteArrayOutputs buffers;
    Ref chunks;  // PNG: the chunk record list; null otherwise
};

enum ResultSlot { kWidth, kHeight, kPixels, kChannels, kAlpha, kChunks, kBmpMeta, kPngFilters, kResultSize };

// Moves the result into its eight values (None where a format has nothing), so that the
// buffers stay referenced only by the values. False with the error set.
bool take_result(DecodeResult* result, Ref (&values)[kResultSize]);

}  // namespace qv

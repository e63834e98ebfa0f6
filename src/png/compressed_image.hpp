// What both PNG writers do before a file is opened: check the buffers against the
// dimensions, then filter and compress the image data.
#pragma once

#include "codec/bytes.hpp"
#include "interop/ref.hpp"

#include <cstdint>
#include <vector>

namespace qv::png {

struct ImageArgs {
    int32_t width = 0;
    int32_t height = 0;
    PyObject* pixels = nullptr;
    PyObject* alpha = nullptr;    // None without an alpha plane
    PyObject* filters = nullptr;  // None: filter type 0 on every row

    bool has_alpha() const { return alpha != Py_None; }
};

// Fills `out` from the writers' leading arguments (path excluded): width and height
// converted to 32-bit ints, then the buffers as given.
bool image_args(PyObject* const* args, PyObject* filters, ImageArgs* out);

// len(pixels) == width * height * 3 and, with alpha, len(alpha) == width * height. Sizes
// whose products do not fit a 32-bit int are refused like a wrong length.
bool check_lengths(const ImageArgs& image);

// Who compresses the filtered scanlines. The module's writers promise zlib's bytes (level 6);
// the converter takes libdeflate's smaller ones where the build has it, zlib's otherwise.
enum class Compressor { kZlib, kLibdeflate };

// The zlib stream of the image's filtered scanline data, held where its compressor left it.
struct CompressedImage {
    Ref object;                   // zlib: a bytes object of the exact size
    std::vector<uint8_t> buffer;  // libdeflate
    ByteSpan data;
};

bool compress_image(PyObject* module, const ImageArgs& image, Compressor compressor, CompressedImage* out);

}  // namespace qv::png

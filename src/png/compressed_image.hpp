// What both PNG writers do before a file is opened: check the buffers against the
// dimensions, then filter and compress the image data.
#pragma once

#include "interop/ref.hpp"

#include <cstdint>

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

// The zlib stream of the image's filtered scanline data, as a new bytes object.
Ref compress_image(PyObject* module, const ImageArgs& image);

}  // namespace qv::png

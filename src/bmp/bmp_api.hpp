// The BMP codec as the rest of the module sees it.
#pragma once

#include "interop/function.hpp"

namespace qv {

PyObject* write_bmp(const Call& call);  // _writeBmp(path, width, height, pixels, meta)

struct DecodeResult;

// The reader, for a stream that starts with "BM": the image and its pixel buffer in `out`.
// False with the error set.
bool load_bmp(PyObject* module, PyObject* stream, DecodeResult* out);

}  // namespace qv

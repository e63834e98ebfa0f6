// The BMP codec as the rest of the module sees it.
#pragma once

#include "interop/function.hpp"

namespace qv {

PyObject* write_bmp(const Call& call);  // _writeBmp(path, width, height, pixels, meta)

// The reader: the 8-item decoder result for a stream that starts with "BM".
Ref load_bmp(PyObject* module, PyObject* stream);

}  // namespace qv

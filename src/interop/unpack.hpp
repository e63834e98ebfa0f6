// Unpacking a fixed number of values, with the module's messages.
#pragma once

#include "interop/ref.hpp"

namespace qv {

// Fills out[0..n) with new references. A tuple or list is checked by its length; any
// other object is iterated, reading at most n + 1 items. False with the error set.
bool unpack_exact(PyObject* seq, Py_ssize_t n, Ref* out);

}  // namespace qv

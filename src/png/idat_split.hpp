// Cutting compressed image data into IDAT pieces along the lengths of a source file's
// IDAT chunks: the lengths as the host compares them, the arithmetic in the core.
#pragma once

#include "interop/ref.hpp"

#include <cstdint>
#include <vector>

namespace qv::png {

// Sizes of the pieces of `total` bytes cut along `lengths` (Python objects, normally ints).
// Entries after the data run out are not looked at. False with the host's error for an
// entry that cannot be compared.
bool split_sizes(PyObject* const* lengths, Py_ssize_t count, Py_ssize_t total, std::vector<int64_t>* pieces);

}  // namespace qv::png

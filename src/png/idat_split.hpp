// Cutting compressed image data into IDAT pieces along the lengths of a source file's
// IDAT chunks.
#pragma once

#include "interop/ref.hpp"

#include <vector>

namespace qv::png {

// Sizes of the pieces of `total` bytes cut along `lengths` (Python objects, normally ints):
// each positive entry takes that many bytes, the last one everything left; entries <= 0
// are skipped; what no entry takes forms one more piece. Entries after the data run out
// are not looked at. False with the host's error for an entry that cannot be compared.
bool split_sizes(PyObject* const* lengths, Py_ssize_t count, Py_ssize_t total, std::vector<Py_ssize_t>* pieces);

}  // namespace qv::png

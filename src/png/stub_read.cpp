// Placeholder until the PNG decoder lands.
#include "png/png_api.hpp"

namespace qv {

PyObject* read_chunk(const Call&)
{
    PyErr_SetString(PyExc_NotImplementedError, "_readChunk");
    return nullptr;
}

Ref load_png(PyObject*, PyObject*)
{
    PyErr_SetString(PyExc_NotImplementedError, "_loadPng");
    return {};
}

}  // namespace qv

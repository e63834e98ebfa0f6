// Placeholder until the PNG writers land.
#include "png/png_api.hpp"

namespace qv {

namespace {
PyObject* not_yet(const char* what)
{
    PyErr_SetString(PyExc_NotImplementedError, what);
    return nullptr;
}
}  // namespace

PyObject* make_chunk(const Call&) { return not_yet("_makeChunk"); }
PyObject* write_png(const Call&) { return not_yet("_writePng"); }
PyObject* split_idat_payload(const Call&) { return not_yet("_split_idat_payload"); }
PyObject* write_png_with_chunks(const Call&) { return not_yet("_writePngWithChunks"); }

}  // namespace qv

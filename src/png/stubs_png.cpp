// Placeholders until the PNG codec lands.
#include "png/png_api.hpp"

namespace qv {

namespace {
PyObject* not_yet(const char* what)
{
    PyErr_Format(PyExc_NotImplementedError, "%s", what);
    return nullptr;
}
}  // namespace

PyObject* read_chunk(const Call&) { return not_yet("_readChunk"); }
PyObject* make_chunk(const Call&) { return not_yet("_makeChunk"); }
PyObject* write_png(const Call&) { return not_yet("_writePng"); }
PyObject* split_idat_payload(const Call&) { return not_yet("_split_idat_payload"); }
PyObject* write_png_with_chunks(const Call&) { return not_yet("_writePngWithChunks"); }
Ref load_png(PyObject*, PyObject*) { return Ref::consume(not_yet("_loadPng")); }

}  // namespace qv

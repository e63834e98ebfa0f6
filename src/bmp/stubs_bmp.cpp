// Placeholders until the BMP codec lands.
#include "bmp/bmp_api.hpp"

namespace qv {

PyObject* write_bmp(const Call&)
{
    PyErr_SetString(PyExc_NotImplementedError, "_writeBmp");
    return nullptr;
}

Ref load_bmp(PyObject*, PyObject*)
{
    PyErr_SetString(PyExc_NotImplementedError, "_loadBmp");
    return {};
}

}  // namespace qv

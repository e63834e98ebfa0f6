#include "interop/host_file.hpp"

namespace qv {

bool close_file(PyObject* file)
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref closed = Ref::consume(PyObject_CallMethod(file, "close", nullptr));
    if (type != nullptr) {
        if (!closed) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return false;
    }
    return static_cast<bool>(closed);
}

}  // namespace qv

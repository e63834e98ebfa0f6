#include "interop/host_file.hpp"

namespace qv {

bool cleanup_call(PyObject* obj, const char* name, const char* format, Py_ssize_t arg)
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref done = Ref::consume(format != nullptr ? PyObject_CallMethod(obj, name, format, arg)
                                              : PyObject_CallMethod(obj, name, nullptr));
    if (type != nullptr) {
        if (!done) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return false;
    }
    return static_cast<bool>(done);
}

}  // namespace qv

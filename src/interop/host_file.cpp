#include "interop/host_file.hpp"

#include "interop/host_names.hpp"

namespace qv {

namespace {

// Runs `call` as cleanup: an error in flight is kept and wins over the call's own.
template <typename Call>
bool as_cleanup(Call&& call)
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref done = call();
    if (type != nullptr) {
        if (!done) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return false;
    }
    return static_cast<bool>(done);
}

}  // namespace

bool cleanup_call(PyObject* obj, const char* name, const char* format, Py_ssize_t arg)
{
    return as_cleanup([&] {
        return Ref::consume(format != nullptr ? PyObject_CallMethod(obj, name, format, arg)
                                              : PyObject_CallMethod(obj, name, nullptr));
    });
}

bool cleanup_call(PyObject* obj, PyObject* name, PyObject* arg)
{
    return as_cleanup([&] { return arg != nullptr ? call_method(obj, name, arg) : call_method(obj, name); });
}

}  // namespace qv

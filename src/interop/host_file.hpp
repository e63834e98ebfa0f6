// Files opened through the host's built-in open(), so that paths, modes and errors are the
// host's own.
#pragma once

#include "interop/ref.hpp"

namespace qv {

// builtin_open(path, mode). New reference, or null with the host's error set.
inline Ref open_file(PyObject* builtin_open, PyObject* path, const char* mode)
{
    return Ref::consume(PyObject_CallFunction(builtin_open, "Os", path, mode));
}

// Calls obj.name() as cleanup: an error already in flight stays the one that propagates
// (and the result is false). Otherwise false with the call's own error set.
bool cleanup_call(PyObject* obj, const char* name, const char* format = nullptr, Py_ssize_t arg = 0);
// The same with the name as a string object and an optional argument.
bool cleanup_call(PyObject* obj, PyObject* name, PyObject* arg = nullptr);

// file.close(), as a with-block leaves it.
inline bool close_file(PyObject* file) { return cleanup_call(file, "close"); }
inline bool close_file(PyObject* file, PyObject* close_name) { return cleanup_call(file, close_name); }

}  // namespace qv

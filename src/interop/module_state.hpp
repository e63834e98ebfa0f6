// What the module fetches once at load and keeps for its callables: its two types, the
// host's error types that pass through, and the host callables it uses.
#pragma once

#include "interop/host_names.hpp"
#include "interop/ref.hpp"

namespace qv {

struct ModuleState {
    PyTypeObject* image_type;
    PyTypeObject* function_type;
    PyObject* struct_module;   // struct.pack/unpack re-run on a failed field, for the host's own error
    PyObject* struct_error;
    PyObject* zlib_error;
    PyObject* builtin_open;
    PyObject* builtin_print;
    PyObject* bytesio_type;    // the real io.BytesIO, whatever the module attribute says
    HostNames names;
};

inline ModuleState* state_of(PyObject* module)
{
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// A module attribute looked up at each use (PNG_SIGNATURE, BytesIO, Path), so that
// rebinding it changes what the module does. New reference, or null with the error set.
inline Ref module_attr(PyObject* module, const char* name)
{
    return Ref::consume(PyObject_GetAttrString(module, name));
}

inline Ref module_attr(PyObject* module, PyObject* name) { return Ref::consume(PyObject_GetAttr(module, name)); }

}  // namespace qv

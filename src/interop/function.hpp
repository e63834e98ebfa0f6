// The module's callable type. Built-in C functions cannot carry __annotations__, so every
// callable of the module is one of these: it stores its name, qualified name, module and
// annotations (as strings), binds like a Python function when found on a class, and is
// called through vectorcall as a method descriptor (no bound-method allocation).
#pragma once

#include "interop/args.hpp"

namespace qv {

// What an implementation receives: the owning module, `self` (or `cls`) for methods, and
// the bound arguments in parameter order (borrowed; None for an absent optional one).
struct Call {
    PyObject* module;
    PyObject* self;
    PyObject* const* args;
};
using Impl = PyObject* (*)(const Call&);

enum class Kind { Function, Method, StaticMethod, ClassMethod };

struct FunctionDef {
    Signature sig;          // sig.name is __name__
    const char* qualname;
    Kind kind;
    Impl impl;
};

// Creates the callable type (once per module). Returns a new reference.
PyTypeObject* make_function_type(PyObject* module);

// Creates one callable. `self_type` is the class that a Method's `self` must belong to.
// StaticMethod and ClassMethod come back wrapped in the host's staticmethod/classmethod.
Ref make_function(PyTypeObject* function_type, const FunctionDef* def, PyObject* module,
                  PyTypeObject* self_type);

}  // namespace qv

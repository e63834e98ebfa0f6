// The argument binder. A parameter table describes each callable once; binding, the
// argument errors, the stored annotations and the signature are all derived from it.
#pragma once

#include "interop/ref.hpp"

#include <span>

namespace qv {

struct Param {
    const char* name;
    bool required = true;                 // otherwise it defaults to None
    PyTypeObject* exact_type = nullptr;   // checked for exactly this type (subclasses refused)
    bool none_allowed = false;            // None passes the exact-type check
    const char* annotation = nullptr;     // stored as a string; checks nothing
};

struct Signature {
    const char* name;                     // the name argument errors report
    std::span<const Param> params;        // positional-or-keyword, required ones first
    const char* return_annotation = nullptr;
};

inline constexpr Py_ssize_t kMaxParams = 8;

// Binds vectorcall arguments (positional ones, then the values named by `kwnames`) onto the
// parameters. Fills `out[i]` with a borrowed reference for every parameter, Py_None for an
// absent optional one. Returns false with the exact TypeError set.
bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out);
// The same for a tuple of positional arguments and an optional keyword dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace qv

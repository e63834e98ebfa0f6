// The argument binder. A parameter table describes each callable once; binding, the
// argument errors, the stored annotations and the signature are all derived from it.
#pragma once

#include "interop/ref.hpp"

#include <cstddef>
#include <span>

namespace qv {

struct Param {
    const char* name;
    bool required = true;                 // otherwise it defaults to None
    PyTypeObject* exact_type = nullptr;   // checked for exactly this type (subclasses refused)
    bool none_allowed = false;            // None passes the exact-type check
    const char* annotation = nullptr;     // stored as a string; checks nothing
};

inline constexpr Py_ssize_t kMaxParams = 8;
// Where the binder puts the arguments: one slot per parameter, sized for the longest table.
using BoundArgs = PyObject* [kMaxParams];

// A callable's parameters. Built only from a parameter table whose length the compiler
// knows, so a table longer than BoundArgs does not compile.
struct Signature {
    struct NoParams {};

    template <size_t N>
    constexpr Signature(const char* callable_name, const Param (&table)[N], const char* returns = nullptr)
        : name(callable_name), params(table), return_annotation(returns)
    {
        static_assert(N <= static_cast<size_t>(kMaxParams), "parameter table longer than BoundArgs");
    }
    constexpr Signature(const char* callable_name, NoParams, const char* returns = nullptr)
        : name(callable_name), return_annotation(returns)
    {
    }

    const char* name;                     // the name argument errors report
    std::span<const Param> params;        // positional-or-keyword, required ones first
    const char* return_annotation = nullptr;
};

// True when the call gives every parameter by position and each argument has its declared
// exact type: the arguments can then be used in place, as bound, and nothing can fail.
inline bool fits_positionally(const Signature& sig, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != static_cast<Py_ssize_t>(sig.params.size())) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        const Param& p = sig.params[static_cast<size_t>(i)];
        PyObject* arg = args[i];
        if (p.exact_type != nullptr && Py_TYPE(arg) != p.exact_type && !(p.none_allowed && arg == Py_None)) {
            return false;
        }
    }
    return true;
}

// Binds vectorcall arguments (positional ones, then the values named by `kwnames`) onto the
// parameters. Fills `out[i]` with a borrowed reference for every parameter, Py_None for an
// absent optional one. Returns false with the exact TypeError set.
bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 BoundArgs& out);
// The same for a tuple of positional arguments and an optional keyword dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace qv

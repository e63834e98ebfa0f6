#include "interop/args.hpp"

#include "interop/errors.hpp"

namespace qv {

namespace {

Py_ssize_t required_count(const Signature& sig)
{
    Py_ssize_t n = 0;
    for (const Param& p : sig.params) n += p.required ? 1 : 0;
    return n;
}

Py_ssize_t find_param(const Signature& sig, PyObject* keyword)
{
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.params.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i].name) == 0) return i;
    }
    return -1;
}

// Stores one keyword argument; false with the error set.
bool bind_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* keyword, PyObject* value,
                  PyObject** out)
{
    if (!PyUnicode_Check(keyword)) {
        raise_keywords_must_be_strings(sig.name);
        return false;
    }
    const Py_ssize_t i = find_param(sig, keyword);
    if (i < 0) {
        raise_unexpected_keyword(sig.name, keyword);
        return false;
    }
    if (i < nargs || out[i] != nullptr) {
        raise_multiple_values(sig.name, keyword);
        return false;
    }
    out[i] = value;
    return true;
}

// Positional arguments are in place and keywords bound: reports the first missing required
// argument, fills the defaults and runs the exact-type checks in parameter order.
bool finish(const Signature& sig, Py_ssize_t nargs, PyObject** out)
{
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.params.size());
    const Py_ssize_t min = required_count(sig);
    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (out[i] != nullptr) continue;
        if (sig.params[i].required) {
            raise_arg_count(sig.name, min == n, min, n, i);
            return false;
        }
        out[i] = Py_None;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = sig.params[i];
        if (p.exact_type == nullptr || Py_TYPE(out[i]) == p.exact_type) continue;
        if (p.none_allowed && out[i] == Py_None) continue;
        raise_wrong_arg_type(p.name, p.exact_type, out[i]);
        return false;
    }
    return true;
}

bool start(const Signature& sig, Py_ssize_t nargs, PyObject** out)
{
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > n) {
        const Py_ssize_t min = required_count(sig);
        raise_arg_count(sig.name, min == n, min, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = nullptr;
    return true;
}

}  // namespace

bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 BoundArgs& out)
{
    if (kwnames == nullptr && fits_positionally(sig, args, nargs)) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return true;
    }
    if (!start(sig, nargs, out)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return finish(sig, nargs, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out)
{
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!start(sig, nargs, out)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, nargs, key, value, out)) return false;
        }
    }
    return finish(sig, nargs, out);
}

}  // namespace qv

#include "interop/errors.hpp"

namespace qv {

PyObject* raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given)
{
    const bool too_few = given < min;
    const Py_ssize_t expected = too_few ? min : max;
    const char* more_or_less = exact ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, more_or_less, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

PyObject* raise_unexpected_keyword(const char* func, PyObject* keyword)
{
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, keyword);
    return nullptr;
}

PyObject* raise_multiple_values(const char* func, PyObject* keyword)
{
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func,
                 keyword);
    return nullptr;
}

PyObject* raise_keywords_must_be_strings(const char* func)
{
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
    return nullptr;
}

PyObject* raise_wrong_arg_type(const char* arg, PyTypeObject* expected, PyObject* given)
{
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg, expected->tp_name, Py_TYPE(given)->tp_name);
    return nullptr;
}

PyObject* raise_too_many_values(Py_ssize_t expected)
{
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return nullptr;
}

PyObject* raise_need_more_values(Py_ssize_t got)
{
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return nullptr;
}

PyObject* raise_value_error(const char* message)
{
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

PyObject* raise_type_error(const char* message)
{
    PyErr_SetString(PyExc_TypeError, message);
    return nullptr;
}

PyObject* raise_value_error_with_number(const char* prefix, long long value)
{
    PyErr_Format(PyExc_ValueError, "%s%lld", prefix, value);
    return nullptr;
}

}  // namespace qv

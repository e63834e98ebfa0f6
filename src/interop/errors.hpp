// Raising errors. Each message family is formed here and nowhere else; every helper sets
// the Python error and returns nullptr, so callers can write `return raise_...(...)`.
#pragma once

#include "interop/ref.hpp"

namespace qv {

// "takes exactly / at least / at most N positional argument(s) (M given)"
PyObject* raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given);
PyObject* raise_unexpected_keyword(const char* func, PyObject* keyword);
PyObject* raise_multiple_values(const char* func, PyObject* keyword);
PyObject* raise_keywords_must_be_strings(const char* func);
// "Argument 'x' has incorrect type (expected T, got U)"
PyObject* raise_wrong_arg_type(const char* arg, PyTypeObject* expected, PyObject* given);
// Fixed-count unpacking.
PyObject* raise_too_many_values(Py_ssize_t expected);
PyObject* raise_need_more_values(Py_ssize_t got);

PyObject* raise_value_error(const char* message);
PyObject* raise_type_error(const char* message);
// A fixed text followed by a value in decimal, e.g. "Unsupported PNG filter: 5".
PyObject* raise_value_error_with_number(const char* prefix, long long value);

}  // namespace qv

#include "interop/unpack.hpp"

#include "interop/errors.hpp"

namespace qv {

bool unpack_exact(PyObject* seq, Py_ssize_t n, Ref* out)
{
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size != n) {
            if (size > n) raise_too_many_values(n);
            else raise_need_more_values(size);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::own(items[i]);
        return true;
    }
    Ref it = Ref::consume(PyObject_GetIter(seq));
    if (!it) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::consume(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) raise_need_more_values(i);
            return false;
        }
    }
    Ref extra = Ref::consume(PyIter_Next(it.get()));
    if (extra) {
        raise_too_many_values(n);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace qv

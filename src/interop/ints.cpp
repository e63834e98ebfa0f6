#include "interop/ints.hpp"

namespace qv {

namespace {

bool long_to_int32(PyObject* value, int32_t* out)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v > INT32_MAX || v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool to_int32(PyObject* obj, int32_t* out)
{
    if (PyLong_Check(obj)) return long_to_int32(obj, out);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    Ref converted;
    if (number != nullptr && number->nb_int != nullptr) {
        converted = Ref::consume(number->nb_int(obj));
    } else if (number != nullptr && number->nb_index != nullptr) {
        converted = Ref::consume(number->nb_index(obj));
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!converted) return false;
    if (!PyLong_Check(converted.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(converted.get())->tp_name);
        return false;
    }
    return long_to_int32(converted.get(), out);
}

int int_low_byte(PyObject* obj)
{
    Ref value = PyLong_CheckExact(obj) ? Ref::own(obj) : Ref::consume(PyNumber_Long(obj));
    if (!value) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow == 0) return static_cast<int>(static_cast<unsigned long long>(v) & 0xFFu);
    // Beyond 64 bits: let the host's arbitrary-precision AND keep the low byte.
    Ref mask = Ref::consume(PyLong_FromLong(0xFF));
    if (!mask) return -1;
    Ref low = Ref::consume(PyNumber_And(value.get(), mask.get()));
    if (!low) return -1;
    return static_cast<int>(PyLong_AsLong(low.get()));
}

}  // namespace qv

// The names the module looks up on every open, made once per module as interned strings:
// the host's attribute caches recognise them, so a lookup neither decodes nor hashes a name,
// and a method is called without a bound method in between. The lookups themselves still
// happen on every call, so rebinding or overriding any of them changes what the module does.
#pragma once

#include "interop/ref.hpp"

namespace qv {

struct HostNames {
    PyObject* read = nullptr;
    PyObject* seek = nullptr;
    PyObject* tell = nullptr;
    PyObject* getvalue = nullptr;
    PyObject* startswith = nullptr;
    PyObject* close = nullptr;
    PyObject* png_signature = nullptr;  // module attributes
    PyObject* path = nullptr;
    PyObject* bytes_io = nullptr;
    PyObject* stream_to_image = nullptr;

    // 0, or -1 with the error set.
    int make();
    void clear();
};

// obj.name() and obj.name(arg), as Python calls them. New reference, or null with the error set.
inline Ref call_method(PyObject* obj, PyObject* name)
{
    return Ref::consume(PyObject_VectorcallMethod(name, &obj, 1, nullptr));
}

inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg)
{
    PyObject* args[] = {obj, arg};
    return Ref::consume(PyObject_VectorcallMethod(name, args, 2, nullptr));
}

// obj.name(n) with an int argument.
inline Ref call_method_int(PyObject* obj, PyObject* name, long long n)
{
    Ref arg = Ref::consume(PyLong_FromLongLong(n));
    return arg ? call_method(obj, name, arg.get()) : Ref{};
}

}  // namespace qv

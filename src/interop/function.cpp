#include "interop/function.hpp"

#include <cstddef>
#include <structmember.h>

namespace qv {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* module;
    PyObject* annotations;
    PyTypeObject* self_type;
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

// Every call shape: the self check, then the binder with its errors.
[[gnu::noinline]] PyObject* call_general(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    const FunctionDef& def = *fn->def;
    PyObject* self = nullptr;
    if (def.kind == Kind::Method || def.kind == Kind::ClassMethod) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200s() needs an argument", def.qualname);
            return nullptr;
        }
        self = args[0];
        if (fn->self_type != nullptr && !PyObject_TypeCheck(self, fn->self_type)) {
            PyErr_Format(PyExc_TypeError,
                         "descriptor '%.200s' for '%.100s' objects doesn't apply to a '%.100s' object",
                         def.sig.name, fn->self_type->tp_name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    BoundArgs bound;
    if (!bind_vector(def.sig, args, nargs, kwnames, bound)) return nullptr;
    return def.impl(Call{fn->module, self, bound});
}

// The common call, `obj.method(a, b)` on an instance of the class itself with every argument
// by position and of its declared type, needs no binding: the arguments are used in place.
// Everything else (subclass instances included) takes the general path.
PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    FunctionObject* fn = as_function(callable);
    const FunctionDef& def = *fn->def;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && def.kind == Kind::Method && nargs >= 1 && Py_IS_TYPE(args[0], fn->self_type) &&
        fits_positionally(def.sig, args + 1, nargs - 1)) {
        return def.impl(Call{fn->module, args[0], args + 1});
    }
    return call_general(fn, args, nargs, kwnames);
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int traverse(PyObject* self, visitproc visit, void* arg)
{
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->self_type);
    return 0;
}

int clear(PyObject* self)
{
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->self_type);
    return 0;
}

void dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->def->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(as_function(self)->def->sig.name); }
PyObject* get_qualname(PyObject* self, void*) { return PyUnicode_FromString(as_function(self)->def->qualname); }
PyObject* get_module(PyObject* self, void*) { return PyModule_GetNameObject(as_function(self)->module); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }

// inspect.Signature built from the parameter table, so that inspect.signature() and help()
// show parameters, defaults and the stored annotations.
PyObject* get_signature(PyObject* self, void*)
{
    const FunctionDef& def = *as_function(self)->def;
    Ref inspect = Ref::consume(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::consume(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = Ref::consume(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter || !signature) return nullptr;
    Ref kind = Ref::consume(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref empty = Ref::consume(PyObject_GetAttrString(parameter.get(), "empty"));
    Ref params = Ref::consume(PyList_New(0));
    if (!kind || !empty || !params) return nullptr;

    auto add = [&](const char* name, PyObject* default_value, const char* annotation) {
        Ref ann = annotation != nullptr ? Ref::consume(PyUnicode_FromString(annotation)) : Ref::own(empty.get());
        if (!ann) return false;
        Ref kwargs = Ref::consume(Py_BuildValue("{sOsO}", "default", default_value, "annotation", ann.get()));
        Ref args = Ref::consume(Py_BuildValue("(sO)", name, kind.get()));
        if (!kwargs || !args) return false;
        Ref param = Ref::consume(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        return param && PyList_Append(params.get(), param.get()) == 0;
    };
    if (def.kind == Kind::Method && !add("self", empty.get(), nullptr)) return nullptr;
    if (def.kind == Kind::ClassMethod && !add("cls", empty.get(), nullptr)) return nullptr;
    for (const Param& p : def.sig.params) {
        if (!add(p.name, p.required ? empty.get() : Py_None, p.annotation)) return nullptr;
    }
    Ref result = def.sig.return_annotation != nullptr ? Ref::consume(PyUnicode_FromString(def.sig.return_annotation))
                                                      : Ref::own(empty.get());
    if (!result) return nullptr;
    Ref kwargs = Ref::consume(Py_BuildValue("{sO}", "return_annotation", result.get()));
    Ref args = Ref::consume(PyTuple_Pack(1, params.get()));
    if (!kwargs || !args) return nullptr;
    return PyObject_Call(signature.get(), args.get(), kwargs.get());
}

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {
    "Quorvex.simpleImage_ext.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

Ref build_annotations(const Signature& sig)
{
    Ref dict = Ref::consume(PyDict_New());
    if (!dict) return {};
    for (const Param& p : sig.params) {
        if (p.annotation == nullptr) continue;
        Ref text = Ref::consume(PyUnicode_FromString(p.annotation));
        if (!text || PyDict_SetItemString(dict.get(), p.name, text.get()) < 0) return {};
    }
    if (sig.return_annotation != nullptr) {
        Ref text = Ref::consume(PyUnicode_FromString(sig.return_annotation));
        if (!text || PyDict_SetItemString(dict.get(), "return", text.get()) < 0) return {};
    }
    return dict;
}

}  // namespace

PyTypeObject* make_function_type(PyObject* module)
{
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

Ref make_function(PyTypeObject* function_type, const FunctionDef* def, PyObject* module,
                  PyTypeObject* self_type)
{
    Ref annotations = build_annotations(def->sig);
    if (!annotations) return {};
    FunctionObject* fn = PyObject_GC_New(FunctionObject, function_type);
    if (fn == nullptr) return {};
    fn->vectorcall = call_vector;
    fn->def = def;
    fn->module = Py_NewRef(module);
    fn->annotations = annotations.release();
    fn->self_type = def->kind == Kind::Method ? reinterpret_cast<PyTypeObject*>(Py_XNewRef(self_type)) : nullptr;
    PyObject_GC_Track(fn);
    Ref callable = Ref::consume(reinterpret_cast<PyObject*>(fn));
    switch (def->kind) {
    case Kind::StaticMethod: return Ref::consume(PyStaticMethod_New(callable.get()));
    case Kind::ClassMethod: return Ref::consume(PyClassMethod_New(callable.get()));
    default: return callable;
    }
}

}  // namespace qv

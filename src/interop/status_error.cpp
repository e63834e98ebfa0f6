#include "interop/status_error.hpp"

#include "interop/module_state.hpp"

namespace qv {

namespace {

PyObject* zlib_error(PyObject* module, const Status& status)
{
    PyObject* error = state_of(module)->zlib_error;
    const CodeInfo& code = code_info(status.code);
    if (code.message != nullptr) return PyErr_Format(error, code.message, status.detail);  // compressing
    const char* stage = status.while_preparing ? "while preparing to decompress data" : "while decompressing data";
    if (status.zlib_message == nullptr) return PyErr_Format(error, "Error %d %s", status.detail, stage);
    return PyErr_Format(error, "Error %d %s: %.200s", status.detail, stage, status.zlib_message);
}

}  // namespace

bool raise_status(PyObject* module, const Status& status)
{
    const CodeInfo& code = code_info(status.code);
    switch (code.kind) {
    case ErrorKind::kNone:
        PyErr_SetString(PyExc_SystemError, "a successful status raised as an error");
        break;
    case ErrorKind::kValue:
        if (status.code == Code::kBadFilter) {
            PyErr_Format(PyExc_ValueError, "%s%d", code.message, status.detail);
        } else {
            PyErr_SetString(PyExc_ValueError, code.message);
        }
        break;
    case ErrorKind::kOverflow:
        PyErr_SetString(PyExc_OverflowError, code.message);
        break;
    case ErrorKind::kMemory:
        if (code.message != nullptr) {
            PyErr_SetString(PyExc_MemoryError, code.message);
        } else {
            PyErr_NoMemory();
        }
        break;
    case ErrorKind::kZlib:
        zlib_error(module, status);
        break;
    case ErrorKind::kHostUnpack:
    case ErrorKind::kHostPack:
        PyErr_SetString(PyExc_SystemError, "a host struct error raised without its field");
        break;
    }
    return false;
}

bool raise_host_unpack(PyObject* module, const char* fmt, PyObject* field)
{
    Ref unpacked = Ref::consume(PyObject_CallMethod(state_of(module)->struct_module, "unpack", "sO", fmt, field));
    if (unpacked) PyErr_Format(PyExc_SystemError, "struct.unpack('%s') accepted a field refused natively", fmt);
    return false;
}

bool raise_host_pack(PyObject* module, PyObject* args)
{
    Ref pack = Ref::consume(PyObject_GetAttrString(state_of(module)->struct_module, "pack"));
    if (!pack) return false;
    Ref packed = Ref::consume(PyObject_Call(pack.get(), args, nullptr));
    if (packed) PyErr_SetString(state_of(module)->struct_error, "argument out of range");
    return false;
}

}  // namespace qv

// The module's entry point and body: the class, the host modules and names it binds, its
// constants, and the table of every callable it exposes.
#include "bmp/bmp_api.hpp"
#include "image/simple_image.hpp"
#include "interop/module_state.hpp"
#include "png/png_api.hpp"

namespace qv {

namespace {

// ---- Parameter tables ---------------------------------------------------------------

const Param kReadChunkParams[] = {{.name = "stream"}};
const Param kMakeChunkParams[] = {
    {.name = "chunkType", .exact_type = &PyBytes_Type, .annotation = "bytes"},
    {.name = "data", .exact_type = &PyBytes_Type, .annotation = "bytes"},
};
const Param kWritePngParams[] = {
    {.name = "path"}, {.name = "width"}, {.name = "height"}, {.name = "pixels"},
    {.name = "alpha", .required = false}, {.name = "filter_types", .required = false},
};
const Param kSplitIdatParams[] = {
    {.name = "data", .exact_type = &PyBytes_Type, .none_allowed = true},
    {.name = "lengths", .exact_type = &PyList_Type, .none_allowed = true},
};
const Param kWritePngWithChunksParams[] = {
    {.name = "path"}, {.name = "width"}, {.name = "height"}, {.name = "pixels"},
    {.name = "alpha"}, {.name = "chunks"}, {.name = "filter_types", .required = false},
};
const Param kWriteBmpParams[] = {
    {.name = "path"}, {.name = "width"}, {.name = "height"}, {.name = "pixels"},
    {.name = "meta", .required = false},
};

const Param kStreamParams[] = {{.name = "stream"}};
const Param kOpenParams[] = {{.name = "source", .annotation = "ImageInput"}};
const Param kGetPixelParams[] = {
    {.name = "coords", .exact_type = &PyTuple_Type, .annotation = "Tuple[int, int]"},
};
const Param kPutPixelParams[] = {
    {.name = "coords", .exact_type = &PyTuple_Type, .annotation = "Tuple[int, int]"},
    {.name = "value", .annotation = "Sequence[int]"},
};
const Param kSaveParams[] = {{.name = "path", .exact_type = &PyUnicode_Type, .annotation = "str"}};
const Param kSetStateParams[] = {{.name = "state"}};

// ---- Callables ----------------------------------------------------------------------

const FunctionDef kModuleFunctions[] = {
    {{"_readChunk", kReadChunkParams, "Tuple[bytes, bytes]"}, "_readChunk", Kind::Function, read_chunk},
    {{"_makeChunk", kMakeChunkParams, "bytes"}, "_makeChunk", Kind::Function, make_chunk},
    {{"_writePng", kWritePngParams, "None"}, "_writePng", Kind::Function, write_png},
    {{"_split_idat_payload", kSplitIdatParams}, "_split_idat_payload", Kind::Function, split_idat_payload},
    {{"_writePngWithChunks", kWritePngWithChunksParams}, "_writePngWithChunks", Kind::Function,
     write_png_with_chunks},
    {{"_writeBmp", kWriteBmpParams, "None"}, "_writeBmp", Kind::Function, write_bmp},
};

const FunctionDef kClassCallables[] = {
    {{"_streamToImage", kStreamParams}, "SimpleImage._streamToImage", Kind::StaticMethod, image_stream_to_image},
    {{"open", kOpenParams, "SimpleImage"}, "SimpleImage.open", Kind::ClassMethod, image_open},
    {{"getPixel", kGetPixelParams, "Tuple[int, int, int]"}, "SimpleImage.getPixel", Kind::Method, image_get_pixel},
    {{"putPixel", kPutPixelParams, "None"}, "SimpleImage.putPixel", Kind::Method, image_put_pixel},
    {{"copy", {}, "SimpleImage"}, "SimpleImage.copy", Kind::Method, image_copy},
    {{"save", kSaveParams, "None"}, "SimpleImage.save", Kind::Method, image_save},
    {{"saveBmp", kSaveParams, "None"}, "SimpleImage.saveBmp", Kind::Method, image_save_bmp},
    {{"__reduce__", {}}, "SimpleImage.__reduce__", Kind::Method, image_reduce},
    {{"__setstate__", kSetStateParams}, "SimpleImage.__setstate__", Kind::Method, image_setstate},
};

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// ---- Module body --------------------------------------------------------------------

int bind_attr(PyObject* module, const char* name, PyObject* source, const char* attr)
{
    Ref value = Ref::consume(PyObject_GetAttrString(source, attr));
    if (!value) return -1;
    return PyModule_AddObjectRef(module, name, value.get());
}

int bind_host_names(PyObject* module, ModuleState* st)
{
    Ref struct_module = Ref::consume(PyImport_ImportModule("struct"));
    if (!struct_module || PyModule_AddObjectRef(module, "struct", struct_module.get()) < 0) return -1;
    Ref zlib_module = Ref::consume(PyImport_ImportModule("zlib"));
    if (!zlib_module || PyModule_AddObjectRef(module, "zlib", zlib_module.get()) < 0) return -1;
    Ref io = Ref::consume(PyImport_ImportModule("io"));
    if (!io || bind_attr(module, "BytesIO", io.get(), "BytesIO") < 0) return -1;
    st->bytesio_type = PyObject_GetAttrString(io.get(), "BytesIO");
    if (st->bytesio_type == nullptr) return -1;
    Ref pathlib = Ref::consume(PyImport_ImportModule("pathlib"));
    if (!pathlib || bind_attr(module, "Path", pathlib.get(), "Path") < 0) return -1;
    Ref typing = Ref::consume(PyImport_ImportModule("typing"));
    if (!typing) return -1;
    for (const char* name : {"List", "Sequence", "Tuple", "Union"}) {
        if (bind_attr(module, name, typing.get(), name) < 0) return -1;
    }

    st->struct_error = PyObject_GetAttrString(struct_module.get(), "error");
    st->zlib_error = PyObject_GetAttrString(zlib_module.get(), "error");
    st->struct_module = struct_module.release();
    Ref builtins = Ref::consume(PyImport_ImportModule("builtins"));
    if (!st->struct_error || !st->zlib_error || !builtins) return -1;
    st->builtin_open = PyObject_GetAttrString(builtins.get(), "open");
    st->builtin_print = PyObject_GetAttrString(builtins.get(), "print");
    return st->builtin_open && st->builtin_print ? 0 : -1;
}

int bind_constants(PyObject* module)
{
    Ref signature = Ref::consume(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(kPngSignature), sizeof kPngSignature));
    if (!signature || PyModule_AddObjectRef(module, "PNG_SIGNATURE", signature.get()) < 0) return -1;

    // ImageInput = Union[str, Path, bytes, bytearray, "SimpleImage"]
    Ref union_ = module_attr(module, "Union");
    Ref path = module_attr(module, "Path");
    if (!union_ || !path) return -1;
    Ref members = Ref::consume(Py_BuildValue("(OOOOs)", &PyUnicode_Type, path.get(), &PyBytes_Type,
                                             &PyByteArray_Type, "SimpleImage"));
    if (!members) return -1;
    Ref alias = Ref::consume(PyObject_GetItem(union_.get(), members.get()));
    if (!alias) return -1;
    return PyModule_AddObjectRef(module, "ImageInput", alias.get());
}

int bind_functions(PyObject* module, ModuleState* st)
{
    for (const FunctionDef& def : kModuleFunctions) {
        Ref fn = make_function(st->function_type, &def, module, nullptr);
        if (!fn || PyModule_AddObjectRef(module, def.sig.name, fn.get()) < 0) return -1;
    }
    PyObject* cls = reinterpret_cast<PyObject*>(st->image_type);
    for (const FunctionDef& def : kClassCallables) {
        Ref fn = make_function(st->function_type, &def, module, st->image_type);
        if (!fn || PyObject_SetAttrString(cls, def.sig.name, fn.get()) < 0) return -1;
    }
    // The class is complete: from here on it is as fixed as a built-in type.
    st->image_type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(st->image_type);
    return 0;
}

int module_exec(PyObject* module)
{
    ModuleState* st = state_of(module);
    st->function_type = make_function_type(module);
    if (st->function_type == nullptr) return -1;
    st->image_type = make_image_type(module);
    if (st->image_type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "SimpleImage", reinterpret_cast<PyObject*>(st->image_type)) < 0) return -1;
    if (bind_host_names(module, st) < 0) return -1;
    if (st->names.make() < 0) return -1;
    if (bind_constants(module) < 0) return -1;
    return bind_functions(module, st);
}

int module_traverse(PyObject* module, visitproc visit, void* arg)
{
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    Py_VISIT(st->image_type);
    Py_VISIT(st->function_type);
    Py_VISIT(st->struct_module);
    Py_VISIT(st->struct_error);
    Py_VISIT(st->zlib_error);
    Py_VISIT(st->builtin_open);
    Py_VISIT(st->builtin_print);
    Py_VISIT(st->bytesio_type);
    return 0;
}

int module_clear(PyObject* module)
{
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    Py_CLEAR(st->image_type);
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->struct_module);
    Py_CLEAR(st->struct_error);
    Py_CLEAR(st->zlib_error);
    Py_CLEAR(st->builtin_open);
    Py_CLEAR(st->builtin_print);
    Py_CLEAR(st->bytesio_type);
    st->names.clear();
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "simpleImage_ext",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace qv

PyMODINIT_FUNC PyInit_simpleImage_ext(void) { return PyModuleDef_Init(&qv::module_def); }

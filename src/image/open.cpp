// Opening: SimpleImage.open(source) and the format dispatch SimpleImage._streamToImage(stream).
#include "bmp/bmp_api.hpp"
#include "image/simple_image.hpp"
#include "interop/decoded_result.hpp"
#include "interop/errors.hpp"
#include "interop/host_file.hpp"
#include "interop/module_state.hpp"
#include "interop/unpack.hpp"
#include "png/png_api.hpp"

namespace qv {

namespace {

using Values = Ref[kResultSize];

// The format dispatch: the decoder result of `stream` in `values`. False with the error set.
bool stream_to_values(PyObject* module, PyObject* stream, Values& values)
{
    const HostNames& names = state_of(module)->names;
    Ref signature = call_method_int(stream, names.read, 8);
    if (!signature) return false;
    if (!call_method_int(stream, names.seek, 0)) return false;

    Ref png_signature = module_attr(module, names.png_signature);
    if (!png_signature) return false;
    Ref is_png = call_method(signature.get(), names.startswith, png_signature.get());
    if (!is_png) return false;
    const int png = PyObject_IsTrue(is_png.get());
    if (png < 0) return false;
    if (png) {
        DecodeResult result;
        return load_png(module, stream, &result) && take_result(&result, values);
    }

    BufferView head;
    if (!head.acquire(signature.get(), PyBUF_SIMPLE)) return false;
    if (head.size() >= 2 && head.data()[0] == 'B' && head.data()[1] == 'M') {
        head.reset();
        DecodeResult result;
        return load_bmp(module, stream, &result) && take_result(&result, values);
    }
    raise_value_error("Unsupported image format");
    return false;
}

// cls._streamToImage(stream) into the eight values. The class's own (the exact class cannot
// have another: its type is immutable) is run directly, without the result tuple.
bool decode_stream(PyObject* module, PyObject* cls, PyObject* stream, Values& values)
{
    if (cls == reinterpret_cast<PyObject*>(state_of(module)->image_type)) return stream_to_values(module, stream, values);
    Ref result = call_method(cls, state_of(module)->names.stream_to_image, stream);
    return result && unpack_exact(result.get(), kResultSize, values);
}

bool decode_source(const Call& call, PyObject* source, Values& values)
{
    PyObject* cls = call.self;
    const HostNames& names = state_of(call.module)->names;
    Ref path_type = module_attr(call.module, names.path);
    if (!path_type) return false;
    int is_path = PyUnicode_Check(source) ? 1 : PyObject_IsInstance(source, path_type.get());
    if (is_path < 0) return false;
    if (is_path) {
        Ref file = open_file(state_of(call.module)->builtin_open, source, "rb");
        if (!file) return false;
        const bool decoded = decode_stream(call.module, cls, file.get(), values);
        return close_file(file.get(), names.close) && decoded;
    }
    if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref bytes_io = module_attr(call.module, names.bytes_io);
        if (!bytes_io) return false;
        Ref stream = Ref::consume(PyObject_CallOneArg(bytes_io.get(), source));
        return stream && decode_stream(call.module, cls, stream.get(), values);
    }
    raise_type_error("source must be a file path or raw bytes");
    return false;
}

bool print_opened(PyObject* module, PyObject* const* values)
{
    Ref line = Ref::consume(PyUnicode_FromFormat("[SimpleImage] Opened image: %Sx%S, channels=%S", values[kWidth],
                                                 values[kHeight], values[kChannels]));
    if (!line) return false;
    return static_cast<bool>(Ref::consume(PyObject_CallOneArg(state_of(module)->builtin_print, line.get())));
}

}  // namespace

PyObject* image_open(const Call& call)
{
    PyObject* source = call.args[0];
    PyTypeObject* image_type = state_of(call.module)->image_type;
    if (PyObject_TypeCheck(source, image_type)) return Py_NewRef(source);

    Values slots;
    if (!decode_source(call, source, slots)) return nullptr;
    PyObject* values[kResultSize];
    for (int i = 0; i < kResultSize; ++i) values[i] = slots[i].get();

    // The constructor's arguments, in its order: bmp_meta becomes bmp_header.
    PyObject* args[] = {values[kWidth],  values[kHeight],  values[kPixels],    values[kAlpha],
                        values[kChunks], values[kBmpMeta], values[kPngFilters]};
    // The exact class takes over the buffers the decoder just made rather than copying them;
    // a subclass gets the call it may have overridden.
    Ref image = call.self == reinterpret_cast<PyObject*>(image_type)
                    ? new_image(image_type, args, true)
                    : Ref::consume(PyObject_Vectorcall(call.self, args, 7, nullptr));
    if (!image || !print_opened(call.module, values)) return nullptr;
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), image_type)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(image.get())->tp_name,
                     image_type->tp_name);
        return nullptr;
    }
    return image.release();
}

PyObject* image_stream_to_image(const Call& call)
{
    Values values;
    if (!stream_to_values(call.module, call.args[0], values)) return nullptr;
    PyObject* tuple = PyTuple_New(kResultSize);
    if (tuple == nullptr) return nullptr;
    for (int i = 0; i < kResultSize; ++i) PyTuple_SET_ITEM(tuple, i, values[i].release());
    return tuple;
}

}  // namespace qv

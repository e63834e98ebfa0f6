// _writeBmp: an image as an uncompressed 24-bit BMP, rows bottom-up, 4-byte aligned.
// Everything that can fail is settled before the file is opened, and the whole file is
// built in memory first, so a refused image never leaves a damaged file at the path.
#include "bmp/bmp_api.hpp"
#include "codec/bmp/bmp_writer.hpp"
#include "interop/ints.hpp"
#include "interop/module_state.hpp"
#include "interop/output_file.hpp"
#include "interop/status_error.hpp"

namespace qv {

namespace {

enum Arg { kPath, kWidth, kHeight, kPixels, kMeta };

// The resolution and colour-count fields, asked of the record in this order.
struct MetaField {
    const char* key;
    long fallback;
};
constexpr MetaField kMetaFields[] = {{"xppm", bmp::kDefaultPpm}, {"yppm", bmp::kDefaultPpm}, {"clrUsed", 0},
                                     {"clrImportant", 0}};
constexpr int kMetaCount = 4;

// int(meta.get(key, default)) for each field; the defaults alone without a record.
bool read_meta(PyObject* meta, Ref* values)
{
    for (int i = 0; i < kMetaCount; ++i) {
        Ref fallback = Ref::consume(PyLong_FromLong(kMetaFields[i].fallback));
        if (!fallback) return false;
        if (meta == Py_None) {
            values[i] = std::move(fallback);
            continue;
        }
        Ref got = Ref::consume(PyObject_CallMethod(meta, "get", "sO", kMetaFields[i].key, fallback.get()));
        if (!got) return false;
        values[i] = Ref::consume(PyNumber_Long(got.get()));
        if (!values[i]) return false;
    }
    return true;
}

// An int as the core takes it: beyond 64 bits as the nearest end (out of range either way).
int64_t as_int64(PyObject* value)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return INT64_MIN;
    }
    return overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : v;
}

// A header that struct cannot pack: the host's struct.pack runs on the header the core
// refused, with the exact values, for its own error on the first bad field.
bool raise_field_range(PyObject* module, const Status& status, int32_t width, int32_t height, const Ref* meta)
{
    Ref stride = Ref::consume(PyLong_FromLongLong(bmp::row_stride(width)));
    Ref rows = Ref::consume(PyLong_FromLong(height));
    if (!stride || !rows) return false;
    Ref image_size = Ref::consume(PyNumber_Multiply(stride.get(), rows.get()));
    if (!image_size) return false;
    Ref headers_size = Ref::consume(PyLong_FromSize_t(bmp::kHeadersSize));
    if (!headers_size) return false;
    Ref args;
    if (status.detail == 0) {
        Ref file_size = Ref::consume(PyNumber_Add(headers_size.get(), image_size.get()));
        if (!file_size) return false;
        args = Ref::consume(Py_BuildValue("(sOiiO)", "<IHHI", file_size.get(), 0, 0, headers_size.get()));
    } else {
        args = Ref::consume(Py_BuildValue("(sIiiiiiOOOOO)", "<IIIHHIIIIII", unsigned{bmp::kInfoHeaderSize}, width,
                                          height, int{bmp::kPlanes}, int{bmp::kBitCount}, int{bmp::kNoCompression},
                                          image_size.get(), meta[0].get(), meta[1].get(), meta[2].get(),
                                          meta[3].get()));
    }
    return args && raise_host_pack(module, args.get());
}

// The pixel argument as a bytearray: one (or a subclass) as it is, anything else through
// the host's bytearray().
Ref pixel_array(PyObject* pixels)
{
    if (PyByteArray_Check(pixels)) return Ref::own(pixels);
    return Ref::consume(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), pixels));
}

bool write_file(PyObject* module, PyObject* path, PyObject* contents)
{
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(contents));
    const ByteSpan bytes{data, static_cast<size_t>(PyBytes_GET_SIZE(contents))};
    return save_file(state_of(module)->builtin_open, path, [&](OutputFile& file) { return file.write(bytes); });
}

}  // namespace

PyObject* write_bmp(const Call& call)
{
    int32_t width = 0;
    int32_t height = 0;
    if (!to_int32(call.args[kWidth], &width) || !to_int32(call.args[kHeight], &height)) return nullptr;
    Ref meta[kMetaCount];
    if (!read_meta(call.args[kMeta], meta)) return nullptr;
    Ref pixels = pixel_array(call.args[kPixels]);
    if (!pixels) return nullptr;

    const bmp::KeptFields fields{as_int64(meta[0].get()), as_int64(meta[1].get()), as_int64(meta[2].get()),
                                 as_int64(meta[3].get())};
    bmp::BmpPlan plan;
    if (const Status s = bmp::plan_bmp(width, height, fields, &plan); !s.ok()) {
        if (s.code == Code::kBmpFieldRange) return raise_field_range(call.module, s, width, height, meta), nullptr;
        return raise_status(call.module, s), nullptr;
    }

    // Sizes fit 32 bits here, and 3 * width <= stride, so this product is exact.
    if (PyByteArray_GET_SIZE(pixels.get()) < plan.pixel_bytes()) {
        PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        return nullptr;
    }
    Ref contents = Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.file_size())));
    if (!contents) return nullptr;
    // No Python code runs between the length check and the copy (a bytes object is not one
    // the collector tracks, so making it starts no collection); the address is taken last.
    const auto* rgb = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    bmp::write_bmp(plan, rgb, {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(contents.get())), plan.file_size()});
    if (!write_file(call.module, call.args[kPath], contents.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace qv

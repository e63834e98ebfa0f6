// _writeBmp: an image as an uncompressed 24-bit BMP, rows bottom-up, 4-byte aligned.
// Everything that can fail is settled before the file is opened, and the whole file is
// built in memory first, so a refused image never leaves a damaged file at the path.
#include "bmp/bmp_api.hpp"
#include "codec/bmp/bmp_format.hpp"
#include "image/module_state.hpp"
#include "interop/ints.hpp"
#include "interop/output_file.hpp"

namespace qv {

namespace {

enum Arg { kPath, kWidth, kHeight, kPixels, kMeta };

// The resolution and colour-count fields, asked of the record in this order.
struct MetaField {
    const char* key;
    long fallback;
};
constexpr MetaField kMetaFields[] = {{"xppm", 2835}, {"yppm", 2835}, {"clrUsed", 0}, {"clrImportant", 0}};
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

// The value as the "I" struct code stores it; false when it is outside 0 .. 2^32 - 1.
bool as_u32(PyObject* value, uint32_t* out)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (overflow != 0 || v < 0 || v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool as_u32(int64_t value, uint32_t* out)
{
    if (value < 0 || value > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

// Header fields that cannot be stored: the two headers go through the host's struct.pack
// with the exact values, so the struct module raises its own error for the first bad field.
// Headers that do pack still break the 32-bit size limit.
PyObject* raise_header_error(PyObject* module, int32_t width, int32_t height, const Ref* meta)
{
    Ref pack = Ref::consume(PyObject_GetAttrString(state_of(module)->struct_module, "pack"));
    if (!pack) return nullptr;
    Ref stride = Ref::consume(PyLong_FromLongLong(bmp::row_stride(width)));
    Ref rows = Ref::consume(PyLong_FromLong(height));
    if (!stride || !rows) return nullptr;
    Ref image_size = Ref::consume(PyNumber_Multiply(stride.get(), rows.get()));
    if (!image_size) return nullptr;
    Ref headers_size = Ref::consume(PyLong_FromSize_t(bmp::kHeadersSize));
    if (!headers_size) return nullptr;
    Ref file_size = Ref::consume(PyNumber_Add(headers_size.get(), image_size.get()));
    if (!file_size) return nullptr;
    if (!Ref::consume(PyObject_CallFunction(pack.get(), "sOiiO", "<IHHI", file_size.get(), 0, 0, headers_size.get()))) {
        return nullptr;
    }
    if (!Ref::consume(PyObject_CallFunction(pack.get(), "sIiiiiiOOOOO", "<IIIHHIIIIII", unsigned{bmp::kInfoHeaderSize},
                                            width, height, int{bmp::kPlanes}, int{bmp::kBitCount},
                                            int{bmp::kNoCompression}, image_size.get(), meta[0].get(),
                                            meta[1].get(), meta[2].get(), meta[3].get()))) {
        return nullptr;
    }
    PyErr_SetString(PyExc_OverflowError, bmp::kTooLarge);
    return nullptr;
}

// The header values when every field packs and every size fits 32 bits; false otherwise.
bool header_values(int32_t width, int32_t height, const Ref* meta, bmp::HeaderValues* out, int64_t* stride)
{
    *stride = bmp::row_stride(width);
    if (!bmp::fits_int32(*stride)) return false;
    const int64_t image_size = *stride * height;  // both within 32 bits: exact in 64
    const int64_t file_size = image_size + static_cast<int64_t>(bmp::kHeadersSize);
    if (!bmp::fits_int32(image_size) || !bmp::fits_int32(file_size)) return false;
    return as_u32(file_size, &out->file_size) && as_u32(width, &out->width) && as_u32(height, &out->height) &&
           as_u32(image_size, &out->image_size) && as_u32(meta[0].get(), &out->xppm) &&
           as_u32(meta[1].get(), &out->yppm) && as_u32(meta[2].get(), &out->clr_used) &&
           as_u32(meta[3].get(), &out->clr_important);
}

// The pixel argument as a bytearray: one (or a subclass) as it is, anything else through
// the host's bytearray().
Ref pixel_array(PyObject* pixels)
{
    if (PyByteArray_Check(pixels)) return Ref::own(pixels);
    return Ref::consume(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), pixels));
}

// The complete file: headers, then the rows bottom-up as B, G, R with zero padding.
Ref build_file(const bmp::HeaderValues& values, int64_t stride, int32_t width, int32_t height, const uint8_t* rgb)
{
    Ref file = Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.file_size)));
    if (!file) return {};
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(file.get()));
    bmp::write_headers(out, values);
    if (stride == 0) return file;
    const int64_t row_bytes = int64_t{width} * 3;
    uint8_t* row = out + bmp::kHeadersSize;
    for (int64_t y = int64_t{height} - 1; y >= 0; --y, row += stride) {
        bmp::copy_row_swapping_red_blue(rgb + y * row_bytes, row, static_cast<size_t>(width));
        bmp::clear_row_padding(row, static_cast<size_t>(row_bytes), static_cast<size_t>(stride));
    }
    return file;
}

bool write_file(PyObject* module, PyObject* path, PyObject* contents)
{
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(contents));
    const std::span<const uint8_t> bytes{data, static_cast<size_t>(PyBytes_GET_SIZE(contents))};
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

    bmp::HeaderValues values{};
    int64_t stride = 0;
    if (!header_values(width, height, meta, &values, &stride)) return raise_header_error(call.module, width, height, meta);

    // Sizes fit 32 bits here, and 3 * width <= stride, so this product is exact.
    const int64_t needed = int64_t{width} * height * 3;
    if (PyByteArray_GET_SIZE(pixels.get()) < needed) {
        PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        return nullptr;
    }
    // No Python code runs between the length check and the copy.
    const auto* rgb = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    Ref contents = build_file(values, stride, width, height, rgb);
    if (!contents || !write_file(call.module, call.args[kPath], contents.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace qv

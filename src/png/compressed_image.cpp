#include "png/compressed_image.hpp"

#include "image/module_state.hpp"
#include "interop/errors.hpp"
#include "interop/without_gil.hpp"
#include "interop/ints.hpp"
#include "codec/png/scanline_encoder.hpp"

namespace qv::png {

namespace {

const char kPixelLength[] = "Pixel data length does not match image dimensions";
const char kAlphaLength[] = "Alpha channel length does not match image dimensions";
const char kFilterCount[] = "PNG filter count does not match image height";

bool fail(const char* message) { return raise_value_error(message), false; }

// The pixel bytes the encoder reads: a bytearray in place, exact bytes too (immutable),
// anything else copied once into a new bytearray.
bool view_pixels(PyObject* pixels, Ref* holder, BufferView* view)
{
    PyObject* source = pixels;
    if (!PyByteArray_Check(pixels) && !PyBytes_CheckExact(pixels)) {
        *holder = Ref::consume(PyByteArray_FromObject(pixels));
        if (!*holder) return false;
        source = holder->get();
    }
    return view->acquire(source, PyBUF_SIMPLE);
}

// A length taken with len() may disagree with the bytes behind it (a subclass overriding
// __len__, a sequence whose length lies): the encoder reads without bounds checks, so the
// exported buffer itself must be long enough.
bool long_enough(const BufferView& view, int64_t needed) { return view.size() >= needed; }

bool view_filters(PyObject* filters, int32_t height, BufferView* view)
{
    const Py_ssize_t count = PyObject_Size(filters);
    if (count < 0) return false;
    if (count != height) return fail(kFilterCount);
    if (!view->acquire(filters, PyBUF_WRITABLE)) return false;
    return long_enough(*view, height) || fail(kFilterCount);
}

Ref raise_encode_error(PyObject* module, const EncodeResult& result)
{
    switch (result.status) {
    case EncodeStatus::kBadFilter:
        return Ref::consume(raise_value_error_with_number("Unsupported PNG filter: ", result.detail));
    case EncodeStatus::kZlibError:
        PyErr_Format(state_of(module)->zlib_error, "Error %d while compressing data", result.detail);
        return {};
    default:
        return Ref::consume(PyErr_NoMemory());
    }
}

}  // namespace

bool image_args(PyObject* const* args, PyObject* filters, ImageArgs* out)
{
    if (!to_int32(args[1], &out->width) || !to_int32(args[2], &out->height)) return false;
    out->pixels = args[3];
    out->alpha = args[4];
    out->filters = filters;
    return true;
}

bool check_lengths(const ImageArgs& image)
{
    const Py_ssize_t pixel_length = PyObject_Size(image.pixels);
    if (pixel_length < 0) return false;
    const auto pixel_bytes = product_int32(image.width, image.height, 3);
    if (!pixel_bytes || pixel_length != *pixel_bytes) return fail(kPixelLength);
    if (!image.has_alpha()) return true;
    const Py_ssize_t alpha_length = PyObject_Size(image.alpha);
    if (alpha_length < 0) return false;
    return alpha_length == int64_t{image.width} * image.height || fail(kAlphaLength);
}

Ref compress_image(PyObject* module, const ImageArgs& image)
{
    // Buffers stay exported until the encoder is done, so nothing can resize them while it
    // runs without the GIL.
    Ref pixel_copy;
    BufferView pixels;
    if (!view_pixels(image.pixels, &pixel_copy, &pixels)) return {};
    const int64_t pixel_count = int64_t{image.width} * image.height;  // checked against int32
    if (!long_enough(pixels, pixel_count * 3)) return Ref::consume(raise_value_error(kPixelLength));
    if (image.width < 0) return Ref::consume(raise_value_error("negative count"));

    BufferView alpha;
    if (image.has_alpha()) {
        if (!alpha.acquire(image.alpha, PyBUF_WRITABLE)) return {};
        if (!long_enough(alpha, pixel_count)) return Ref::consume(raise_value_error(kAlphaLength));
    }
    BufferView filters;
    if (image.filters != Py_None && !view_filters(image.filters, image.height, &filters)) return {};

    ScanlineImage scan;
    scan.pixels = pixels.data();
    scan.alpha = image.has_alpha() ? alpha.data() : nullptr;
    scan.filters = image.filters != Py_None ? filters.data() : nullptr;
    scan.width = static_cast<uint32_t>(image.width);
    scan.height = image.height > 0 ? static_cast<uint32_t>(image.height) : 0;

    ScanlineDeflater deflater(scan);
    EncodeResult result = deflater.init();
    if (result.status != EncodeStatus::kOk) return raise_encode_error(module, result);
    if (deflater.capacity() > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Ref::consume(PyErr_NoMemory());
    // The output buffer is allocated once at its bound and shrunk to what was used.
    Ref out = Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(deflater.capacity())));
    if (!out) return {};
    uint8_t* out_data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
    result = without_gil([&] { return deflater.run(out_data); });
    if (result.status != EncodeStatus::kOk) return raise_encode_error(module, result);
    PyObject* shrunk = out.release();  // freed by _PyBytes_Resize on failure
    if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(result.compressed_size)) < 0) return {};
    return Ref::consume(shrunk);
}

}  // namespace qv::png

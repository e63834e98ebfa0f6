#include "png/compressed_image.hpp"

#include "codec/png/image_lengths.hpp"
#include "codec/png/scanline_encoder.hpp"
#include "interop/ints.hpp"
#include "interop/status_error.hpp"
#include "interop/without_gil.hpp"
#include "png/save_threads.hpp"

namespace qv::png {

namespace {

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

bool view_filters(PyObject* filters, int32_t height, BufferView* view)
{
    const Py_ssize_t count = PyObject_Size(filters);
    if (count < 0) return false;
    if (const Status checked = check_filter_count(height, count); !checked.ok()) return raise_status(nullptr, checked);
    if (!view->acquire(filters, PyBUF_WRITABLE)) return false;
    const Status covered = check_filter_buffer(height, view->size());
    return covered.ok() || raise_status(nullptr, covered);
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
    if (const Status checked = check_pixel_length(image.width, image.height, pixel_length); !checked.ok()) {
        return raise_status(nullptr, checked);
    }
    if (!image.has_alpha()) return true;
    const Py_ssize_t alpha_length = PyObject_Size(image.alpha);
    if (alpha_length < 0) return false;
    const Status checked = check_alpha_length(image.width, image.height, alpha_length);
    return checked.ok() || raise_status(nullptr, checked);
}

Ref compress_image(PyObject* module, const ImageArgs& image)
{
    // Buffers stay exported until the encoder is done, so nothing can resize them while it
    // runs without the GIL.
    Ref pixel_copy;
    BufferView pixels;
    if (!view_pixels(image.pixels, &pixel_copy, &pixels)) return {};
    if (const Status checked = check_pixel_buffer(image.width, image.height, pixels.size()); !checked.ok()) {
        return raise_status(module, checked), Ref{};
    }

    BufferView alpha;
    if (image.has_alpha()) {
        if (!alpha.acquire(image.alpha, PyBUF_WRITABLE)) return {};
        if (const Status checked = check_alpha_buffer(image.width, image.height, alpha.size()); !checked.ok()) {
            return raise_status(module, checked), Ref{};
        }
    }
    BufferView filters;
    if (image.filters != Py_None && !view_filters(image.filters, image.height, &filters)) return {};

    ScanlineImage scan;
    scan.pixels = pixels.data();
    scan.alpha = image.has_alpha() ? alpha.data() : nullptr;
    scan.filters = image.filters != Py_None ? filters.data() : nullptr;
    scan.width = static_cast<uint32_t>(image.width);
    scan.height = image.height > 0 ? static_cast<uint32_t>(image.height) : 0;

    ScanlineDeflater deflater(scan, save_threads());
    Status status = encode_status(deflater.init());
    if (!status.ok()) return raise_status(module, status), Ref{};
    if (deflater.capacity() > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Ref::consume(PyErr_NoMemory());
    // The output buffer is allocated once at its bound and shrunk to what was used.
    Ref out = Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(deflater.capacity())));
    if (!out) return {};
    uint8_t* out_data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
    const EncodeResult result = without_gil([&] { return deflater.run(out_data); });
    status = encode_status(result);
    if (!status.ok()) return raise_status(module, status), Ref{};
    PyObject* shrunk = out.release();  // freed by _PyBytes_Resize on failure
    if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(result.compressed_size)) < 0) return {};
    return Ref::consume(shrunk);
}

}  // namespace qv::png

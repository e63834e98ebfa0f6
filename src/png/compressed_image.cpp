#include "png/compressed_image.hpp"

#include "codec/png/filtered_rows.hpp"
#include "codec/png/image_lengths.hpp"
#include "codec/png/scanline_encoder.hpp"
#include "codec/png/whole_deflate.hpp"
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

// zlib, row by row, into a bytes object allocated once at its bound and shrunk to what was used.
bool deflate_rows(PyObject* module, const ScanlineImage& scan, CompressedImage* out)
{
    ScanlineDeflater deflater(scan, save_threads());
    Status status = encode_status(deflater.init());
    if (!status.ok()) return raise_status(module, status);
    if (deflater.capacity() > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory(), false;
    Ref bytes = Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(deflater.capacity())));
    if (!bytes) return false;
    uint8_t* data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    const EncodeResult result = without_gil([&] { return deflater.run(data); });
    status = encode_status(result);
    if (!status.ok()) return raise_status(module, status);
    PyObject* shrunk = bytes.release();  // freed by _PyBytes_Resize on failure
    if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(result.compressed_size)) < 0) return false;
    out->object = Ref::consume(shrunk);
    out->data = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(shrunk)), result.compressed_size};
    return true;
}

// libdeflate, the whole image in one go. A filter type above 4 is refused as the row-by-row
// path refuses it: the first one in row order, before any work.
bool deflate_whole(PyObject* module, const ScanlineImage& scan, CompressedImage* out)
{
    struct Outcome {
        int bad_filter;
        bool done;
    };
    const Outcome outcome = without_gil([&] {
        const int bad = first_bad_filter(scan);
        return bad >= 0 ? Outcome{bad, false} : Outcome{-1, whole_deflate(scan, kConverterLevel, &out->buffer)};
    });
    if (outcome.bad_filter >= 0) {
        return raise_status(module, encode_status({.status = EncodeStatus::kBadFilter, .detail = outcome.bad_filter}));
    }
    if (!outcome.done) return PyErr_NoMemory(), false;
    out->data = {out->buffer.data(), out->buffer.size()};
    return true;
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

bool compress_image(PyObject* module, const ImageArgs& image, Compressor compressor, CompressedImage* out)
{
    // Buffers stay exported until the compressor is done, so nothing can resize them while
    // it runs without the GIL.
    Ref pixel_copy;
    BufferView pixels;
    if (!view_pixels(image.pixels, &pixel_copy, &pixels)) return false;
    if (const Status checked = check_pixel_buffer(image.width, image.height, pixels.size()); !checked.ok()) {
        return raise_status(module, checked);
    }

    BufferView alpha;
    if (image.has_alpha()) {
        if (!alpha.acquire(image.alpha, PyBUF_WRITABLE)) return false;
        if (const Status checked = check_alpha_buffer(image.width, image.height, alpha.size()); !checked.ok()) {
            return raise_status(module, checked);
        }
    }
    BufferView filters;
    if (image.filters != Py_None && !view_filters(image.filters, image.height, &filters)) return false;

    ScanlineImage scan;
    scan.pixels = pixels.data();
    scan.alpha = image.has_alpha() ? alpha.data() : nullptr;
    scan.filters = image.filters != Py_None ? filters.data() : nullptr;
    scan.width = static_cast<uint32_t>(image.width);
    scan.height = image.height > 0 ? static_cast<uint32_t>(image.height) : 0;

    // libdeflate holds the whole filtered image and two rows in memory, which only an image
    // with pixels justifies: one without (no rows, or rows without pixels) goes row by row.
    const bool has_pixels = scan.width > 0 && scan.height > 0;
    if (compressor == Compressor::kLibdeflate && has_pixels && whole_deflate_available()) {
        return deflate_whole(module, scan, out);
    }
    return deflate_rows(module, scan, out);
}

}  // namespace qv::png

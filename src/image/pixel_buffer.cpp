// The image's pixels as a height x width x 3 array of bytes through the buffer protocol, so
// that array libraries can view (and write) `_pixels` in place without a copy.
#include "image/simple_image.hpp"

#include <cstdint>

namespace qv {

namespace {

// What one export holds until it is released: the stored byte array's own export (which
// keeps that array alive and stops it from being resized) and the shape and strides the
// view points at. Lives in view->internal, so a consumer that copies the Py_buffer struct
// still releases the right thing.
struct PixelExport {
    Py_buffer pixels;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};

char kFormat[] = "B";

int refuse(const char* message)
{
    PyErr_SetString(PyExc_BufferError, message);
    return -1;
}

int refuse_size(Py_ssize_t length, int32_t width, int32_t height)
{
    PyErr_Format(PyExc_BufferError, "SimpleImage pixel buffer of %zd bytes does not match its size %dx%d",
                 length, static_cast<int>(width), static_cast<int>(height));
    return -1;
}

}  // namespace

int image_getbuffer(PyObject* obj, Py_buffer* view, int flags)
{
    view->obj = nullptr;
    ImageObject* self = as_image(obj);
    // The setters and the constructor store an exact byte array or None; check anyway, since
    // the export below must run no Python code (a subclass's __buffer__ could).
    if (self->pixels == Py_None) return refuse("SimpleImage has no pixel buffer (_pixels is None)");
    if (!PyByteArray_CheckExact(self->pixels)) return refuse("SimpleImage _pixels is not a bytearray");
    const int32_t width = self->width;
    const int32_t height = self->height;

    // Rows are C-ordered: a Fortran-ordered request can be met only when no two dimensions
    // exceed one (or there is nothing to view).
    const bool fortran_ok = width == 0 || height == 0 || (width == 1 && height == 1);
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !fortran_ok) {
        return refuse("SimpleImage pixels are C-contiguous (row by row), not Fortran-contiguous");
    }

    auto* held = static_cast<PixelExport*>(PyMem_Calloc(1, sizeof(PixelExport)));
    if (held == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    // The byte array's export takes its own reference to it: reassigning `_pixels` while
    // this view lives drops only the image's reference.
    if (PyObject_GetBuffer(self->pixels, &held->pixels, PyBUF_WRITABLE) < 0) {
        PyMem_Free(held);
        return -1;
    }
    const Py_ssize_t length = held->pixels.len;
    const int64_t expected = static_cast<int64_t>(width) * height * 3;
    if (width < 0 || height < 0 || expected != length) {
        PyBuffer_Release(&held->pixels);
        PyMem_Free(held);
        return refuse_size(length, width, height);
    }

    held->shape[0] = height;
    held->shape[1] = width;
    held->shape[2] = 3;
    held->strides[0] = static_cast<Py_ssize_t>(width) * 3;
    held->strides[1] = 3;
    held->strides[2] = 1;

    view->buf = held->pixels.buf;
    view->len = length;
    view->itemsize = 1;
    view->readonly = 0;
    view->format = (flags & PyBUF_FORMAT) ? kFormat : nullptr;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->ndim = 3;
        view->shape = held->shape;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? held->strides : nullptr;
    } else {
        // A plain request sees the rows as one run of bytes, which they are.
        view->ndim = 1;
        view->shape = nullptr;
        view->strides = nullptr;
    }
    view->suboffsets = nullptr;
    view->internal = held;

    view->obj = Py_NewRef(obj);
    return 0;
}

void image_releasebuffer(PyObject*, Py_buffer* view)
{
    auto* held = static_cast<PixelExport*>(view->internal);
    if (held == nullptr) return;
    view->internal = nullptr;
    PyBuffer_Release(&held->pixels);
    PyMem_Free(held);
}

}  // namespace qv

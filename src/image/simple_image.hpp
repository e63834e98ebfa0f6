// The SimpleImage object: fields, construction, attributes, copy, pickling refusal.
#pragma once

#include "interop/function.hpp"

#include <cstdint>

namespace qv {

struct ImageObject {
    PyObject_HEAD
    int32_t width;
    int32_t height;
    PyObject* pixels;       // bytearray or None
    PyObject* alpha;
    PyObject* png_chunks;
    PyObject* png_filters;
    PyObject* bmp_header;
};

inline ImageObject* as_image(PyObject* obj) { return reinterpret_cast<ImageObject*>(obj); }

// The constructor's work on bound arguments (width, height, pixels, alpha, png_chunks,
// bmp_header, png_filters). With `adopt_unshared`, an argument that no one else references
// is stored instead of copied: `open` hands over the decoder's new buffers this way.
Ref new_image(PyTypeObject* type, PyObject* const* args, bool adopt_unshared);

// The buffer export: `_pixels` as height x width x 3 unsigned bytes, writable, in place.
int image_getbuffer(PyObject* obj, Py_buffer* view, int flags);
void image_releasebuffer(PyObject* obj, Py_buffer* view);

// Creates the class (once per module). New reference.
PyTypeObject* make_image_type(PyObject* module);

// Methods, bound into the class by the module body.
PyObject* image_copy(const Call& call);
PyObject* image_reduce(const Call& call);
PyObject* image_setstate(const Call& call);
PyObject* image_get_pixel(const Call& call);
PyObject* image_put_pixel(const Call& call);
PyObject* image_stream_to_image(const Call& call);
PyObject* image_open(const Call& call);
PyObject* image_save(const Call& call);
PyObject* image_save_bmp(const Call& call);

}  // namespace qv

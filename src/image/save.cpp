// Saving: save() picks the writer from what the image kept; saveBmp() always writes a BMP.
#include "bmp/bmp_api.hpp"
#include "image/simple_image.hpp"
#include "png/png_api.hpp"

namespace qv {

namespace {

// Calls a writer with the image's fields as held (not copies) and width/height as ints.
template <size_t N>
PyObject* call_writer(const Call& call, Impl writer, PyObject* const (&fields)[N])
{
    static_assert(4 + N <= static_cast<size_t>(kMaxParams), "more writer arguments than BoundArgs holds");
    ImageObject* self = as_image(call.self);
    Ref width = Ref::consume(PyLong_FromLong(self->width));
    Ref height = Ref::consume(PyLong_FromLong(self->height));
    if (!width || !height) return nullptr;
    BoundArgs args = {call.args[0], width.get(), height.get(), self->pixels};
    Py_ssize_t n = 4;
    for (PyObject* field : fields) args[n++] = field;
    // Hold the fields: a writer may run Python code that reassigns them.
    Ref held[kMaxParams];
    for (Py_ssize_t i = 0; i < n; ++i) held[i] = Ref::own(args[i]);
    return writer(Call{call.module, nullptr, args});
}

}  // namespace

PyObject* image_save(const Call& call)
{
    ImageObject* self = as_image(call.self);
    if (self->png_chunks != Py_None) {
        return call_writer(call, write_png_with_chunks, {self->alpha, self->png_chunks, self->png_filters});
    }
    if (self->bmp_header != Py_None) return call_writer(call, write_bmp, {self->bmp_header});
    return call_writer(call, write_png, {self->alpha, self->png_filters});
}

PyObject* image_save_bmp(const Call& call)
{
    return call_writer(call, write_bmp, {as_image(call.self)->bmp_header});
}

}  // namespace qv

#include "image/simple_image.hpp"

#include "interop/errors.hpp"
#include "interop/ints.hpp"
#include "interop/module_state.hpp"

namespace qv {

namespace {

const char kPixelLengthMismatch[] = "Pixel data length does not match image dimensions";
const char kAlphaLengthMismatch[] = "Alpha channel length does not match image dimensions";
const char kFilterCountMismatch[] = "PNG filter count does not match image height";

const Param kConstructorParams[] = {
    {.name = "width"}, {.name = "height"}, {.name = "pixels"},
    {.name = "alpha", .required = false}, {.name = "png_chunks", .required = false},
    {.name = "bmp_header", .required = false}, {.name = "png_filters", .required = false},
};
const Signature kConstructor = {"__cinit__", kConstructorParams};

// True when len(obj) equals `expected`; `expected` empty means the size overflowed 32 bits,
// which no buffer can satisfy. False with the error set when the length is unknown.
bool has_length(PyObject* obj, std::optional<int32_t> expected, bool* matches)
{
    const Py_ssize_t length = PyObject_Size(obj);
    if (length < 0) return false;
    *matches = expected.has_value() && length == *expected;
    return true;
}

// Replaces a field, dropping the old value last (its destructor may run arbitrary code).
void store(PyObject** field, PyObject* value)
{
    PyObject* old = *field;
    *field = Py_NewRef(value);
    Py_XDECREF(old);
}

// An argument that nothing else can see (a new object of exactly the stored type, held only
// by the caller's one reference) may be stored as it is: its copy could not be told apart.
bool unshared(PyObject* obj, PyTypeObject* type, bool adopt)
{
    return adopt && Py_IS_TYPE(obj, type) && Py_REFCNT(obj) == 1;
}

Ref byte_copy(PyObject* obj, bool adopt)
{
    return unshared(obj, &PyByteArray_Type, adopt) ? Ref::own(obj) : Ref::consume(PyByteArray_FromObject(obj));
}

// Construction steps 2 to 8 on a fresh object whose fields hold None.
bool construct(ImageObject* self, PyObject* const* a, bool adopt)
{
    PyObject* pixels = a[2];
    PyObject* alpha = a[3];
    PyObject* png_chunks = a[4];
    PyObject* bmp_header = a[5];
    PyObject* png_filters = a[6];

    int32_t width = 0;
    int32_t height = 0;
    if (!to_int32(a[0], &width) || !to_int32(a[1], &height)) return false;

    bool ok = false;
    if (!has_length(pixels, product_int32(width, height, 3), &ok)) return false;
    if (!ok) return raise_value_error(kPixelLengthMismatch), false;
    self->width = width;
    self->height = height;
    Ref pixel_copy = byte_copy(pixels, adopt);
    if (!pixel_copy) return false;
    store(&self->pixels, pixel_copy.get());

    if (alpha != Py_None) {
        if (!has_length(alpha, product_int32(width, height), &ok)) return false;
        if (!ok) return raise_value_error(kAlphaLengthMismatch), false;
        Ref alpha_copy = byte_copy(alpha, adopt);
        if (!alpha_copy) return false;
        store(&self->alpha, alpha_copy.get());
    }

    if (png_chunks != Py_None) {
        Ref chunk_copy = unshared(png_chunks, &PyList_Type, adopt) ? Ref::own(png_chunks)
                                                                   : Ref::consume(PySequence_List(png_chunks));
        if (!chunk_copy) return false;
        store(&self->png_chunks, chunk_copy.get());
    }

    if (png_filters != Py_None) {
        if (!has_length(png_filters, height, &ok)) return false;
        if (!ok) return raise_value_error(kFilterCountMismatch), false;
        Ref filter_copy = byte_copy(png_filters, adopt);
        if (!filter_copy) return false;
        store(&self->png_filters, filter_copy.get());
    }

    if (bmp_header != Py_None) {
        Ref header_copy = unshared(bmp_header, &PyDict_Type, adopt)
                              ? Ref::own(bmp_header)
                              : Ref::consume(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), bmp_header));
        if (!header_copy) return false;
        store(&self->bmp_header, header_copy.get());
    }
    return true;
}

PyObject* image_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    PyObject* bound[kMaxParams];
    if (!bind_tuple(kConstructor, args, kwargs, bound)) return nullptr;
    return new_image(type, bound, false).release();
}

int image_traverse(PyObject* obj, visitproc visit, void* arg)
{
    ImageObject* self = as_image(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(self->pixels);
    Py_VISIT(self->alpha);
    Py_VISIT(self->png_chunks);
    Py_VISIT(self->png_filters);
    Py_VISIT(self->bmp_header);
    return 0;
}

int image_clear(PyObject* obj)
{
    ImageObject* self = as_image(obj);
    Py_CLEAR(self->pixels);
    Py_CLEAR(self->alpha);
    Py_CLEAR(self->png_chunks);
    Py_CLEAR(self->png_filters);
    Py_CLEAR(self->bmp_header);
    return 0;
}

void image_dealloc(PyObject* obj)
{
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    image_clear(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

// ---- repr -----------------------------------------------------------------------------

// "PNG with N chunks" from the kept chunk list. len() of a hand-assigned object may run
// Python code or fail: the caller holds its own reference to `chunks`, and an ordinary
// failure only leaves the count out, since a repr must not raise on odd field values.
Ref describe_png(PyObject* chunks)
{
    const Py_ssize_t count = PyObject_Size(chunks);
    if (count < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};  // KeyboardInterrupt and the like
        PyErr_Clear();
        return Ref::consume(PyUnicode_FromString("PNG"));
    }
    return Ref::consume(PyUnicode_FromFormat("PNG with %zd chunk%s", count, count == 1 ? "" : "s"));
}

PyObject* image_repr(PyObject* obj)
{
    ImageObject* self = as_image(obj);
    // Everything is read before the one call that may run Python code (len() of the chunk
    // list), which could reassign the fields under us.
    const int32_t width = self->width;
    const int32_t height = self->height;
    const char* mode = self->alpha == Py_None ? "RGB" : "RGBA";
    Ref chunks = Ref::own(self->png_chunks);
    const bool from_bmp = self->bmp_header != Py_None;
    Ref name = Ref::consume(PyType_GetName(Py_TYPE(obj)));
    if (!name) return nullptr;
    Ref origin = chunks.get() != Py_None ? describe_png(chunks.get())
                                         : Ref::consume(PyUnicode_FromString(from_bmp ? "BMP" : "new"));
    if (!origin) return nullptr;
    return PyUnicode_FromFormat("<%U %dx%d %s, %U>", name.get(), static_cast<int>(width), static_cast<int>(height),
                                mode, origin.get());
}

// ---- Attributes ---------------------------------------------------------------------

PyObject* get_width(PyObject* obj, void*) { return PyLong_FromLong(as_image(obj)->width); }
PyObject* get_height(PyObject* obj, void*) { return PyLong_FromLong(as_image(obj)->height); }

int set_dimension(int32_t* field, PyObject* value)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    int32_t converted = 0;
    if (!to_int32(value, &converted)) return -1;
    *field = converted;
    return 0;
}

int set_width(PyObject* obj, PyObject* value, void*) { return set_dimension(&as_image(obj)->width, value); }
int set_height(PyObject* obj, PyObject* value, void*) { return set_dimension(&as_image(obj)->height, value); }

PyObject* get_pixels(PyObject* obj, void*) { return Py_NewRef(as_image(obj)->pixels); }

int set_pixels(PyObject* obj, PyObject* value, void*)
{
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyByteArray_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", Py_TYPE(value)->tp_name);
        return -1;
    }
    store(&as_image(obj)->pixels, value);
    return 0;
}

// The unchecked object fields; `closure` is the field's offset in ImageObject.
PyObject** field_at(PyObject* obj, void* closure)
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + reinterpret_cast<Py_ssize_t>(closure));
}
PyObject* get_field(PyObject* obj, void* closure) { return Py_NewRef(*field_at(obj, closure)); }
int set_field(PyObject* obj, PyObject* value, void* closure)
{
    store(field_at(obj, closure), value != nullptr ? value : Py_None);
    return 0;
}

#define QV_FIELD(member) reinterpret_cast<void*>(offsetof(ImageObject, member))

PyObject* get_size(PyObject* obj, void*)
{
    return Py_BuildValue("(ii)", as_image(obj)->width, as_image(obj)->height);
}

PyGetSetDef image_getset[] = {
    {"width", get_width, set_width, nullptr, nullptr},
    {"height", get_height, set_height, nullptr, nullptr},
    {"_pixels", get_pixels, set_pixels, nullptr, nullptr},
    {"_alpha", get_field, set_field, nullptr, QV_FIELD(alpha)},
    {"_png_chunks", get_field, set_field, nullptr, QV_FIELD(png_chunks)},
    {"_png_filters", get_field, set_field, nullptr, QV_FIELD(png_filters)},
    {"_bmp_header", get_field, set_field, nullptr, QV_FIELD(bmp_header)},
    {"size", get_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QV_FIELD

const char kImageDoc[] =
    "Minimal RGB image helper with an optional alpha plane, PNG and BMP codecs, and "
    "round-trip preservation of the data kept from the file it was opened from.";

PyType_Slot image_slots[] = {
    {Py_tp_doc, const_cast<char*>(kImageDoc)},
    {Py_tp_new, reinterpret_cast<void*>(image_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(image_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(image_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(image_clear)},
    {Py_tp_getset, image_getset},
    {Py_tp_repr, reinterpret_cast<void*>(image_repr)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(image_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(image_releasebuffer)},
    {0, nullptr},
};

PyType_Spec image_spec = {
    "Quorvex.simpleImage_ext.SimpleImage",
    sizeof(ImageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    image_slots,
};

// obj[:], the host's full-slice copy.
Ref full_slice(PyObject* obj)
{
    Ref everything = Ref::consume(PySlice_New(nullptr, nullptr, nullptr));
    if (!everything) return {};
    return Ref::consume(PyObject_GetItem(obj, everything.get()));
}

Ref slice_or_none(PyObject* obj) { return obj == Py_None ? Ref::own(Py_None) : full_slice(obj); }

}  // namespace

Ref new_image(PyTypeObject* type, PyObject* const* args, bool adopt_unshared)
{
    Ref obj = Ref::consume(type->tp_alloc(type, 0));
    if (!obj) return {};
    ImageObject* self = as_image(obj.get());
    self->pixels = Py_NewRef(Py_None);
    self->alpha = Py_NewRef(Py_None);
    self->png_chunks = Py_NewRef(Py_None);
    self->png_filters = Py_NewRef(Py_None);
    self->bmp_header = Py_NewRef(Py_None);
    if (!construct(self, args, adopt_unshared)) return {};
    return obj;
}

PyTypeObject* make_image_type(PyObject* module)
{
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &image_spec, nullptr));
}

PyObject* image_copy(const Call& call)
{
    ImageObject* self = as_image(call.self);
    Ref alpha_copy = slice_or_none(self->alpha);
    if (!alpha_copy) return nullptr;
    Ref chunk_copy = slice_or_none(self->png_chunks);
    if (!chunk_copy) return nullptr;
    Ref filter_copy = slice_or_none(self->png_filters);
    if (!filter_copy) return nullptr;
    Ref bmp_copy = self->bmp_header == Py_None
                       ? Ref::own(Py_None)
                       : Ref::consume(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), self->bmp_header));
    if (!bmp_copy) return nullptr;
    Ref pixel_copy = full_slice(self->pixels);
    if (!pixel_copy) return nullptr;
    PyObject* base = reinterpret_cast<PyObject*>(state_of(call.module)->image_type);
    return PyObject_CallFunction(base, "iiOOOOO", self->width, self->height, pixel_copy.get(), alpha_copy.get(),
                                 chunk_copy.get(), bmp_copy.get(), filter_copy.get());
}

PyObject* image_reduce(const Call&)
{
    return raise_type_error("no default __reduce__ due to non-trivial __cinit__");
}

PyObject* image_setstate(const Call&)
{
    return raise_type_error("no default __reduce__ due to non-trivial __cinit__");
}

}  // namespace qv

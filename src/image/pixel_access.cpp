// getPixel / putPixel: three bytes of the image's own pixel buffer, read or written in place.
#include "image/simple_image.hpp"
#include "interop/errors.hpp"
#include "interop/ints.hpp"
#include "interop/unpack.hpp"

#include <atomic>

namespace qv {

namespace {

const char kOutOfBounds[] = "Pixel coordinate out of bounds";

// Past any buffer that can exist; its three channel offsets still fit the index type.
constexpr long long kUnreachableOffset = PY_SSIZE_T_MAX - 2;

// Where a pixel's colour starts. Plain ints take the native path (`offset`); anything else
// (floats, big ints, int subclasses) goes through the host's own comparisons and
// arithmetic, so its errors are the host's (`index` holds the host's index object).
struct PixelIndex {
    bool native = false;
    long long offset = 0;
    Ref index;
};

// An exact int that fits a machine word, read without running any Python code.
inline bool small_int(PyObject* obj, long long* out)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        return true;
    }
#else
    // No compact-value read before 3.12; an exact int still converts without running Python.
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        *out = PyLong_AsLongLongAndOverflow(obj, &overflow);
        return overflow == 0;
    }
#endif
    return false;
}

bool plain_int(PyObject* obj, long long* out)
{
    if (small_int(obj, out)) return true;
    if (!PyLong_CheckExact(obj) && !PyBool_Check(obj)) return false;
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0 && !(*out == -1 && PyErr_Occurred());
}

// Python's `low <= value` / `value < high`, value as given.
int host_compare(PyObject* a, PyObject* b, int op)
{
    Ref result = Ref::consume(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

bool locate_generic(ImageObject* self, PyObject* x, PyObject* y, PixelIndex* out)
{
    Ref zero = Ref::consume(PyLong_FromLong(0));
    Ref width = Ref::consume(PyLong_FromLong(self->width));
    Ref height = Ref::consume(PyLong_FromLong(self->height));
    if (!zero || !width || !height) return false;
    const struct { PyObject* a; PyObject* b; int op; } tests[] = {
        {zero.get(), x, Py_LE}, {x, width.get(), Py_LT}, {zero.get(), y, Py_LE}, {y, height.get(), Py_LT},
    };
    for (const auto& t : tests) {
        const int inside = host_compare(t.a, t.b, t.op);
        if (inside < 0) return false;
        if (inside == 0) return raise_value_error(kOutOfBounds), false;
    }
    Ref three = Ref::consume(PyLong_FromLong(3));
    Ref row = Ref::consume(PyNumber_Multiply(y, width.get()));
    if (!three || !row) return false;
    Ref cell = Ref::consume(PyNumber_Add(row.get(), x));
    if (!cell) return false;
    out->index = Ref::consume(PyNumber_Multiply(cell.get(), three.get()));
    return static_cast<bool>(out->index);
}

// Steps shared by both methods: the tuple's two items, then the bounds test.
bool locate(ImageObject* self, PyObject* coords, PixelIndex* out)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(coords);
    if (n != 2) {
        if (n > 2) raise_too_many_values(2);
        else raise_need_more_values(n);
        return false;
    }
    PyObject* x = PyTuple_GET_ITEM(coords, 0);
    PyObject* y = PyTuple_GET_ITEM(coords, 1);
    long long xv = 0;
    long long yv = 0;
    if (plain_int(x, &xv) && plain_int(y, &yv)) {
        if (xv < 0 || xv >= self->width || yv < 0 || yv >= self->height) {
            return raise_value_error(kOutOfBounds), false;
        }
        // Fields set by hand can describe far more pixels than any buffer holds: an offset
        // that would pass every buffer is pinned past it instead of overflowing.
        const long long cell = yv * self->width + xv;  // < 2^62 + 2^31
        out->native = true;
        out->offset = cell < kUnreachableOffset / 3 ? cell * 3 : kUnreachableOffset;
        return true;
    }
    if (PyErr_Occurred()) return false;
    return locate_generic(self, x, y, out);
}

// The host's IndexError for a byte past the buffer: the fields can be desynchronised by hand.
bool byte_in_range(PyObject* pixels, long long offset)
{
    if (offset < PyByteArray_GET_SIZE(pixels)) return true;
    PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
    return false;
}

// pixels[index + k], through the host unless the native path applies.
Ref read_channel(PyObject* pixels, const PixelIndex& at, int k)
{
    if (at.native && PyByteArray_CheckExact(pixels)) {
        if (!byte_in_range(pixels, at.offset + k)) return {};
        return Ref::consume(PyLong_FromLong(reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels))[at.offset + k]));
    }
    Ref index = at.native ? Ref::consume(PyLong_FromLongLong(at.offset + k)) : Ref::own(at.index.get());
    if (!index) return {};
    if (k != 0) {
        Ref step = Ref::consume(PyLong_FromLong(k));
        if (!step) return {};
        index = Ref::consume(PyNumber_Add(index.get(), step.get()));
        if (!index) return {};
    }
    return Ref::consume(PyObject_GetItem(pixels, index.get()));
}

bool write_channel(PyObject* pixels, const PixelIndex& at, int k, int value)
{
    if (at.native && PyByteArray_CheckExact(pixels)) {
        if (!byte_in_range(pixels, at.offset + k)) return false;
        reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels))[at.offset + k] = static_cast<unsigned char>(value);
        return true;
    }
    Ref index = at.native ? Ref::consume(PyLong_FromLongLong(at.offset + k)) : Ref::own(at.index.get());
    Ref step = Ref::consume(PyLong_FromLong(k));
    Ref byte = Ref::consume(PyLong_FromLong(value));
    if (!index || !step || !byte) return false;
    index = Ref::consume(PyNumber_Add(index.get(), step.get()));
    return index && PyObject_SetItem(pixels, index.get(), byte.get()) == 0;
}

// The pixel's first byte in an exact bytearray, when every step can run natively; null
// otherwise (the host-level path then handles it, errors included).
uint8_t* native_pixel(ImageObject* self, const PixelIndex& at)
{
    PyObject* pixels = self->pixels;
    if (!at.native || !PyByteArray_CheckExact(pixels) || at.offset + 3 > PyByteArray_GET_SIZE(pixels)) return nullptr;
    return reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels)) + at.offset;
}

// The host's int object for a channel value, new reference; null with the error set. A load
// instead of a call: the table keeps the objects for 0..255, which the runtime allocates
// statically, shares between interpreters and never frees (immortal from 3.12), so every
// entry is a constant, filled by whichever call needs it first.
inline PyObject* channel_int(uint8_t v)
{
    static std::atomic<PyObject*> table[256];
    PyObject* obj = table[v].load(std::memory_order_relaxed);
    if (obj == nullptr) {
        obj = PyLong_FromLong(v);  // the reference is the table's, for good
        if (obj == nullptr) return nullptr;
        table[v].store(obj, std::memory_order_relaxed);
    }
    return Py_NewRef(obj);
}

// (r, g, b) as a new tuple. The bytes are read before the tuple is made: up to 3.11 making it
// can run the collector, whose finalizers may replace the image's buffer and free the one `p`
// points into.
PyObject* rgb_tuple(const uint8_t* p)
{
    const uint8_t r = p[0];
    const uint8_t g = p[1];
    const uint8_t b = p[2];
    Ref out = Ref::consume(PyTuple_New(3));
    if (!out) return nullptr;
    // A null channel leaves the tuple with empty slots, which its deallocation allows.
    PyObject* channel = channel_int(r);
    if (channel == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), 0, channel);
    if ((channel = channel_int(g)) == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), 1, channel);
    if ((channel = channel_int(b)) == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), 2, channel);
    return out.release();
}

// (r, g, b) as an exact tuple or list of exact word-sized ints: nothing in the host can run
// while converting them, so the three bytes may be stored at once.
bool plain_channels(PyObject* value, uint8_t* out)
{
    if (!PyTuple_CheckExact(value) && !PyList_CheckExact(value)) return false;
    if (PySequence_Fast_GET_SIZE(value) != 3) return false;
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (int k = 0; k < 3; ++k) {
        long long v = 0;
        if (!small_int(items[k], &v)) return false;
        out[k] = static_cast<uint8_t>(static_cast<unsigned long long>(v) & 0xFFu);
    }
    return true;
}

// The common call in one pass, before any of the steps: two word-sized exact ints inside
// the image, over an exact bytearray that holds the pixel. Nothing here calls into the host
// or fails; null sends the call down the stepwise path, which raises whatever applies.
inline uint8_t* direct_pixel(ImageObject* self, PyObject* coords)
{
    if (PyTuple_GET_SIZE(coords) != 2) return nullptr;
    long long x = 0;
    long long y = 0;
    if (!small_int(PyTuple_GET_ITEM(coords, 0), &x) || !small_int(PyTuple_GET_ITEM(coords, 1), &y)) return nullptr;
    if (x < 0 || x >= self->width || y < 0 || y >= self->height) return nullptr;
    PyObject* pixels = self->pixels;
    if (!PyByteArray_CheckExact(pixels)) return nullptr;
    // The fields may have been desynchronised by hand: only a pixel that the buffer holds.
    const long long cell = y * self->width + x;  // < 2^62 + 2^31
    if (cell >= PyByteArray_GET_SIZE(pixels) / 3) return nullptr;
    return reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels)) + cell * 3;
}

// Out of line, so that the direct path stays small.
[[gnu::noinline]] PyObject* get_pixel_stepwise(ImageObject* self, PyObject* coords)
{
    PixelIndex at;
    if (!locate(self, coords, &at)) return nullptr;
    if (const uint8_t* p = native_pixel(self, at)) return rgb_tuple(p);
    Ref pixels = Ref::own(self->pixels);
    Ref r = read_channel(pixels.get(), at, 0);
    if (!r) return nullptr;
    Ref g = read_channel(pixels.get(), at, 1);
    if (!g) return nullptr;
    Ref b = read_channel(pixels.get(), at, 2);
    if (!b) return nullptr;
    return PyTuple_Pack(3, r.get(), g.get(), b.get());
}

[[gnu::noinline]] PyObject* put_pixel_stepwise(ImageObject* self, PyObject* coords, PyObject* value)
{
    PixelIndex at;
    if (!locate(self, coords, &at)) return nullptr;
    uint8_t rgb[3];
    if (plain_channels(value, rgb)) {
        if (uint8_t* p = native_pixel(self, at)) {
            p[0] = rgb[0];
            p[1] = rgb[1];
            p[2] = rgb[2];
            Py_RETURN_NONE;
        }
    }
    Ref channels[3];
    if (!unpack_exact(value, 3, channels)) return nullptr;
    for (int k = 0; k < 3; ++k) {
        const int byte = int_low_byte(channels[k].get());
        if (byte < 0) return nullptr;
        // Converting a channel may run Python code that replaces the buffer: use the current one.
        Ref pixels = Ref::own(self->pixels);
        if (!write_channel(pixels.get(), at, k, byte)) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* image_get_pixel(const Call& call)
{
    ImageObject* self = as_image(call.self);
    if (const uint8_t* p = direct_pixel(self, call.args[0])) return rgb_tuple(p);
    return get_pixel_stepwise(self, call.args[0]);
}

PyObject* image_put_pixel(const Call& call)
{
    ImageObject* self = as_image(call.self);
    uint8_t rgb[3];
    if (uint8_t* p = direct_pixel(self, call.args[0]); p != nullptr && plain_channels(call.args[1], rgb)) {
        p[0] = rgb[0];
        p[1] = rgb[1];
        p[2] = rgb[2];
        Py_RETURN_NONE;
    }
    return put_pixel_stepwise(self, call.args[0], call.args[1]);
}

}  // namespace qv

// Reading an uncompressed 24-bit BMP with a BITMAPINFOHEADER into the decoder result: the
// stream's reads and seeks here, every check and the row placing in the core.
#include "bmp/bmp_api.hpp"
#include "codec/bmp/bmp_reader.hpp"
#include "interop/decoded_result.hpp"
#include "interop/status_error.hpp"

#include <algorithm>
#include <utility>

namespace qv {

namespace {

using bmp::FileHeader;
using bmp::InfoFields;
using bmp::PixelLayout;

Ref read_from(PyObject* stream, int64_t size)
{
    return Ref::consume(PyObject_CallMethod(stream, "read", "n", static_cast<Py_ssize_t>(size)));
}

bool seek_to(PyObject* stream, int64_t offset)
{
    return static_cast<bool>(Ref::consume(PyObject_CallMethod(stream, "seek", "L", static_cast<long long>(offset))));
}

ByteSpan span_of(const BufferView& view) { return {view.data(), static_cast<size_t>(view.size())}; }

// A field the native check refused, as the host's struct.unpack refuses it. It is given the
// bytes seen (the one export of the field), so the error is struct's for exactly those
// bytes; only a field that exported nothing goes to struct as it is, for struct's own error.
bool raise_field_error(PyObject* module, const Status& status, PyObject* field, const BufferView* view)
{
    const char* format = status.code == Code::kBmpSizeField ? "<I" : "<iiHHIIiiII";
    if (view == nullptr) return raise_host_unpack(module, format, field);
    Ref seen = Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view->data()), view->size()));
    return seen && raise_host_unpack(module, format, seen.get());
}

// Header steps up to the info fields. False with the error set.
bool read_headers(PyObject* module, PyObject* stream, FileHeader* file, InfoFields* info)
{
    Ref head = read_from(stream, bmp::kFileHeaderSize);
    BufferView view;
    if (!head || !view.acquire(head.get(), PyBUF_SIMPLE)) return false;
    if (Status s = bmp::read_file_header(span_of(view), file); !s.ok()) return raise_status(module, s);

    Ref size_field = read_from(stream, 4);
    if (!size_field || !view.acquire(size_field.get(), PyBUF_SIMPLE)) return false;
    if (Status s = bmp::read_info_size(span_of(view)); !s.ok()) {
        if (s.code == Code::kBmpSizeField) return raise_field_error(module, s, size_field.get(), &view);
        return raise_status(module, s);
    }

    Ref fields = read_from(stream, bmp::kInfoFieldsSize);
    if (!fields) return false;
    // Data that exports no buffer is the struct module's to refuse.
    const bool exported = view.acquire(fields.get(), PyBUF_SIMPLE);
    if (!exported) PyErr_Clear();
    const Status s = bmp::read_info_fields(exported ? span_of(view) : ByteSpan{}, info);
    if (s.code == Code::kBmpInfoFields) return raise_field_error(module, s, fields.get(), exported ? &view : nullptr);
    return s.ok() || raise_status(module, s);
}

// Whether the stream holds the last byte of the last row. A file system refuses to seek past
// the largest file it can hold (EINVAL): no row can be there, as from bytes. Any other error
// of the stream passes through. 1 or 0; -1 with the error set.
int rows_present(PyObject* stream, const PixelLayout& layout)
{
    uint64_t last = 0;
    if (!bmp::last_stored_byte(layout, &last)) return 0;
    if (!seek_to(stream, static_cast<int64_t>(last))) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref byte = read_from(stream, 1);
    BufferView view;
    if (!byte || !view.acquire(byte.get(), PyBUF_SIMPLE)) return -1;
    return view.size() >= 1 ? 1 : 0;
}

// A negative width with rows: the host's bytearray() refuses the negative size itself (with
// its OverflowError beyond 64 bits).
Ref raise_negative_size(const PixelLayout& layout)
{
    Ref rows_times_width = Ref::consume(PyLong_FromLongLong(layout.width * layout.rows));
    Ref three = Ref::consume(PyLong_FromLong(3));
    if (!rows_times_width || !three) return {};
    Ref size = Ref::consume(PyNumber_Multiply(rows_times_width.get(), three.get()));
    if (!size) return {};
    return Ref::consume(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), size.get()));
}

// Reads every pixel row from the pixel offset on into the pixel buffer `buffer`, a few
// large reads. False with the error set.
bool read_rows(PyObject* module, PyObject* stream, const PixelLayout& layout, PyObject* buffer)
{
    const int64_t per_read = bmp::rows_per_read(layout);
    for (int64_t row = 0; row < layout.rows; row += per_read) {
        const int64_t rows = std::min(per_read, layout.rows - row);
        Ref block = read_from(stream, rows * layout.stride);
        BufferView view;
        if (!block || !view.acquire(block.get(), PyBUF_SIMPLE)) return false;
        // The buffer's address is taken after the read and its export, which run the
        // stream's code; the buffer is new and held only here, so its size cannot change.
        auto* pixels = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(buffer));
        if (Status s = bmp::place_rows(span_of(view), row, rows, layout, pixels); !s.ok()) {
            return raise_status(module, s);
        }
    }
    return true;
}

Ref read_pixels(PyObject* module, PyObject* stream, const PixelLayout& layout)
{
    if (layout.stored_bytes > 0) {
        const int present = rows_present(stream, layout);
        if (present < 0) return {};
        if (present == 0) return raise_status(module, Status::of(Code::kBmpIncomplete)), Ref{};
    }
    if (Status s = bmp::check_sizes(layout); !s.ok()) return raise_status(module, s), Ref{};

    Ref pixels = Ref::consume(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(layout.pixel_bytes())));
    if (!pixels) return {};
    if (!seek_to(stream, layout.pixel_offset)) return {};
    // Zero-width rows hold nothing to read.
    if (layout.stored_bytes > 0 && !read_rows(module, stream, layout, pixels.get())) return {};
    return pixels;
}

}  // namespace

bool load_bmp(PyObject* module, PyObject* stream, DecodeResult* out)
{
    FileHeader file{};
    InfoFields info{};
    if (!read_headers(module, stream, &file, &info)) return false;
    PixelLayout layout;
    if (Status s = bmp::pixel_layout(file, info, &layout); !s.ok()) {
        if (raise_negative_size(layout)) PyErr_SetString(PyExc_SystemError, "bytearray() took a negative size");
        return false;
    }
    Ref pixels = read_pixels(module, stream, layout);
    if (!pixels) return false;
    out->image = bmp::decoded_image(info, layout, reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get())));
    out->buffers.pixels = std::move(pixels);
    return true;
}

}  // namespace qv

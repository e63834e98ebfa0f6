// Reading an uncompressed 24-bit BMP with a BITMAPINFOHEADER into the decoder result.
#include "bmp/bmp_api.hpp"
#include "codec/bmp/bmp_format.hpp"
#include "image/module_state.hpp"
#include "interop/errors.hpp"

#include <algorithm>

namespace qv {

namespace {

using bmp::FileHeader;
using bmp::InfoFields;

const char kUnsupportedHeader[] = "Unsupported BMP header";
const char kCorruptedInfoHeader[] = "Corrupted BMP DIB header";
const char kOnlyInfoHeader[] = "Only BITMAPINFOHEADER BMP files are supported";
const char kOnly24Bit[] = "Only uncompressed 24-bit BMP files are supported";
const char kIncompletePixels[] = "Incomplete BMP pixel data";

// Pixel rows are fetched many at a time, so a large image costs a few reads, not one a row.
constexpr int64_t kBlockBytes = int64_t{2} << 20;
// Rows beyond this size are read in at least two blocks. A single block would be a little
// larger than the pixel buffer; the C allocator then maps fresh pages for it on every open
// (its mapping threshold follows the largest block freed), and faulting them in costs more
// than the copy. Half-size blocks are served from memory freed by earlier reads.
constexpr int64_t kSplitAbove = int64_t{128} << 10;

Ref read_from(PyObject* stream, int64_t size)
{
    return Ref::consume(PyObject_CallMethod(stream, "read", "n", static_cast<Py_ssize_t>(size)));
}

bool seek_to(PyObject* stream, int64_t offset)
{
    return static_cast<bool>(Ref::consume(PyObject_CallMethod(stream, "seek", "L", static_cast<long long>(offset))));
}

// Data that does not fit the struct format: the host's struct.unpack raises its own error.
Ref raise_unpack_error(PyObject* module, const char* format, PyObject* data, Py_ssize_t expected)
{
    ModuleState* st = state_of(module);
    if (Ref::consume(PyObject_CallMethod(st->struct_module, "unpack", "sO", format, data))) {
        PyErr_Format(st->struct_error, "unpack requires a buffer of %zd bytes", expected);
    }
    return {};
}

// Header steps up to the info fields. False with the error set.
bool read_headers(PyObject* module, PyObject* stream, FileHeader* file, InfoFields* info)
{
    Ref head = read_from(stream, bmp::kFileHeaderSize);
    BufferView view;
    if (!head || !view.acquire(head.get(), PyBUF_SIMPLE)) return false;
    if (view.size() < static_cast<Py_ssize_t>(bmp::kFileHeaderSize) || view.data()[0] != 'B' ||
        view.data()[1] != 'M') {
        return raise_value_error(kUnsupportedHeader), false;
    }
    *file = bmp::parse_file_header(view.data());

    Ref size_field = read_from(stream, 4);
    if (!size_field || !view.acquire(size_field.get(), PyBUF_SIMPLE)) return false;
    if (view.size() < 4) return raise_value_error(kCorruptedInfoHeader), false;
    if (view.size() > 4) return raise_unpack_error(module, "<I", size_field.get(), 4), false;
    if (bmp::read_le32(view.data()) != bmp::kInfoHeaderSize) return raise_value_error(kOnlyInfoHeader), false;

    // No length check of its own: a short read is the struct module's error.
    Ref fields = read_from(stream, bmp::kInfoFieldsSize);
    if (!fields) return false;
    if (!view.acquire(fields.get(), PyBUF_SIMPLE) || view.size() != static_cast<Py_ssize_t>(bmp::kInfoFieldsSize)) {
        view.reset();
        PyErr_Clear();
        return raise_unpack_error(module, "<iiHHIIiiII", fields.get(), bmp::kInfoFieldsSize), false;
    }
    *info = bmp::parse_info_fields(view.data());
    if (info->planes != bmp::kPlanes || info->bit_count != bmp::kBitCount || info->compression != bmp::kNoCompression) {
        return raise_value_error(kOnly24Bit), false;
    }
    return true;
}

// Whether the stream holds the last byte of the last row. Asked before the pixel buffer is
// allocated, so a small file that claims a huge image is refused without allocating it.
// A file system refuses to seek past the largest file it can hold (EINVAL): no row can be
// there, as from bytes. Any other error of the stream passes through. 1 or 0; -1 with the
// error set.
int rows_present(PyObject* stream, uint32_t pixel_offset, uint64_t stored_bytes)
{
    const uint64_t last = uint64_t{pixel_offset} + stored_bytes - 1;
    if (last > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return 0;  // past any seekable position
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

// A negative width with rows: the host's bytearray() refuses the negative size itself.
Ref raise_negative_size(int64_t width, int64_t abs_height)
{
    Ref rows_times_width = Ref::consume(PyLong_FromLongLong(width * abs_height));
    Ref three = Ref::consume(PyLong_FromLong(3));
    if (!rows_times_width || !three) return {};
    Ref size = Ref::consume(PyNumber_Multiply(rows_times_width.get(), three.get()));
    if (!size) return {};
    return Ref::consume(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), size.get()));
}

// Copies `rows` stored rows, `first_row` being the file's row index of the first of them,
// into their places in the top-down RGB buffer.
void place_rows(const uint8_t* block, int64_t first_row, int64_t rows, int64_t stride, const InfoFields& info,
                int64_t abs_height, uint8_t* pixels)
{
    const int64_t row_bytes = int64_t{info.width} * 3;
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t row = first_row + r;
        const int64_t target = info.height > 0 ? abs_height - 1 - row : row;
        bmp::copy_row_swapping_red_blue(block + r * stride, pixels + target * row_bytes,
                                        static_cast<size_t>(info.width));
    }
}

// Reads every pixel row from pixel_offset on into the pixel buffer `buffer`. False with the error set.
bool read_rows(PyObject* stream, const InfoFields& info, int64_t abs_height, int64_t stride, PyObject* buffer)
{
    int64_t rows_per_block = std::max<int64_t>(1, kBlockBytes / stride);
    if (abs_height * stride > kSplitAbove) rows_per_block = std::min(rows_per_block, (abs_height + 1) / 2);
    for (int64_t row = 0; row < abs_height;) {
        const int64_t rows = std::min(rows_per_block, abs_height - row);
        Ref block = read_from(stream, rows * stride);
        BufferView view;
        if (!block || !view.acquire(block.get(), PyBUF_SIMPLE)) return false;
        // Every row, the last one with its padding too, must be there in full.
        if (view.size() < rows * stride) return raise_value_error(kIncompletePixels), false;
        // The buffer's address is taken after the read and its export, which run the
        // stream's code; the buffer is new and held only here, so its size cannot change.
        auto* pixels = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(buffer));
        place_rows(view.data(), row, rows, stride, info, abs_height, pixels);
        row += rows;
    }
    return true;
}

Ref read_pixels(PyObject* stream, const FileHeader& file, const InfoFields& info)
{
    const int64_t width = info.width;
    const int64_t abs_height = info.height < 0 ? -int64_t{info.height} : int64_t{info.height};
    if (width < 0 && abs_height != 0) return raise_negative_size(width, abs_height);

    // A negative width without rows reads nothing and keeps an empty buffer.
    const int64_t stride = width < 0 ? 0 : bmp::row_stride(width);
    const uint64_t stored_bytes = static_cast<uint64_t>(stride) * static_cast<uint64_t>(abs_height);  // < 2^64
    if (stored_bytes > 0) {
        const int present = rows_present(stream, file.pixel_offset, stored_bytes);
        if (present < 0) return {};
        if (present == 0) return raise_value_error(kIncompletePixels), Ref{};
    }
    if (!bmp::fits_int32(stride) || abs_height > INT32_MAX || width * abs_height > INT32_MAX / 3) {
        PyErr_SetString(PyExc_OverflowError, bmp::kTooLarge);
        return {};
    }

    Ref pixels = Ref::consume(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(width * abs_height * 3)));
    if (!pixels) return {};
    if (!seek_to(stream, file.pixel_offset)) return {};
    // Zero-width rows hold nothing to read.
    if (stored_bytes > 0) {
        if (!read_rows(stream, info, abs_height, stride, pixels.get())) return {};
    }
    return pixels;
}

// The fields a BMP keeps for writing it back, in the order the writer asks for them.
Ref header_record(const InfoFields& info)
{
    Ref record = Ref::consume(PyDict_New());
    if (!record) return {};
    const std::pair<const char*, Ref> entries[] = {
        {"xppm", Ref::consume(PyLong_FromLong(info.xppm))},
        {"yppm", Ref::consume(PyLong_FromLong(info.yppm))},
        {"clrUsed", Ref::consume(PyLong_FromUnsignedLong(info.clr_used))},
        {"clrImportant", Ref::consume(PyLong_FromUnsignedLong(info.clr_important))},
    };
    for (const auto& [key, value] : entries) {
        if (!value || PyDict_SetItemString(record.get(), key, value.get()) < 0) return {};
    }
    return record;
}

}  // namespace

Ref load_bmp(PyObject* module, PyObject* stream)
{
    FileHeader file{};
    InfoFields info{};
    if (!read_headers(module, stream, &file, &info)) return {};
    Ref pixels = read_pixels(stream, file, info);
    if (!pixels) return {};
    Ref record = header_record(info);
    if (!record) return {};
    const int32_t abs_height = info.height < 0 ? -info.height : info.height;  // fits: checked with the sizes
    return Ref::consume(Py_BuildValue("(iiOiOOOO)", info.width, abs_height, pixels.get(), 3, Py_None, Py_None,
                                      record.get(), Py_None));
}

}  // namespace qv

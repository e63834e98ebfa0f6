// Decoding a PNG stream: signature, chunk loop, header checks, then a streaming inflate that
// rebuilds each row straight into the new pixel buffer and alpha plane.
#include "image/module_state.hpp"
#include "interop/errors.hpp"
#include "png/chunk_reader.hpp"
#include "png/image_header.hpp"
#include "png/memory_chunk_reader.hpp"
#include "png/png_api.hpp"
#include "png/row_inflater.hpp"

#include <zlib.h>

#include <memory>
#include <new>

namespace qv {

namespace {

using png::ImageHeader;
using png::InflateOutcome;

// Deflate turns one compressed byte into at most 1032 bytes (a 258-byte match in 2 bits),
// so compressed data of n bytes can never inflate to more than 1032 * n.
constexpr uint64_t kMaxDeflateRatio = 1032;

// What the chunk loop gathers.
struct ChunkLoop {
    ImageHeader header;
    Ref records = Ref::consume(PyList_New(0));   // the chunk record list
    Ref idat = Ref::consume(PyList_New(0));      // IDAT data objects as read, in order
};

Ref make_record(const png::ChunkRead& chunk, bool keep_data)
{
    Ref length = Ref::consume(PyLong_FromUnsignedLong(chunk.length));
    if (!length) return {};
    return Ref::consume(PyTuple_Pack(3, chunk.type.get(), keep_data ? chunk.data.get() : Py_None, length.get()));
}

// The chunk loop over a source of chunks (`next_chunk`). False with the error set.
template <typename NextChunk>
bool read_chunks_with(PyObject* module, ChunkLoop* loop, NextChunk next_chunk)
{
    if (!loop->records || !loop->idat) return false;
    for (;;) {
        png::ChunkRead chunk;
        if (!next_chunk(&chunk)) return false;
        if (chunk.end) return true;
        if (chunk.is("IHDR") && !png::parse_ihdr(module, chunk.data.get(), &loop->header)) return false;
        const bool is_idat = chunk.is("IDAT");
        if (is_idat && PyList_Append(loop->idat.get(), chunk.data.get()) < 0) return false;
        Ref record = make_record(chunk, !is_idat);
        if (!record || PyList_Append(loop->records.get(), record.get()) < 0) return false;
        if (chunk.is("IEND")) return true;
    }
}

// An exact io.BytesIO is read straight from its memory (same results, no call per field and
// no copy of the image data); any other stream through its `read`.
bool read_chunks(PyObject* module, PyObject* stream, ChunkLoop* loop)
{
    if (Py_TYPE(stream) == reinterpret_cast<PyTypeObject*>(state_of(module)->bytesio_type)) {
        png::MemoryChunkReader reader;
        if (!reader.open(stream)) return false;
        const bool read = read_chunks_with(module, loop, [&](png::ChunkRead* chunk) { return reader.next(chunk); });
        return reader.finish(stream) && read;
    }
    return read_chunks_with(module, loop,
                            [&](png::ChunkRead* chunk) { return png::read_next_chunk(module, stream, chunk); });
}

bool check_signature(PyObject* module, PyObject* stream)
{
    Ref signature = Ref::consume(PyObject_CallMethod(stream, "read", "i", 8));
    if (!signature) return false;
    Ref expected = module_attr(module, "PNG_SIGNATURE");
    if (!expected) return false;
    const int differs = PyObject_RichCompareBool(signature.get(), expected.get(), Py_NE);
    if (differs < 0) return false;
    if (differs) raise_value_error("Unsupported PNG signature");
    return !differs;
}

// Byte views of the IDAT data, held while the GIL is released. A bytes object cannot change;
// any other object is pinned by a buffer view.
class CompressedPieces {
public:
    bool gather(PyObject* idat_list)
    {
        count_ = static_cast<size_t>(PyList_GET_SIZE(idat_list));
        spans_.reset(new (std::nothrow) png::ByteSpan[count_ + 1]);
        views_.reset(new (std::nothrow) BufferView[count_ + 1]);
        if (!spans_ || !views_) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t i = 0; i < count_; ++i) {
            PyObject* piece = PyList_GET_ITEM(idat_list, static_cast<Py_ssize_t>(i));
            if (PyBytes_CheckExact(piece)) {
                spans_[i] = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(piece)),
                             static_cast<size_t>(PyBytes_GET_SIZE(piece))};
                continue;
            }
            if (!views_[i].acquire(piece, PyBUF_SIMPLE)) return false;
            spans_[i] = {views_[i].data(), static_cast<size_t>(views_[i].size())};
        }
        return true;
    }

    std::span<const png::ByteSpan> spans() const { return {spans_.get(), count_}; }

    uint64_t total() const
    {
        uint64_t sum = 0;
        for (size_t i = 0; i < count_; ++i) sum += spans_[i].size;
        return sum;
    }

private:
    size_t count_ = 0;
    std::unique_ptr<png::ByteSpan[]> spans_;
    std::unique_ptr<BufferView[]> views_;
};

// The new output buffers; empty when the data cannot make a valid image.
struct Outputs {
    Ref pixels;
    Ref alpha;
    Ref filters;

    bool allocate(const ImageHeader& header)
    {
        const png::ScanlineLayout layout = header.layout();
        const auto pixel_count = static_cast<Py_ssize_t>(layout.width * layout.height);
        pixels = Ref::consume(PyByteArray_FromStringAndSize(nullptr, pixel_count * 3));
        if (!pixels) return false;
        if (layout.bytes_per_pixel == 4) {
            alpha = Ref::consume(PyByteArray_FromStringAndSize(nullptr, pixel_count));
            if (!alpha) return false;
        }
        filters = Ref::consume(PyByteArray_FromStringAndSize(nullptr, header.height));
        return static_cast<bool>(filters);
    }

    png::RowTargets targets() const
    {
        auto raw = [](const Ref& array) {
            return array ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(array.get())) : nullptr;
        };
        return {raw(pixels), raw(alpha), raw(filters)};
    }
};

bool raise_inflate_failure(PyObject* module, const InflateOutcome& outcome)
{
    using Status = InflateOutcome::Status;
    switch (outcome.status) {
    case Status::Ok:
        return true;
    case Status::NoMemory:
        PyErr_NoMemory();
        return false;
    case Status::ZlibNoMemory:
        PyErr_SetString(PyExc_MemoryError, "Out of memory while decompressing data");
        return false;
    case Status::ZlibError: {
        const char* stage = outcome.while_preparing ? "while preparing to decompress data" : "while decompressing data";
        const char* message = outcome.zlib_message;
        if (message == nullptr && outcome.zlib_code == Z_BUF_ERROR) message = "incomplete or truncated stream";
        if (message == nullptr && outcome.zlib_code == Z_STREAM_ERROR) message = "inconsistent stream state";
        if (message == nullptr && outcome.zlib_code == Z_DATA_ERROR) message = "invalid input data";
        PyObject* error = state_of(module)->zlib_error;
        if (message == nullptr) {
            PyErr_Format(error, "Error %d %s", outcome.zlib_code, stage);
        } else {
            PyErr_Format(error, "Error %d %s: %.200s", outcome.zlib_code, stage, message);
        }
        return false;
    }
    case Status::SizeMismatch:
    case Status::Counted:  // the data match a header too large to decode
        raise_value_error("Malformed PNG image data");
        return false;
    case Status::BadFilter:
        raise_value_error_with_number("Unsupported PNG filter: ", outcome.bad_filter);
        return false;
    }
    return false;
}

// Inflates and rebuilds the rows. The outputs are allocated only when the header's sizes are
// sound and the compressed data could inflate to them; otherwise the data are only inflated
// and counted, which still tells a zlib error from a size mismatch.
bool decode_image(PyObject* module, const ImageHeader& header, PyObject* idat_list, Outputs* out)
{
    CompressedPieces pieces;
    if (!pieces.gather(idat_list)) return false;
    const png::ScanlineLayout layout = header.layout();
    const bool decodable = png::sizes_fit_int32(header) &&
                           layout.inflated_size() <= pieces.total() * kMaxDeflateRatio;
    if (decodable && !out->allocate(header)) return false;

    const png::RowTargets targets = out->targets();
    InflateOutcome outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = png::inflate_rows(pieces.spans(), layout, decodable ? &targets : nullptr);
    Py_END_ALLOW_THREADS
    return raise_inflate_failure(module, outcome);
}

}  // namespace

Ref load_png(PyObject* module, PyObject* stream)
{
    if (!check_signature(module, stream)) return {};
    ChunkLoop loop;
    if (!read_chunks(module, stream, &loop)) return {};
    const ImageHeader& header = loop.header;
    if (!png::check_header(header)) return {};

    Outputs out;
    if (!decode_image(module, header, loop.idat.get(), &out)) return {};

    Ref width = Ref::consume(PyLong_FromLong(header.width));
    Ref height = Ref::consume(PyLong_FromLong(header.height));
    Ref channels = Ref::consume(PyLong_FromLong(header.bytes_per_pixel()));
    if (!width || !height || !channels) return {};
    PyObject* alpha = out.alpha ? out.alpha.get() : Py_None;
    return Ref::consume(PyTuple_Pack(8, width.get(), height.get(), out.pixels.get(), channels.get(), alpha,
                                     loop.records.get(), Py_None, out.filters.get()));
}

}  // namespace qv

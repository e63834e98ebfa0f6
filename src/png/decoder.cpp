// Decoding a PNG stream: signature, chunk loop, header checks, then a streaming inflate that
// rebuilds each row straight into the new pixel buffer and alpha plane.
#include "image/module_state.hpp"
#include "interop/errors.hpp"
#include "interop/without_gil.hpp"
#include "png/chunk_reader.hpp"
#include "codec/png/image_header.hpp"
#include "interop/status_error.hpp"
#include "png/memory_chunk_reader.hpp"
#include "png/png_api.hpp"
#include "codec/png/row_inflater.hpp"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace qv {

namespace {

using png::ImageHeader;
using png::InflateOutcome;

// Deflate turns one compressed byte into at most 1032 bytes (a 258-byte match in 2 bits),
// so compressed data of n bytes can never inflate to more than 1032 * n.
constexpr uint64_t kMaxDeflateRatio = 1032;

// The IDAT data to inflate, as spans over memory that stays put until the inflate is done:
// the bytes objects read from a stream are held here, where no Python code can reach them;
// data read from memory are held by the memory reader.
class CompressedPieces {
public:
    // Takes over the chunk's data. False with the error set.
    bool add(png::ChunkRead* chunk)
    {
        if (chunk->length == 0) return true;  // adds nothing to the zlib stream
        try {
            spans_.push_back({chunk->bytes, chunk->length});
            if (chunk->checked) owners_.push_back(std::move(chunk->checked));
            else if (chunk->data) owners_.push_back(std::move(chunk->data));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        total_ += chunk->length;
        return true;
    }

    std::span<const png::ByteSpan> spans() const { return spans_; }
    uint64_t total() const { return total_; }

private:
    std::vector<png::ByteSpan> spans_;
    std::vector<Ref> owners_;
    uint64_t total_ = 0;
};

// The chunk record list. A flood of small chunks must cost little more than the list's slot
// per chunk: one type object is shared by every chunk of a type, and a record equal to the
// last one made for its type (same length; no data, or equal exact bytes) is that same
// immutable tuple again.
class ChunkRecords {
public:
    bool ready() const { return static_cast<bool>(list_); }
    PyObject* list() const { return list_.get(); }

    // Appends the record of `chunk`: (type, data or None, length). False with the error set.
    bool add(png::ChunkRead* chunk, bool keep_data)
    {
        uint32_t tag = 0;
        std::memcpy(&tag, chunk->tag, 4);
        Slot* slot = find(tag);
        if (!chunk->type) {  // read from memory: the type is ours to make
            if (slot == nullptr) {
                chunk->type = Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk->tag), 4));
                if (!chunk->type) return false;
            }
        }
        PyObject* type = chunk->type.get();
        // A type read as some other object stays that object, as read.
        const bool shareable = type == nullptr || (PyBytes_CheckExact(type) && PyBytes_GET_SIZE(type) == 4);
        if (slot != nullptr && shareable) {
            if (slot->type) chunk->type = slot->type;
            if (reusable(*slot, *chunk, keep_data)) return PyList_Append(list_.get(), slot->record.get()) == 0;
        }
        Ref record = make_record(*chunk, keep_data);
        if (!record || PyList_Append(list_.get(), record.get()) < 0) return false;
        if (shareable && slot == nullptr && count_ < kSlots) slot = &slots_[count_++];
        if (shareable && slot != nullptr) *slot = Slot{tag, chunk->type, std::move(record), chunk->length};
        return true;
    }

private:
    struct Slot {
        uint32_t tag = 0;
        Ref type;
        Ref record;  // the last record made for this type
        uint32_t length = 0;
    };
    static constexpr size_t kSlots = 32;

    Slot* find(uint32_t tag)
    {
        for (size_t i = 0; i < count_; ++i) {
            if (slots_[i].tag == tag) return &slots_[i];
        }
        return nullptr;
    }

    static bool reusable(const Slot& slot, const png::ChunkRead& chunk, bool keep_data)
    {
        if (!slot.record || slot.length != chunk.length) return false;
        PyObject* kept = PyTuple_GET_ITEM(slot.record.get(), 1);
        if (!keep_data) return kept == Py_None;
        PyObject* data = chunk.data.get();
        return PyBytes_CheckExact(data) && PyBytes_CheckExact(kept) &&
               std::memcmp(PyBytes_AS_STRING(kept), PyBytes_AS_STRING(data), chunk.length) == 0;
    }

    static Ref make_record(const png::ChunkRead& chunk, bool keep_data)
    {
        Ref length = Ref::consume(PyLong_FromUnsignedLong(chunk.length));
        if (!length) return {};
        return Ref::consume(
            PyTuple_Pack(3, chunk.type.get(), keep_data ? chunk.data.get() : Py_None, length.get()));
    }

    Ref list_ = Ref::consume(PyList_New(0));
    Slot slots_[kSlots];
    size_t count_ = 0;
};

// What the chunk loop gathers.
struct ChunkLoop {
    ImageHeader header;
    ChunkRecords records;
    CompressedPieces idat;
    png::MemoryChunkReader memory;  // holds the contents when the stream is read from memory
};

// The IHDR data whose CRC was checked, into `header`. Data of another size than 13 bytes get
// the host's own unpack error, from the object read.
bool parse_header(PyObject* module, const png::ChunkRead& chunk, ImageHeader* header)
{
    const Status parsed = png::parse_ihdr({chunk.bytes, chunk.length}, header);
    if (parsed.ok()) return true;
    if (parsed.code == Code::kIhdrSize) return raise_host_unpack(module, ">IIBBBBB", chunk.data.get());
    return raise_status(module, parsed);
}

// The chunk loop over a source of chunks (`next_chunk`). False with the error set.
template <typename NextChunk>
bool read_chunks_with(PyObject* module, ChunkLoop* loop, NextChunk next_chunk)
{
    if (!loop->records.ready()) return false;
    for (;;) {
        png::ChunkRead chunk;
        if (!next_chunk(&chunk)) return false;
        if (chunk.end) return true;
        if (chunk.is("IHDR") && !parse_header(module, chunk, &loop->header)) return false;
        const bool is_idat = chunk.is("IDAT");
        if (!loop->records.add(&chunk, !is_idat)) return false;
        if (is_idat && !loop->idat.add(&chunk)) return false;
        if (chunk.is("IEND")) return true;
    }
}

// Whether the stream is an exact io.BytesIO whose methods are its type's own: attributes set
// on the instance (a `read`, `tell` or `getvalue` of its own) take precedence over them, and
// such a stream must be read through its attributes. -1 with the error set.
int plain_bytesio(PyObject* module, PyObject* stream)
{
    if (Py_TYPE(stream) != reinterpret_cast<PyTypeObject*>(state_of(module)->bytesio_type)) return 0;
    Ref attributes = Ref::consume(PyObject_GenericGetDict(stream, nullptr));
    if (!attributes) return -1;
    return PyDict_Check(attributes.get()) && PyDict_GET_SIZE(attributes.get()) == 0 ? 1 : 0;
}

// A plain io.BytesIO is read straight from its memory (same results, no call per field and
// no copy of the image data); any other stream through its `read`.
bool read_chunks(PyObject* module, PyObject* stream, ChunkLoop* loop)
{
    const int plain = plain_bytesio(module, stream);
    if (plain < 0) return false;
    if (plain) {
        png::MemoryChunkReader& reader = loop->memory;
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
bool decode_image(PyObject* module, const ImageHeader& header, const CompressedPieces& pieces, Outputs* out)
{
    const png::ScanlineLayout layout = header.layout();
    const bool decodable = png::sizes_fit_int32(header) &&
                           layout.inflated_size() <= pieces.total() * kMaxDeflateRatio;
    if (decodable && !out->allocate(header)) return false;

    const png::RowTargets targets = out->targets();
    InflateOutcome outcome;
    without_gil([&] { outcome = png::inflate_rows(pieces.spans(), layout, decodable ? &targets : nullptr); });
    return raise_inflate_failure(module, outcome);
}

}  // namespace

Ref load_png(PyObject* module, PyObject* stream)
{
    if (!check_signature(module, stream)) return {};
    ChunkLoop loop;
    if (!read_chunks(module, stream, &loop)) return {};
    const ImageHeader& header = loop.header;
    if (const Status checked = png::check_header(header); !checked.ok()) return raise_status(module, checked), Ref{};

    Outputs out;
    if (!decode_image(module, header, loop.idat, &out)) return {};

    Ref width = Ref::consume(PyLong_FromLong(header.width));
    Ref height = Ref::consume(PyLong_FromLong(header.height));
    Ref channels = Ref::consume(PyLong_FromLong(header.bytes_per_pixel()));
    if (!width || !height || !channels) return {};
    PyObject* alpha = out.alpha ? out.alpha.get() : Py_None;
    return Ref::consume(PyTuple_Pack(8, width.get(), height.get(), out.pixels.get(), channels.get(), alpha,
                                     loop.records.list(), Py_None, out.filters.get()));
}

}  // namespace qv

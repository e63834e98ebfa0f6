// Decoding a PNG stream in the binding: the signature, then the core decoder over the
// stream's chunks (read from memory for a plain io.BytesIO), with the chunk records built as
// Python tuples as each chunk comes and the image decoded into new bytearrays.
#include "codec/png/png_decoder.hpp"
#include "interop/module_state.hpp"
#include "interop/status_error.hpp"
#include "png/chunk_reader.hpp"
#include "png/memory_chunk_reader.hpp"
#include "png/png_api.hpp"

#include <cstring>

namespace qv {

namespace {

using png::Chunk;
using png::Field;

// The chunk record list. A flood of small chunks must cost little more than the list's slot
// per chunk: one type object is shared by every chunk of a type, and a record equal to the
// last one made for its type (same length; no data, or equal exact bytes) is that same
// immutable tuple again. From a stream, the type and data are the objects the stream
// returned; from memory, objects of our own.
class ChunkRecords final : public png::ChunkRecorder {
public:
    explicit ChunkRecords(png::StreamSource* stream) : stream_(stream) {}

    // The list, or null with the error set.
    PyObject* list() const { return list_.get(); }
    Ref take_list() { return std::move(list_); }

    Status record(const Chunk& chunk, bool keep_data) override
    {
        return add(chunk, keep_data) ? Status{} : Status::of(Code::kHostError);
    }

private:
    struct Slot {
        uint32_t tag = 0;
        Ref type;
        Ref record;  // the last record made for this type
        uint32_t length = 0;
    };
    static constexpr size_t kSlots = 32;

    bool add(const Chunk& chunk, bool keep_data)
    {
        uint32_t tag = 0;
        std::memcpy(&tag, chunk.tag, 4);
        Slot* slot = find(tag);
        Ref type;
        Ref data;
        if (stream_ != nullptr) {
            type = Ref::own(stream_->object(Field::kType));
            data = Ref::own(stream_->object(Field::kData));
        } else if (slot == nullptr) {  // read from memory: the type is ours to make
            type = Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.tag), 4));
            if (!type) return false;
        }
        // A type read as some other object stays that object, as read.
        const bool shareable = !type || (PyBytes_CheckExact(type.get()) && PyBytes_GET_SIZE(type.get()) == 4);
        if (slot != nullptr && shareable) {
            if (slot->type) type = slot->type;
            if (reusable(*slot, chunk, data.get(), keep_data)) return PyList_Append(list_.get(), slot->record.get()) == 0;
        }
        if (keep_data && !data) {  // from memory: the object a read would have returned
            data = Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data.data()),
                                                          static_cast<Py_ssize_t>(chunk.data.size())));
            if (!data) return false;
        }
        Ref record = make_record(type.get(), keep_data ? data.get() : Py_None, chunk.length);
        if (!record || PyList_Append(list_.get(), record.get()) < 0) return false;
        if (shareable && slot == nullptr && count_ < kSlots) slot = &slots_[count_++];
        if (shareable && slot != nullptr) *slot = Slot{tag, std::move(type), std::move(record), chunk.length};
        return true;
    }

    Slot* find(uint32_t tag)
    {
        for (size_t i = 0; i < count_; ++i) {
            if (slots_[i].tag == tag) return &slots_[i];
        }
        return nullptr;
    }

    // `data`: the object read from a stream, or null from memory (then the chunk's bytes).
    static bool reusable(const Slot& slot, const Chunk& chunk, PyObject* data, bool keep_data)
    {
        if (!slot.record || slot.length != chunk.length) return false;
        PyObject* kept = PyTuple_GET_ITEM(slot.record.get(), 1);
        if (!keep_data) return kept == Py_None;
        if (!PyBytes_CheckExact(kept) || (data != nullptr && !PyBytes_CheckExact(data))) return false;
        return std::memcmp(PyBytes_AS_STRING(kept), chunk.data.data(), chunk.length) == 0;
    }

    static Ref make_record(PyObject* type, PyObject* data, uint32_t length)
    {
        Ref size = Ref::consume(PyLong_FromUnsignedLong(length));
        if (!size) return {};
        return Ref::consume(PyTuple_Pack(3, type, data, size.get()));
    }

    png::StreamSource* stream_;
    Ref list_ = Ref::consume(PyList_New(0));
    Slot slots_[kSlots];
    size_t count_ = 0;
};

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

bool check_signature(PyObject* module, PyObject* stream)
{
    const HostNames& names = state_of(module)->names;
    Ref signature = call_method_int(stream, names.read, 8);
    if (!signature) return false;
    Ref expected = module_attr(module, names.png_signature);
    if (!expected) return false;
    const int differs = PyObject_RichCompareBool(signature.get(), expected.get(), Py_NE);
    if (differs < 0) return false;
    return !differs || raise_status(module, Status::of(Code::kSignature));
}

// Runs the core decoder and raises its refusal; `field_object` gives the object a host
// struct error is about (the IHDR data, or a 4-byte field read from a stream).
template <typename FieldObject>
bool decode(PyObject* module, png::ChunkSource& source, ChunkRecords& records, DecodeResult* out,
            FieldObject field_object)
{
    if (!records.list()) return false;
    png::ReleasingExecutor executor;
    const Status decoded = png::decode_png({source, records, out->buffers, executor}, &out->image);
    if (decoded.ok()) {
        out->chunks = records.take_list();
        return true;
    }
    if (decoded.code != Code::kIhdrSize && decoded.code != Code::kFieldSize) return png::raise_read_status(module, decoded, nullptr);
    Ref field = field_object(decoded);
    return field && png::raise_read_status(module, decoded, field.get());
}

}  // namespace

bool load_png(PyObject* module, PyObject* stream, DecodeResult* out)
{
    if (!check_signature(module, stream)) return false;
    const int plain = plain_bytesio(module, stream);
    if (plain < 0) return false;
    if (plain) {
        // A plain io.BytesIO is read straight from its memory (same results, no call per
        // field and no copy of the image data).
        png::MemoryChunkReader reader(state_of(module)->names);
        if (!reader.open(stream)) return false;
        ChunkRecords records(nullptr);
        const bool decoded = decode(module, reader.source(), records, out, [&](const Status&) { return reader.data_object(); });
        return reader.finish(stream) && decoded;
    }
    png::StreamSource source(stream, state_of(module)->names.read);
    ChunkRecords records(&source);
    return decode(module, source, records, out, [&](const Status& status) {
        const Field field = status.code == Code::kIhdrSize ? Field::kData : static_cast<Field>(status.detail);
        return Ref::own(source.object(field));
    });
}

}  // namespace qv

#include "png/chunk_reader.hpp"

#include "codec/limits.hpp"
#include "interop/host_names.hpp"
#include "interop/module_state.hpp"
#include "interop/status_error.hpp"
#include "interop/without_gil.hpp"
#include "png/png_api.hpp"

#include <algorithm>
#include <cstring>

namespace qv::png {

namespace {

Status host_error() { return Status::of(Code::kHostError); }

Ref stream_read(PyObject* stream, PyObject* read_name, uint32_t n) { return call_method_int(stream, read_name, n); }

// Data larger than one read comes in pieces that grow only as the data turns out to exist.
// The pieces are pinned by their views as they come and joined by our own copy: nothing that
// a piece's buffer export or a later read runs can reach them (a host list could be emptied
// under the join that walks it).
Ref read_data(PyObject* stream, PyObject* read_name, uint32_t length)
{
    if (length <= limits::kSingleRead) return stream_read(stream, read_name, length);
    BufferView views[limits::kMaxReadPieces];
    size_t count = 0;
    uint64_t have = 0;
    uint32_t step = limits::kSingleRead;
    while (have < length && count < limits::kMaxReadPieces) {
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(step, length - have));
        Ref piece = stream_read(stream, read_name, want);
        if (!piece || !views[count].acquire(piece.get(), PyBUF_SIMPLE)) return {};
        const auto got = static_cast<uint64_t>(views[count++].size());
        have += got;
        if (got < want) break;  // the end of the stream
        step = have < (1u << 31) ? static_cast<uint32_t>(have) : step;
    }
    Ref joined = Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(have)));
    if (!joined) return {};
    char* out = PyBytes_AS_STRING(joined.get());
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(out, views[i].data(), static_cast<size_t>(views[i].size()));
        out += views[i].size();
    }
    return joined;
}

}  // namespace

Status StreamSource::read(Field field, uint32_t n, uint64_t* got)
{
    const auto at = static_cast<size_t>(field);
    views_[static_cast<size_t>(Field::kLength)].reset();  // parsed before any later read
    if (field == Field::kLength) {
        for (Ref& object : objects_) object = Ref{};
        checked_ = Ref{};
    }
    objects_[at] = field == Field::kData ? read_data(stream_, read_name_, n) : stream_read(stream_, read_name_, n);
    if (!objects_[at]) return host_error();
    if (field == Field::kData) data_length_ = n;
    const Py_ssize_t size = PyObject_Size(objects_[at].get());
    if (size < 0) return host_error();
    *got = static_cast<uint64_t>(size);
    return {};
}

// An exact bytes object cannot change; anything else is copied out of its one export into
// bytes of our own (a buffer object can change under any later call), so the bytes checked
// are the bytes decoded. A buffer of another size than the length the object reported is
// data cut short.
Status StreamSource::view(Field field, ByteSpan* out)
{
    PyObject* object = objects_[static_cast<size_t>(field)].get();
    if (field != Field::kData) {
        BufferView& view = views_[static_cast<size_t>(field)];
        if (!view.acquire(object, PyBUF_SIMPLE)) return host_error();
        *out = ByteSpan{view.data(), static_cast<size_t>(view.size())};
        return {};
    }
    if (!PyBytes_CheckExact(object)) {
        BufferView view;
        if (!view.acquire(object, PyBUF_SIMPLE)) return host_error();
        if (static_cast<uint64_t>(view.size()) != data_length_) return Status::of(Code::kEofData);
        checked_ = Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data()), view.size()));
        if (!checked_) return host_error();
        object = checked_.get();
    }
    *out = ByteSpan{reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(object)),
                    static_cast<size_t>(PyBytes_GET_SIZE(object))};
    return {};
}

Status StreamSource::keep_data()
{
    if (!kept_) kept_ = Ref::consume(PyList_New(0));
    if (!kept_) return host_error();
    PyObject* data = checked_ ? checked_.get() : objects_[static_cast<size_t>(Field::kData)].get();
    return PyList_Append(kept_.get(), data) == 0 ? Status{} : host_error();
}

void StreamSource::end_chunk()
{
    for (BufferView& view : views_) view.reset();
}

void ReleasingExecutor::run(void (*work)(void*), void* context)
{
    without_gil([&] { work(context); });
}

bool raise_read_status(PyObject* module, const Status& status, PyObject* field)
{
    switch (status.code) {
    case Code::kHostError:
        return false;
    case Code::kFieldSize:
        return raise_host_unpack(module, ">I", field);
    case Code::kIhdrSize:
        return raise_host_unpack(module, ">IIBBBBB", field);
    default:
        return raise_status(module, status);
    }
}

}  // namespace qv::png

namespace qv {

PyObject* read_chunk(const Call& call)
{
    png::StreamSource source(call.args[0], state_of(call.module)->names.read);
    png::ReleasingExecutor executor;
    png::Chunk chunk;
    const Status read = png::next_chunk(source, executor, &chunk);
    if (!read.ok()) {
        const png::Field field = static_cast<png::Field>(read.detail);
        return png::raise_read_status(call.module, read, read.code == Code::kFieldSize ? source.object(field) : nullptr),
               nullptr;
    }
    if (chunk.end) return Py_BuildValue("(y#y#)", "", Py_ssize_t{0}, "", Py_ssize_t{0});
    return PyTuple_Pack(2, source.object(png::Field::kType), source.object(png::Field::kData));
}

}  // namespace qv

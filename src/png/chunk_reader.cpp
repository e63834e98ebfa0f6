#include "png/chunk_reader.hpp"

#include "image/module_state.hpp"
#include "interop/errors.hpp"
#include "interop/status_error.hpp"
#include "interop/without_gil.hpp"
#include "codec/png/chunk_layout.hpp"
#include "png/png_api.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace qv::png {

namespace {

Ref stream_read(PyObject* stream, uint32_t n)
{
    return Ref::consume(PyObject_CallMethod(stream, "read", "k", static_cast<unsigned long>(n)));
}

// Chunk data up to this size is asked of the stream in one read. A file object sets aside
// the whole size it is asked for before it finds out how much is there, so a few bytes that
// claim a 4 GiB chunk would cost a 4 GiB allocation: larger data is read in pieces that
// grow only as the data turns out to exist, then joined.
constexpr uint32_t kSingleRead = 16u << 20;

// The pieces are pinned by their views as they come and joined by our own copy: nothing that
// a piece's buffer export or a later read runs can reach them (a host list could be emptied
// under the join that walks it).
Ref read_data(PyObject* stream, uint32_t length)
{
    if (length <= kSingleRead) return stream_read(stream, length);
    constexpr size_t kMaxPieces = 64;  // the step doubles from 16 MiB: far fewer for 4 GiB
    BufferView views[kMaxPieces];
    size_t count = 0;
    uint64_t have = 0;
    uint32_t step = kSingleRead;
    while (have < length && count < kMaxPieces) {
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(step, length - have));
        Ref piece = stream_read(stream, want);
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

// len(obj) == n, with the host's error for an unsized object. -1 on error.
int has_length(PyObject* obj, uint32_t n)
{
    const Py_ssize_t size = PyObject_Size(obj);
    if (size < 0) return -1;
    return static_cast<uint64_t>(size) == n ? 1 : 0;
}

// A ">I" field: read natively from a 4-byte buffer, otherwise the host's unpack error.
bool unpack_be32(PyObject* module, PyObject* obj, uint32_t* out)
{
    BufferView view;
    if (!view.acquire(obj, PyBUF_SIMPLE)) return false;
    if (view.size() != 4) return raise_host_unpack(module, ">I", obj);
    *out = read_be32(view.data());
    return true;
}

bool fail(const char* message)
{
    raise_value_error(message);
    return false;
}

// Data at least this large is checksummed without the GIL; below it, releasing costs more.
constexpr size_t kCrcWithoutGil = 64 * 1024;

// The data's bytes, exported once: an exact bytes object cannot change; anything else is
// copied out of its one export into bytes of our own. A buffer of another size than the
// length the object reported is data cut short. False with the error set.
bool take_data_bytes(ChunkRead* chunk)
{
    PyObject* data = chunk->data.get();
    if (!PyBytes_CheckExact(data)) {
        BufferView view;
        if (!view.acquire(data, PyBUF_SIMPLE)) return false;
        if (static_cast<uint64_t>(view.size()) != chunk->length) {
            return fail("Unexpected EOF while reading chunk data");
        }
        chunk->checked =
            Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data()), view.size()));
        if (!chunk->checked) return false;
        data = chunk->checked.get();
    }
    chunk->bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
    return true;
}

// Compares the stored CRC with the one over type and data; also keeps the type bytes.
bool check_crc(PyObject* module, ChunkRead* chunk, PyObject* stored, bool* ok)
{
    BufferView type_view;
    if (!type_view.acquire(chunk->type.get(), PyBUF_SIMPLE)) return false;
    if (!take_data_bytes(chunk)) return false;
    const auto type_size = static_cast<size_t>(type_view.size());
    const size_t data_size = chunk->length;
    uint32_t expected = 0;
    if (data_size < kCrcWithoutGil) {
        expected = chunk_crc(type_view.data(), type_size, chunk->bytes, data_size);
    } else {
        // The type's view and our bytes stay in place while the GIL is released.
        without_gil([&] { expected = chunk_crc(type_view.data(), type_size, chunk->bytes, data_size); });
    }
    if (type_size == 4) {
        for (size_t i = 0; i < 4; ++i) chunk->tag[i] = type_view.data()[i];
    }
    uint32_t actual = 0;
    if (!unpack_be32(module, stored, &actual)) return false;
    *ok = actual == expected;
    return true;
}

}  // namespace

bool read_next_chunk(PyObject* module, PyObject* stream, ChunkRead* out)
{
    *out = ChunkRead{};
    Ref length_bytes = stream_read(stream, 4);
    if (!length_bytes) return false;
    const Py_ssize_t got = PyObject_Size(length_bytes.get());
    if (got < 0) return false;
    if (got == 0) {
        out->end = true;
        return true;
    }
    if (got != 4) return fail("Unexpected EOF while reading chunk length");
    if (!unpack_be32(module, length_bytes.get(), &out->length)) return false;

    out->type = stream_read(stream, 4);
    if (!out->type) return false;
    int sized = has_length(out->type.get(), 4);
    if (sized <= 0) return sized == 0 ? fail("Unexpected EOF while reading chunk type") : false;

    out->data = read_data(stream, out->length);
    if (!out->data) return false;
    sized = has_length(out->data.get(), out->length);
    if (sized <= 0) return sized == 0 ? fail("Unexpected EOF while reading chunk data") : false;

    Ref crc = stream_read(stream, 4);
    if (!crc) return false;
    sized = has_length(crc.get(), 4);
    if (sized <= 0) return sized == 0 ? fail("Unexpected EOF while reading chunk CRC") : false;

    bool crc_ok = false;
    if (!check_crc(module, out, crc.get(), &crc_ok)) return false;
    return crc_ok || fail("Corrupted PNG chunk detected");
}

}  // namespace qv::png

namespace qv {

PyObject* read_chunk(const Call& call)
{
    png::ChunkRead chunk;
    if (!png::read_next_chunk(call.module, call.args[0], &chunk)) return nullptr;
    if (chunk.end) return Py_BuildValue("(y#y#)", "", Py_ssize_t{0}, "", Py_ssize_t{0});
    return PyTuple_Pack(2, chunk.type.get(), chunk.data.get());
}

}  // namespace qv

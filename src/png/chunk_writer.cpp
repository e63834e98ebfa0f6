#include "png/chunk_writer.hpp"

#include "image/module_state.hpp"
#include "interop/host_file.hpp"
#include "png/chunk_layout.hpp"

#include <cstring>

namespace qv::png {

namespace {

constexpr uint64_t kMaxChunkLength = 0xFFFFFFFFu;
constexpr size_t kFrameSize = 8;  // length field and CRC; the type's size varies
// Chunks up to this size go to the file as one built buffer; larger data are written
// from where they are.
constexpr size_t kSmallChunk = 64 * 1024;
// CRC runs over more data than this are done without the GIL.
constexpr size_t kLongCrc = 1024 * 1024;

// The data lie in an immutable object or an exported buffer, so they stay in place while
// other threads run.
uint32_t crc_of(ByteSpan type, ByteSpan data)
{
    // zlib's crc32 answers a null buffer with its initial value: never pass one.
    static const uint8_t nothing = 0;
    if (type.empty()) type = {&nothing, 0};
    if (data.empty()) data = {&nothing, 0};
    if (data.size() < kLongCrc) return chunk_crc(type.data(), type.size(), data.data(), data.size());
    uint32_t crc = 0;
    Py_BEGIN_ALLOW_THREADS
    crc = chunk_crc(type.data(), type.size(), data.data(), data.size());
    Py_END_ALLOW_THREADS
    return crc;
}

Ref new_bytes(size_t size)
{
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return Ref::consume(PyErr_NoMemory());
    return Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

uint8_t* bytes_data(const Ref& bytes) { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())); }

}  // namespace

bool raise_pack_error(PyObject* module, PyObject* args)
{
    Ref pack = Ref::consume(PyObject_GetAttrString(state_of(module)->struct_module, "pack"));
    if (!pack) return false;
    Ref packed = Ref::consume(PyObject_Call(pack.get(), args, nullptr));
    if (packed) PyErr_SetString(state_of(module)->struct_error, "argument out of range");
    return false;
}

bool check_chunk_length(PyObject* module, size_t size)
{
    if (size <= kMaxChunkLength) return true;
    Ref args = Ref::consume(Py_BuildValue("(sK)", ">I", static_cast<unsigned long long>(size)));
    return args && raise_pack_error(module, args.get());
}

Ref png_signature(PyObject* module)
{
    Ref signature = module_attr(module, "PNG_SIGNATURE");
    BufferView bytes;
    if (!signature || !bytes.acquire(signature.get(), PyBUF_SIMPLE)) return {};
    return signature;
}

Ref build_chunk(PyObject* module, ByteSpan type, ByteSpan data)
{
    if (!check_chunk_length(module, data.size())) return {};
    if (type.size() > static_cast<size_t>(PY_SSIZE_T_MAX) - kFrameSize - data.size()) {
        return Ref::consume(PyErr_NoMemory());
    }
    Ref chunk = new_bytes(kFrameSize + type.size() + data.size());
    if (!chunk) return {};
    uint8_t* p = bytes_data(chunk);
    write_be32(p, static_cast<uint32_t>(data.size()));
    if (!type.empty()) std::memcpy(p + 4, type.data(), type.size());
    if (!data.empty()) std::memcpy(p + 4 + type.size(), data.data(), data.size());
    write_be32(p + 4 + type.size() + data.size(), crc_of(type, data));
    return chunk;
}

PngFile::~PngFile()
{
    if (!file_) return;
    const bool error_in_flight = PyErr_Occurred() != nullptr;
    if (!close_file(file_.get()) && !error_in_flight) PyErr_WriteUnraisable(file_.get());
}

bool PngFile::open(PyObject* module, PyObject* path)
{
    lock_.acquire();
    file_ = open_file(state_of(module)->builtin_open, path, "wb");
    if (!file_) return false;
    write_ = Ref::consume(PyObject_GetAttrString(file_.get(), "write"));
    return static_cast<bool>(write_);
}

bool PngFile::write(PyObject* obj)
{
    return static_cast<bool>(Ref::consume(PyObject_CallOneArg(write_.get(), obj)));
}

bool PngFile::write_chunk(PyObject* module, ByteSpan type, ByteSpan data, PyObject* data_obj)
{
    if (data.size() <= kSmallChunk) {
        Ref chunk = build_chunk(module, type, data);
        return chunk && write(chunk.get());
    }
    if (!check_chunk_length(module, data.size())) return false;
    Ref head = new_bytes(4 + type.size());
    Ref tail = new_bytes(4);
    if (!head || !tail) return false;
    write_be32(bytes_data(head), static_cast<uint32_t>(data.size()));
    std::memcpy(bytes_data(head) + 4, type.data(), type.size());
    write_be32(bytes_data(tail), crc_of(type, data));
    return write(head.get()) && write(data_obj) && write(tail.get());
}

bool PngFile::close()
{
    Ref file = std::move(file_);
    write_ = Ref();
    const bool closed = close_file(file.get());
    lock_.release();
    return closed;
}

}  // namespace qv::png

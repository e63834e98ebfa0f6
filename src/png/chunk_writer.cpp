#include "png/chunk_writer.hpp"

#include "image/module_state.hpp"
#include "interop/status_error.hpp"
#include "interop/without_gil.hpp"
#include "codec/png/chunk_layout.hpp"

#include <cstring>

namespace qv::png {

namespace {

constexpr uint64_t kMaxChunkLength = 0xFFFFFFFFu;
constexpr size_t kFrameSize = 8;  // length field and CRC; the type's size varies
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
    return without_gil([&] { return chunk_crc(type.data(), type.size(), data.data(), data.size()); });
}

Ref new_bytes(size_t size)
{
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) return Ref::consume(PyErr_NoMemory());
    return Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

uint8_t* bytes_data(const Ref& bytes) { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())); }

}  // namespace

bool check_chunk_length(PyObject* module, size_t size)
{
    if (size <= kMaxChunkLength) return true;
    Ref args = Ref::consume(Py_BuildValue("(sK)", ">I", static_cast<unsigned long long>(size)));
    return args && raise_host_pack(module, args.get());
}

bool png_signature(PyObject* module, Ref* holder, BufferView* view)
{
    *holder = module_attr(module, "PNG_SIGNATURE");
    return *holder && view->acquire(holder->get(), PyBUF_SIMPLE);
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

bool write_chunk(OutputFile& file, PyObject* module, ByteSpan type, ByteSpan data)
{
    if (!check_chunk_length(module, data.size())) return false;
    uint8_t length[4];
    uint8_t crc[4];
    write_be32(length, static_cast<uint32_t>(data.size()));
    write_be32(crc, crc_of(type, data));
    return file.write(length) && file.write(type) && file.write(data) && file.write(crc);
}

}  // namespace qv::png

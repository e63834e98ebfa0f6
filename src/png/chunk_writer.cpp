#include "png/chunk_writer.hpp"

#include "codec/limits.hpp"
#include "interop/module_state.hpp"
#include "interop/status_error.hpp"
#include "interop/without_gil.hpp"

namespace qv::png {

namespace {

// The data lie in an immutable object or an exported buffer, so they stay in place while
// other threads run.
ChunkFrame frame_of(ByteSpan type, ByteSpan data)
{
    if (data.size() < limits::kHeavyWorkBytes) return frame_chunk(type, data);
    return without_gil([&] { return frame_chunk(type, data); });
}

}  // namespace

bool check_chunk_length(PyObject* module, size_t size)
{
    if (png::check_chunk_length(size).ok()) return true;
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
    size_t size = 0;
    if (!chunk_size(type.size(), data.size(), static_cast<size_t>(PY_SSIZE_T_MAX), &size)) {
        return Ref::consume(PyErr_NoMemory());
    }
    Ref chunk = Ref::consume(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!chunk) return {};
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(chunk.get()));
    if (data.size() < limits::kHeavyWorkBytes) {
        png::build_chunk(type, data, {out, size});
    } else {
        without_gil([&] { png::build_chunk(type, data, {out, size}); });
    }
    return chunk;
}

bool write_chunk(OutputFile& file, PyObject* module, ByteSpan type, ByteSpan data)
{
    if (!check_chunk_length(module, data.size())) return false;
    const ChunkFrame frame = frame_of(type, data);
    return file.write(frame.length) && file.write(type) && file.write(data) && file.write(frame.crc);
}

}  // namespace qv::png

#include "png/memory_chunk_reader.hpp"

#include "interop/host_file.hpp"

namespace qv::png {

bool MemoryChunkReader::open(PyObject* stream)
{
    Ref position = call_method(stream, names_.tell);
    if (!position) return false;
    const Py_ssize_t start = PyLong_AsSsize_t(position.get());
    if (start == -1 && PyErr_Occurred()) return false;
    if (start < 0) {  // not from io.BytesIO's own tell(): every read would start before the data
        PyErr_SetString(PyExc_SystemError, "negative stream position");
        return false;
    }
    contents_ = call_method(stream, names_.getvalue);
    if (!contents_ || !view_.acquire(contents_.get(), PyBUF_SIMPLE)) return false;
    source_.emplace(ByteSpan{view_.data(), static_cast<size_t>(view_.size())}, static_cast<uint64_t>(start));
    return true;
}

Ref MemoryChunkReader::data_object() const
{
    const ByteSpan data = source_->last(Field::kData);
    return Ref::consume(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
}

bool MemoryChunkReader::finish(PyObject* stream)
{
    // Never past PY_SSIZE_T_MAX: the position only moves over bytes that exist.
    const Py_ssize_t position = source_ ? static_cast<Py_ssize_t>(source_->position()) : 0;
    Ref at = Ref::consume(PyLong_FromSsize_t(position));
    return at && cleanup_call(stream, names_.seek, at.get());
}

}  // namespace qv::png

#include "png/memory_chunk_reader.hpp"

#include "interop/errors.hpp"
#include "interop/host_file.hpp"
#include "codec/png/chunk_layout.hpp"

#include <algorithm>
#include <cstring>

namespace qv::png {

namespace {

bool fail(const char* message)
{
    raise_value_error(message);
    return false;
}

Ref bytes_of(const uint8_t* data, size_t size)
{
    return Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

}  // namespace

bool MemoryChunkReader::open(PyObject* stream)
{
    Ref position = Ref::consume(PyObject_CallMethod(stream, "tell", nullptr));
    if (!position) return false;
    pos_ = PyLong_AsSsize_t(position.get());
    if (pos_ == -1 && PyErr_Occurred()) return false;
    if (pos_ < 0) {  // not from io.BytesIO's own tell(): every read would start before the data
        PyErr_SetString(PyExc_SystemError, "negative stream position");
        return false;
    }
    contents_ = Ref::consume(PyObject_CallMethod(stream, "getvalue", nullptr));
    if (!contents_) return false;
    return view_.acquire(contents_.get(), PyBUF_SIMPLE);
}

std::pair<const uint8_t*, size_t> MemoryChunkReader::take(size_t n)
{
    if (pos_ >= view_.size()) return {view_.data(), 0};  // at or past the end: nothing, nowhere
    const Py_ssize_t start = pos_;
    const size_t got = std::min(n, static_cast<size_t>(view_.size() - start));
    pos_ = start + static_cast<Py_ssize_t>(got);
    return {view_.data() + start, got};
}

bool MemoryChunkReader::next(ChunkRead* out)
{
    *out = ChunkRead{};
    const auto [length_field, length_size] = take(4);
    if (length_size == 0) {
        out->end = true;
        return true;
    }
    if (length_size != 4) return fail("Unexpected EOF while reading chunk length");
    out->length = read_be32(length_field);

    const auto [type, type_size] = take(4);
    if (type_size != 4) return fail("Unexpected EOF while reading chunk type");
    std::memcpy(out->tag, type, 4);
    const auto [data, data_size] = take(out->length);
    if (data_size != out->length) return fail("Unexpected EOF while reading chunk data");
    const auto [crc, crc_size] = take(4);
    if (crc_size != 4) return fail("Unexpected EOF while reading chunk CRC");
    if (read_be32(crc) != chunk_crc(type, 4, data, data_size)) return fail("Corrupted PNG chunk detected");

    out->bytes = data;
    if (out->is("IDAT")) return true;
    out->data = bytes_of(data, data_size);
    return static_cast<bool>(out->data);
}

bool MemoryChunkReader::finish(PyObject* stream)
{
    return cleanup_call(stream, "seek", "n", pos_);
}

}  // namespace qv::png

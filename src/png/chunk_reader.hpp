// PNG chunks from a Python stream, for the core's chunk parser: each field through one `read`
// call, in the order and sizes of reading a file object by hand, with every object read kept
// as it was returned. `_readChunk` and the decoder both go through it; the GIL rule for the
// parser's heavy work and the translation of reading statuses live here too.
#pragma once

#include "codec/png/chunk_parser.hpp"
#include "interop/ref.hpp"

namespace qv::png {

class StreamSource final : public ChunkSource {
public:
    // `read_name`: the interned "read" (HostNames).
    StreamSource(PyObject* stream, PyObject* read_name) : stream_(stream), read_name_(read_name) {}

    Status read(Field field, uint32_t n, uint64_t* got) override;
    Status view(Field field, ByteSpan* out) override;
    Status keep_data() override;
    void end_chunk() override;

    // The object `read` returned for `field` in the chunk being read (null before it).
    PyObject* object(Field field) const { return objects_[static_cast<size_t>(field)].get(); }

private:
    PyObject* stream_;
    PyObject* read_name_;
    Ref objects_[4];
    BufferView views_[4];  // length, type and CRC views, released as soon as the parser is done
    Ref checked_;          // a bytes copy of data that is not exact bytes: what was checked
    uint32_t data_length_ = 0;
    Ref kept_;             // a list of the data of every kept chunk (made when first needed)
};

// Runs heavy work without the GIL.
class ReleasingExecutor final : public Executor {
public:
    using Executor::run;
    void run(void (*work)(void*), void* context) override;
};

// Raises the exception of a failed read or decode and returns false: the host's struct
// error for a field or an IHDR of the wrong size (run on `field`, the object the stream or
// memory gave for it), nothing more for kHostError (already set), else raise_status.
bool raise_read_status(PyObject* module, const Status& status, PyObject* field);

}  // namespace qv::png

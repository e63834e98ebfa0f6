// Reading PNG chunks straight from the contents of an in-memory stream (an exact io.BytesIO),
// as `read_next_chunk` would through four `read` calls each: the same results, the same
// errors, the same final position, without a call into the stream per field or a copy of the
// image data. The contents are the stream's getvalue(), which for a stream made over bytes
// is those very bytes; IDAT data come back as pointers into them, valid while the reader
// lives, and no object is made for them.
#pragma once

#include "png/chunk_reader.hpp"

namespace qv::png {

class MemoryChunkReader {
public:
    // Starts at the stream's current position. False with the error set.
    bool open(PyObject* stream);
    // The next chunk, or `end`. `type` is left to the caller (one shared object per type
    // does for a whole file); IDAT chunks get only `bytes`, other data new bytes objects.
    // False with the error set.
    bool next(ChunkRead* out);
    // Moves the stream to where the emulated reads stopped; an error already in flight stays
    // the one reported. False when it fails (or was already failing).
    bool finish(PyObject* stream);

private:
    // What a read(n) would return: at most n bytes, the position moving past them.
    std::pair<const uint8_t*, size_t> take(size_t n);

    Ref contents_;  // the stream's getvalue(): immutable bytes
    BufferView view_;
    Py_ssize_t pos_ = 0;
};

}  // namespace qv::png

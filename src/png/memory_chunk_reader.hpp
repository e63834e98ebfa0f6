// Reading PNG chunks straight from the contents of an in-memory stream (an exact io.BytesIO),
// as the stream source would through four `read` calls each: the same results, the same
// errors, the same final position, without a call into the stream per field or a copy of the
// image data. The contents are the stream's getvalue(), which for a stream made over bytes
// is those very bytes; the core's memory source reads them, and they stay pinned while this
// reader lives.
#pragma once

#include "codec/png/chunk_parser.hpp"
#include "interop/host_names.hpp"
#include "interop/ref.hpp"

#include <optional>

namespace qv::png {

class MemoryChunkReader {
public:
    explicit MemoryChunkReader(const HostNames& names) : names_(names) {}
    // Starts at the stream's current position. False with the error set.
    bool open(PyObject* stream);
    // The source over the contents (after a successful open).
    MemorySource& source() { return *source_; }
    // The data the last chunk read got, as new bytes: the object the stream would have
    // returned for it. Null with the error set.
    Ref data_object() const;
    // Moves the stream to where the emulated reads stopped; an error already in flight stays
    // the one reported. False when it fails (or was already failing).
    bool finish(PyObject* stream);

private:
    const HostNames& names_;
    Ref contents_;  // the stream's getvalue(): immutable bytes
    BufferView view_;
    std::optional<MemorySource> source_;
};

}  // namespace qv::png

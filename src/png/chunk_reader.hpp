// Reading one PNG chunk from a Python stream: four `read` calls, the EOF checks and the CRC.
// `_readChunk` and the decoder both go through `read_next_chunk`.
#pragma once

#include "interop/ref.hpp"

#include <cstdint>

namespace qv::png {

struct ChunkRead {
    bool end = false;      // the stream was at its end: no chunk, nothing else set
    Ref type;              // the object `read(4)` returned for the type
    Ref data;              // the object `read(length)` returned
    uint32_t length = 0;   // the length field (== len(data))
    uint8_t tag[4] = {};   // the four type bytes, for comparisons
    // The `length` data bytes whose CRC was checked: those of `data` itself when it is an
    // exact bytes object, else of `checked`, a bytes copy made from its one buffer export
    // (a buffer object can change under any later call). Inflate reads these very bytes, so
    // what was checked is what is decoded.
    const uint8_t* bytes = nullptr;
    Ref checked;

    bool is(const char (&name)[5]) const
    {
        return tag[0] == name[0] && tag[1] == name[1] && tag[2] == name[2] && tag[3] == name[3];
    }
};

// Reads the chunk at the stream's position and checks its CRC. Errors of the stream and of
// the objects it returns pass through unchanged. False with the error set.
bool read_next_chunk(PyObject* module, PyObject* stream, ChunkRead* out);

}  // namespace qv::png

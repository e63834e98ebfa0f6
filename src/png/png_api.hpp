// The PNG codec as the rest of the module sees it.
#pragma once

#include "interop/decoded_result.hpp"
#include "interop/function.hpp"

namespace qv {

// Module-level functions.
PyObject* read_chunk(const Call& call);             // _readChunk(stream)
PyObject* make_chunk(const Call& call);             // _makeChunk(chunkType, data)
PyObject* write_png(const Call& call);              // _writePng(path, width, height, pixels, alpha, filter_types)
PyObject* split_idat_payload(const Call& call);     // _split_idat_payload(data, lengths)
PyObject* write_png_with_chunks(const Call& call);  // _writePngWithChunks(path, width, height, pixels, alpha, chunks, filter_types)

// The decoder, for a stream that starts with the PNG signature. False with the error set.
bool load_png(PyObject* module, PyObject* stream, DecodeResult* out);

}  // namespace qv

// The PNG codec as the rest of the module sees it.
#pragma once

#include "interop/decoded_result.hpp"
#include "interop/function.hpp"
#include "png/compressed_image.hpp"

namespace qv {

// Module-level functions.
PyObject* read_chunk(const Call& call);             // _readChunk(stream)
PyObject* make_chunk(const Call& call);             // _makeChunk(chunkType, data)
PyObject* write_png(const Call& call);              // _writePng(path, width, height, pixels, alpha, filter_types)
PyObject* split_idat_payload(const Call& call);     // _split_idat_payload(data, lengths)
PyObject* write_png_with_chunks(const Call& call);  // _writePngWithChunks(path, width, height, pixels, alpha, chunks, filter_types)

// The two PNG writers with their compressor chosen, for the converter: the image module's
// state and names, the same checks, files and errors. `args` as the functions above take them.
PyObject* write_png(PyObject* module, PyObject* const* args, png::Compressor compressor);
PyObject* write_png_with_chunks(PyObject* module, PyObject* const* args, png::Compressor compressor);

// The decoder, for a stream that starts with the PNG signature. False with the error set.
bool load_png(PyObject* module, PyObject* stream, DecodeResult* out);

}  // namespace qv

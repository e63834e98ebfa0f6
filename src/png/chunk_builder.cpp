// _makeChunk(chunkType, data): one complete chunk as bytes.
#include "png/chunk_writer.hpp"
#include "png/png_api.hpp"

namespace qv {

PyObject* make_chunk(const Call& call)
{
    // Both arguments are exact bytes objects: the binder has checked them.
    return png::build_chunk(call.module, png::bytes_of(call.args[0]), png::bytes_of(call.args[1])).release();
}

}  // namespace qv

// Writing PNG chunks (length, type, data, CRC-32 over type and data), as one bytes object
// or into a file being saved. The layout is the core's; this binds it to bytes objects,
// exported views and the output file.
#pragma once

#include "codec/bytes.hpp"
#include "codec/png/chunk_builder.hpp"
#include "interop/output_file.hpp"
#include "interop/ref.hpp"

#include <cstdint>

namespace qv::png {

inline ByteSpan bytes_of(PyObject* bytes)  // an exact bytes object
{
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

inline ByteSpan bytes_of(const BufferView& view)
{
    return {view.data(), static_cast<size_t>(view.size())};
}

// False with the host's packing error (struct.pack(">I", size)) when `size` does not fit
// the 4-byte length field.
bool check_chunk_length(PyObject* module, size_t size);

// The module's PNG_SIGNATURE as it is bound now, exported once into `view`: the bytes
// written are the ones checked.
bool png_signature(PyObject* module, Ref* holder, BufferView* view);

// The whole chunk as a new bytes object.
Ref build_chunk(PyObject* module, ByteSpan type, ByteSpan data);

// One chunk into `file`. The length and CRC are those of exactly the bytes written, which
// go from where they lie (no copy of large data).
bool write_chunk(OutputFile& file, PyObject* module, ByteSpan type, ByteSpan data);

}  // namespace qv::png

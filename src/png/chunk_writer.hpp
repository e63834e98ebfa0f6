// Writing PNG chunks (length, type, data, CRC-32 over type and data), as one bytes object
// or straight into an open file, and the file itself.
#pragma once

#include "interop/write_lock.hpp"
#include "interop/ref.hpp"

#include <cstdint>
#include <span>

namespace qv::png {

using ByteSpan = std::span<const uint8_t>;

inline constexpr uint8_t kIhdr[4] = {'I', 'H', 'D', 'R'};
inline constexpr uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
inline constexpr uint8_t kIend[4] = {'I', 'E', 'N', 'D'};

inline ByteSpan bytes_of(PyObject* bytes)  // an exact bytes object
{
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

inline ByteSpan bytes_of(const BufferView& view)
{
    return {view.data(), static_cast<size_t>(view.size())};
}

// Runs the host's struct.pack(*args) for the host's own error on a value it cannot pack.
// Always returns false with an error set.
bool raise_pack_error(PyObject* module, PyObject* args);

// False with the host's packing error (struct.pack(">I", size)) when `size` does not fit
// the 4-byte length field.
bool check_chunk_length(PyObject* module, size_t size);

// The module's PNG_SIGNATURE as it is bound now, checked to be bytes-like so that it can be
// written once the file is open.
Ref png_signature(PyObject* module);

// The whole chunk as a new bytes object.
Ref build_chunk(PyObject* module, ByteSpan type, ByteSpan data);

// A file opened with the host's open(path, "wb"). It is closed on every path: by close(),
// or by the destructor, which keeps an error already in flight as the one reported. No other
// file of the process is written between its opening and its closing.
class PngFile {
public:
    PngFile() = default;
    ~PngFile();
    PngFile(const PngFile&) = delete;
    PngFile& operator=(const PngFile&) = delete;

    bool open(PyObject* module, PyObject* path);
    bool write(PyObject* obj);
    // One chunk. `data_obj` exports exactly the bytes of `data`; large data are handed to
    // the file as they are, between a small head and the CRC, never copied.
    bool write_chunk(PyObject* module, ByteSpan type, ByteSpan data, PyObject* data_obj);
    bool close();

private:
    FileWriteLock lock_;  // declared first: released after the file is closed
    Ref file_;
    Ref write_;
};

}  // namespace qv::png

// _writePngWithChunks: writes an image back with the chunks kept from the file it was read
// from. Every record is written as kept; the new compressed image data are cut along the
// lengths of the kept IDAT records and written, all pieces together, where the first IDAT
// record stood (at the end when there was none).
#include "codec/png/kept_header.hpp"
#include "interop/module_state.hpp"
#include "interop/status_error.hpp"
#include "interop/unpack.hpp"
#include "png/chunk_writer.hpp"
#include "png/compressed_image.hpp"
#include "png/idat_split.hpp"
#include "png/png_api.hpp"

#include <memory>
#include <new>

namespace qv {

namespace {

// One record of the chunk record list (chunk type, data, length), held with the views
// its bytes are written from.
struct KeptChunk {
    Ref items[3];
    bool is_idat = false;
    BufferView type;
    BufferView data;  // not acquired for None: an empty chunk

    PyObject* length() const { return items[2].get(); }
};

struct KeptChunks {
    std::unique_ptr<KeptChunk[]> chunks;
    Py_ssize_t count = 0;
    std::unique_ptr<PyObject*[]> idat_lengths;  // borrowed from `chunks`
    Py_ssize_t idat_count = 0;
};

bool is_idat(PyObject* type, bool* out)
{
    if (PyBytes_CheckExact(type)) {
        *out = png::is_type(png::bytes_of(type), png::kIdat);
        return true;
    }
    Ref idat = Ref::consume(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(png::kIdat), 4));
    if (!idat) return false;
    const int equal = PyObject_RichCompareBool(type, idat.get(), Py_EQ);
    *out = equal > 0;
    return equal >= 0;
}

// Every record unpacked into exactly three items; the IDAT lengths gathered in order.
bool unpack_records(PyObject* chunks, KeptChunks* kept)
{
    // A snapshot: unpacking may run code that changes the caller's list.
    Ref records = Ref::consume(PySequence_Tuple(chunks));
    if (!records) return false;
    kept->count = PyTuple_GET_SIZE(records.get());
    const size_t count = static_cast<size_t>(kept->count);
    kept->chunks.reset(new (std::nothrow) KeptChunk[count]);
    kept->idat_lengths.reset(new (std::nothrow) PyObject*[count]);
    if (!kept->chunks || !kept->idat_lengths) return PyErr_NoMemory(), false;
    for (Py_ssize_t i = 0; i < kept->count; ++i) {
        KeptChunk& chunk = kept->chunks[i];
        if (!unpack_exact(PyTuple_GET_ITEM(records.get(), i), 3, chunk.items)) return false;
        if (!is_idat(chunk.items[0].get(), &chunk.is_idat)) return false;
        if (chunk.is_idat) kept->idat_lengths[kept->idat_count++] = chunk.length();
    }
    return true;
}

// The other records' types and data must be bytes-like and fit a chunk: checked before
// the file is opened, so a bad record cannot leave half a file behind.
bool view_records(PyObject* module, KeptChunks* kept)
{
    for (Py_ssize_t i = 0; i < kept->count; ++i) {
        KeptChunk& chunk = kept->chunks[i];
        if (chunk.is_idat) continue;
        if (!chunk.type.acquire(chunk.items[0].get(), PyBUF_SIMPLE)) return false;
        PyObject* data = chunk.items[1].get();
        if (data != Py_None && !chunk.data.acquire(data, PyBUF_SIMPLE)) return false;
        if (!png::check_chunk_length(module, static_cast<size_t>(chunk.data.size()))) return false;
    }
    return true;
}

// The IHDR that a decoder honours must describe the pixels being written; a file whose
// header contradicts its image data would be unreadable or misread.
bool check_ihdr(const KeptChunks& kept, const png::ImageArgs& image)
{
    png::HonouredHeader header;
    for (Py_ssize_t i = 0; i < kept.count; ++i) {
        const KeptChunk& chunk = kept.chunks[i];
        if (!chunk.is_idat) header.see(png::bytes_of(chunk.type), png::bytes_of(chunk.data));
    }
    const Status checked = header.check(image.width, image.height, image.has_alpha());
    return checked.ok() || raise_status(nullptr, checked);
}

// The new IDAT chunks: pieces of the compressed stream, written from where they lie.
bool write_idat(OutputFile& file, PyObject* module, ByteSpan whole, const std::vector<int64_t>& pieces)
{
    size_t offset = 0;
    for (const int64_t size : pieces) {
        if (!png::write_chunk(file, module, png::kIdat, whole.subspan(offset, static_cast<size_t>(size)))) return false;
        offset += static_cast<size_t>(size);
    }
    return true;
}

// Every record in its place; the kept types and data are written from the views taken
// when they were checked, never exported again.
bool write_records(OutputFile& file, PyObject* module, const KeptChunks& kept, ByteSpan compressed,
                   const std::vector<int64_t>& pieces)
{
    bool idat_written = false;
    for (Py_ssize_t i = 0; i < kept.count; ++i) {
        const KeptChunk& chunk = kept.chunks[i];
        if (chunk.is_idat) {
            if (!idat_written && !write_idat(file, module, compressed, pieces)) return false;
            idat_written = true;
        } else if (!png::write_chunk(file, module, png::bytes_of(chunk.type), png::bytes_of(chunk.data))) {
            return false;
        }
    }
    return idat_written || write_idat(file, module, compressed, pieces);
}

bool write_file(PyObject* module, PyObject* path, const KeptChunks& kept, ByteSpan compressed,
                const std::vector<int64_t>& pieces)
{
    Ref signature;
    BufferView signature_bytes;
    if (!png::png_signature(module, &signature, &signature_bytes)) return false;
    return save_file(state_of(module)->builtin_open, path, [&](OutputFile& file) {
        return file.write(png::bytes_of(signature_bytes)) && write_records(file, module, kept, compressed, pieces);
    });
}

}  // namespace

PyObject* write_png_with_chunks(PyObject* module, PyObject* const* args, png::Compressor compressor)
{
    // path, width, height, pixels, alpha, chunks, filter_types
    PyObject* chunks = args[5];
    png::ImageArgs image;
    if (!png::image_args(args, args[6], &image)) return nullptr;
    const int has_chunks = PyObject_IsTrue(chunks);
    if (has_chunks < 0) return nullptr;
    if (!has_chunks) {
        PyObject* plain[] = {args[0], args[1], args[2], args[3], args[4], args[6]};
        return write_png(module, plain, compressor);
    }

    if (!png::check_lengths(image)) return nullptr;
    png::CompressedImage compressed;
    if (!png::compress_image(module, image, compressor, &compressed)) return nullptr;
    KeptChunks kept;
    if (!unpack_records(chunks, &kept)) return nullptr;
    std::vector<int64_t> pieces;
    const auto total = static_cast<Py_ssize_t>(compressed.data.size());
    if (!png::split_sizes(kept.idat_lengths.get(), kept.idat_count, total, &pieces)) return nullptr;
    for (const int64_t size : pieces) {
        if (!png::check_chunk_length(module, static_cast<size_t>(size))) return nullptr;
    }
    if (!view_records(module, &kept) || !check_ihdr(kept, image)) return nullptr;
    if (!write_file(module, args[0], kept, compressed.data, pieces)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* write_png_with_chunks(const Call& call)
{
    return write_png_with_chunks(call.module, call.args, png::Compressor::kZlib);
}

}  // namespace qv

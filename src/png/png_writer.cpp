// _writePng: a minimal PNG (signature, IHDR, one IDAT holding the whole compressed stream,
// IEND). Everything is checked, packed and compressed before the file is opened, so a
// refused image never damages an existing file.
#include "codec/png/image_header.hpp"
#include "interop/module_state.hpp"
#include "interop/status_error.hpp"
#include "png/chunk_writer.hpp"
#include "png/compressed_image.hpp"
#include "png/png_api.hpp"

namespace qv {

namespace {

// The IHDR data. A negative dimension cannot be packed unsigned: the host's struct.pack is run
// on the header's values for its own error.
bool pack_ihdr(PyObject* module, const png::ImageArgs& image, uint8_t (&out)[png::kIhdrSize])
{
    const Status packed = png::pack_ihdr(image.width, image.height, image.has_alpha(), out);
    if (packed.ok()) return true;
    const int colour = image.has_alpha() ? png::kColourRgba : png::kColourRgb;
    Ref args = Ref::consume(
        Py_BuildValue("(siiiiiii)", ">IIBBBBB", image.width, image.height, int{png::kBitDepth}, colour, 0, 0, 0));
    return args && raise_host_pack(module, args.get());
}

}  // namespace

PyObject* write_png(PyObject* module, PyObject* const* args, png::Compressor compressor)
{
    // path, width, height, pixels, alpha, filter_types
    png::ImageArgs image;
    if (!png::image_args(args, args[5], &image) || !png::check_lengths(image)) return nullptr;
    uint8_t ihdr[png::kIhdrSize];
    if (!pack_ihdr(module, image, ihdr)) return nullptr;
    png::CompressedImage compressed;
    if (!png::compress_image(module, image, compressor, &compressed)) return nullptr;
    const ByteSpan idat = compressed.data;
    if (!png::check_chunk_length(module, idat.size())) return nullptr;
    Ref signature;
    BufferView signature_bytes;
    if (!png::png_signature(module, &signature, &signature_bytes)) return nullptr;

    const bool saved = save_file(state_of(module)->builtin_open, args[0], [&](OutputFile& file) {
        return file.write(png::bytes_of(signature_bytes))
               && png::write_chunk(file, module, png::kIhdr, {ihdr, png::kIhdrSize})
               && png::write_chunk(file, module, png::kIdat, idat) && png::write_chunk(file, module, png::kIend, {});
    });
    if (!saved) return nullptr;
    Py_RETURN_NONE;
}

PyObject* write_png(const Call& call) { return write_png(call.module, call.args, png::Compressor::kZlib); }

}  // namespace qv

// _writePng: a minimal PNG (signature, IHDR, one IDAT holding the whole compressed stream,
// IEND). Everything is checked, packed and compressed before the file is opened, so a
// refused image never damages an existing file.
#include "image/module_state.hpp"
#include "codec/png/chunk_layout.hpp"
#include "png/chunk_writer.hpp"
#include "png/compressed_image.hpp"
#include "png/png_api.hpp"

namespace qv {

namespace {

constexpr size_t kIhdrSize = 13;
constexpr uint8_t kBitDepth = 8;
constexpr uint8_t kColourRgb = 2;
constexpr uint8_t kColourRgba = 6;

// The IHDR data (">IIBBBBB"). A negative dimension cannot be packed unsigned: the host's
// struct.pack is run on it for its own error.
bool pack_ihdr(PyObject* module, const png::ImageArgs& image, uint8_t* out)
{
    const uint8_t colour = image.has_alpha() ? kColourRgba : kColourRgb;
    if (image.width < 0 || image.height < 0) {
        Ref args = Ref::consume(Py_BuildValue("(siiiiiii)", ">IIBBBBB", image.width, image.height, int{kBitDepth},
                                              int{colour}, 0, 0, 0));
        return args && png::raise_pack_error(module, args.get());
    }
    png::write_be32(out, static_cast<uint32_t>(image.width));
    png::write_be32(out + 4, static_cast<uint32_t>(image.height));
    out[8] = kBitDepth;
    out[9] = colour;
    out[10] = 0;  // compression method
    out[11] = 0;  // filter method
    out[12] = 0;  // interlace method
    return true;
}

}  // namespace

PyObject* write_png(const Call& call)
{
    // path, width, height, pixels, alpha, filter_types
    PyObject* module = call.module;
    png::ImageArgs image;
    if (!png::image_args(call.args, call.args[5], &image) || !png::check_lengths(image)) return nullptr;
    uint8_t ihdr[kIhdrSize];
    if (!pack_ihdr(module, image, ihdr)) return nullptr;
    Ref compressed = png::compress_image(module, image);
    if (!compressed) return nullptr;
    const png::ByteSpan idat = png::bytes_of(compressed.get());
    if (!png::check_chunk_length(module, idat.size())) return nullptr;
    Ref signature;
    BufferView signature_bytes;
    if (!png::png_signature(module, &signature, &signature_bytes)) return nullptr;

    const bool saved = save_file(state_of(module)->builtin_open, call.args[0], [&](OutputFile& file) {
        return file.write(png::bytes_of(signature_bytes))
               && png::write_chunk(file, module, png::kIhdr, {ihdr, kIhdrSize})
               && png::write_chunk(file, module, png::kIdat, idat) && png::write_chunk(file, module, png::kIend, {});
    });
    if (!saved) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace qv

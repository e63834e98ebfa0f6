#include "png/image_header.hpp"

#include "interop/errors.hpp"
#include "codec/png/chunk_layout.hpp"
#include "png/chunk_reader.hpp"

namespace qv::png {

namespace {

constexpr uint32_t kIhdrSize = 13;

// An unsigned header field held in a signed 32-bit integer.
bool to_signed(uint32_t value, int32_t* out)
{
    if (value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

}  // namespace

bool parse_ihdr(PyObject* module, const ChunkRead& chunk, ImageHeader* header)
{
    if (chunk.length != kIhdrSize) return raise_host_unpack_error(module, ">IIBBBBB", chunk.data.get());
    const uint8_t* p = chunk.bytes;
    ImageHeader parsed;
    if (!to_signed(read_be32(p), &parsed.width) || !to_signed(read_be32(p + 4), &parsed.height)) return false;
    parsed.seen = true;
    parsed.bit_depth = p[8];
    parsed.color_type = p[9];
    parsed.compression = p[10];
    parsed.filter_method = p[11];
    parsed.interlace = p[12];
    *header = parsed;
    return true;
}

bool check_header(const ImageHeader& header)
{
    const char* problem = nullptr;
    if (!header.seen) {
        problem = "Incomplete PNG header information";
    } else if (header.bit_depth != 8) {
        problem = "Only 8-bit PNG images are supported";
    } else if (header.color_type != 2 && header.color_type != 6) {
        problem = "Only RGB/RGBA PNG images are supported";
    } else if (header.compression != 0 || header.filter_method != 0 || header.interlace != 0) {
        problem = "Unsupported PNG configuration (compression/filter/interlace)";
    }
    if (problem == nullptr) return true;
    raise_value_error(problem);
    return false;
}

bool sizes_fit_int32(const ImageHeader& header)
{
    // width, height < 2^31: exact in 64 bits. The row length bounds nothing in an image
    // without rows (no row buffer is made), so a wide image of height 0 opens as it saves.
    const ScanlineLayout layout = header.layout();
    return (layout.height == 0 || layout.row_length() + 1 <= INT32_MAX) && layout.inflated_size() <= INT32_MAX &&
           layout.width * layout.height * 3 <= INT32_MAX;
}

}  // namespace qv::png

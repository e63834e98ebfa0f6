// Small PNG pieces built for the native tests: chunks laid out by hand with zlib's own CRC,
// IHDR data, and whole files (without the signature, where the core decoder starts).
#pragma once

#include "reference.hpp"

#include <string>

namespace qv::ref {

inline void set_be32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

inline void put_be32(Bytes& out, uint32_t v)
{
    out.resize(out.size() + 4);
    set_be32(out.data() + out.size() - 4, v);
}

// Sized once and filled by index (the compiler's overlap checks misread piecewise inserts).
inline Bytes png_chunk(const std::string& type, const Bytes& data)
{
    Bytes out(12 + data.size());
    set_be32(out.data(), static_cast<uint32_t>(data.size()));
    for (size_t i = 0; i < 4 && i < type.size(); ++i) out[4 + i] = static_cast<uint8_t>(type[i]);
    for (size_t i = 0; i < data.size(); ++i) out[8 + i] = data[i];
    const uLong crc = crc32(0, out.data() + 4, static_cast<uInt>(4 + data.size()));
    set_be32(out.data() + 8 + data.size(), static_cast<uint32_t>(crc));
    return out;
}

inline Bytes ihdr_data(uint32_t width, uint32_t height, uint8_t depth = 8, uint8_t colour = 2, uint8_t compression = 0,
                       uint8_t filter = 0, uint8_t interlace = 0)
{
    Bytes out;
    put_be32(out, width);
    put_be32(out, height);
    for (uint8_t b : {depth, colour, compression, filter, interlace}) out.push_back(b);
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// IHDR, the zlib data of `img` cut into IDAT chunks of `lengths` (the rest in a last one),
// IEND.
inline Bytes png_body(const Image& img, std::initializer_list<size_t> lengths = {})
{
    const Bytes z = compress(scanlines(img));
    Bytes out = png_chunk("IHDR", ihdr_data(static_cast<uint32_t>(img.width), static_cast<uint32_t>(img.height), 8,
                                            img.bpp == 4 ? 6 : 2));
    size_t at = 0;
    for (size_t n : lengths) {
        n = std::min(n, z.size() - at);
        const Bytes piece(z.begin() + static_cast<ptrdiff_t>(at), z.begin() + static_cast<ptrdiff_t>(at + n));
        const Bytes chunk = png_chunk("IDAT", piece);
        out.insert(out.end(), chunk.begin(), chunk.end());
        at += n;
    }
    const Bytes last = png_chunk("IDAT", Bytes(z.begin() + static_cast<ptrdiff_t>(at), z.end()));
    out.insert(out.end(), last.begin(), last.end());
    const Bytes end = png_chunk("IEND", {});
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

}  // namespace qv::ref

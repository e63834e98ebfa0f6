"""Builders for the PNG and BMP files the tests feed to the module.

Everything here is an independent, plain-Python encoder, so it can serve as a reference.
"""

import struct
import zlib

PNG_SIG = b"\x89PNG\r\n\x1a\n"
IEND = b"\x00\x00\x00\x00IEND\xaeB`\x82"


def png_chunk(ctype, data, crc=None):
    """One chunk in the wire layout; `crc` overrides the computed CRC."""
    if crc is None:
        crc = zlib.crc32(ctype + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", crc)


def ihdr_data(width, height, bit_depth=8, color_type=2, compression=0, filter_method=0, interlace=0):
    return struct.pack(">IIBBBBB", width, height, bit_depth, color_type, compression, filter_method, interlace)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    if pb <= pc:
        return b
    return c


def filter_row(ftype, row, prev, bpp):
    """Filters one unfiltered row; `prev` is the previous unfiltered row (zeros for the first)."""
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        pred = (0, a, b, (a + b) // 2, paeth(a, b, c))[ftype]
        out[i] = (x - pred) & 0xFF
    return bytes(out)


def scanlines(width, height, samples, channels, filters=None):
    """The uncompressed image data: a filter byte and the filtered row for every row."""
    row_len = width * channels
    prev = bytes(row_len)
    out = bytearray()
    for y in range(height):
        row = samples[y * row_len:(y + 1) * row_len]
        ftype = filters[y] if filters is not None else 0
        out.append(ftype)
        out += filter_row(ftype, row, prev, channels)
        prev = row
    return bytes(out)


def split(data, lengths):
    """Cuts `data` into pieces of the given lengths; the last piece takes the rest."""
    pieces, offset = [], 0
    for n in lengths[:-1]:
        pieces.append(data[offset:offset + n])
        offset += n
    pieces.append(data[offset:])
    return pieces


def make_png(width, height, samples, channels=3, filters=None, idat_lengths=None,
             before=(), between=(), after=(), level=6, raw=None, end=True, color_type=None):
    """A complete PNG. `samples` are interleaved RGB or RGBA rows; `before`/`between`/`after`
    are (type, data) chunks placed before the first IDAT, between the first two IDATs and
    before IEND. `raw` replaces the filtered scanline data (to build broken files)."""
    if raw is None:
        raw = scanlines(width, height, samples, channels, filters)
    compressed = zlib.compress(raw, level)
    pieces = split(compressed, idat_lengths) if idat_lengths else [compressed]
    if color_type is None:
        color_type = 6 if channels == 4 else 2
    out = [PNG_SIG, png_chunk(b"IHDR", ihdr_data(width, height, color_type=color_type))]
    out += [png_chunk(t, d) for t, d in before]
    out.append(png_chunk(b"IDAT", pieces[0]))
    out += [png_chunk(t, d) for t, d in between]
    out += [png_chunk(b"IDAT", p) for p in pieces[1:]]
    out += [png_chunk(t, d) for t, d in after]
    if end:
        out.append(IEND)
    return b"".join(out)


def bmp_file(width, height, rgb, top_down=False, xppm=2835, yppm=2835, clr_used=0, clr_important=0,
             gap=b"", planes=1, bit_count=24, compression=0, dib_size=40, pixel_offset=None, pad=b"\x00"):
    """A 24-bit BMP from top-down RGB rows; `gap` sits between the headers and the pixels."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r, g, b = rgb[(y * width + x) * 3:(y * width + x) * 3 + 3]
            row += bytes((b, g, r))
        row += pad * (stride - len(row))
        rows.append(bytes(row))
    if not top_down:
        rows.reverse()
    pixels = b"".join(rows)
    offset = 54 + len(gap) if pixel_offset is None else pixel_offset
    stored_height = -height if top_down else height
    header = b"BM" + struct.pack("<IHHI", 54 + len(gap) + len(pixels), 0, 0, offset)
    info = struct.pack("<I", dib_size) + struct.pack(
        "<iiHHIIiiII", width, stored_height, planes, bit_count, compression, len(pixels), xppm, yppm,
        clr_used, clr_important)
    return header + info + gap + pixels


def pattern(width, height, channels=3, seed=0):
    """Deterministic, photo-like sample bytes (gradients plus noise)."""
    out = bytearray(width * height * channels)
    state = seed * 2654435761 + 12345
    i = 0
    for y in range(height):
        for x in range(width):
            for c in range(channels):
                state = (state * 1103515245 + 12345) & 0x7FFFFFFF
                out[i] = (x * 7 + y * 3 + c * 50 + (state >> 16) % 16) & 0xFF
                i += 1
    return bytes(out)

"""Writes the seed corpus of the native fuzz targets into fuzz/native/seeds/TARGET/.

Each seed is the target's small header followed by its payload (see the comment at the top of
each target). Run from anywhere: python3 fuzz/native/make_seeds.py
"""

import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def scanlines(width, height, bpp, types, rng):
    """Filtered scanline data of a random image, one filter type a row from `types`."""
    out = bytearray()
    prev = bytes(width * bpp)
    for y in range(height):
        row = bytes(rng.randrange(256) for _ in range(width * bpp))
        t = types[y % len(types)]
        out.append(t)
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            pred = [0, a, b, (a + b) // 2, paeth(a, b, c)][t]
            out.append((x - pred) & 0xFF)
        prev = row
    return bytes(out)


def header(width, height, flags, seed):
    return bytes([width, height, flags, seed])


def inflate_seeds(rng):
    rgb = scanlines(3, 2, 3, [1, 4], rng)
    rgba = scanlines(5, 4, 4, [0, 1, 2, 3, 4], rng)
    return {
        "rgb_3x2": header(3, 2, 0, 1) + zlib.compress(rgb),
        "rgba_5x4_pieces": header(5, 4, 1 | (2 << 2) | 0xE0, 7) + zlib.compress(rgba, 9),
        "rgba_5x4_stored": header(5, 4, 1 | 2, 0) + rgba,
        "width0": header(0, 3, 0, 0) + zlib.compress(bytes([0, 4, 2])),
        "bad_filter": header(3, 2, 0, 0) + zlib.compress(bytes([5]) + rgb[1:]),
        "truncated": header(3, 2, 0, 0) + zlib.compress(rgb)[:-3],
        "rgb_16x16_paeth": header(16, 16, 4 << 2, 3) + zlib.compress(scanlines(16, 16, 3, [4, 3], rng)),
    }


def round_trip_seeds(rng):
    def rows(width, bpp, types):
        """Each row's filter type, then its pixel bytes."""
        out = bytearray()
        for t in types:
            out.append(t)
            out += bytes(rng.randrange(256) for _ in range(width * bpp))
        return bytes(out)

    return {
        "rgb_1x1": header(1, 1, 2, 0) + bytes([0, 10, 20, 30]),
        "rgb_4x5_mixed": header(4, 5, 0, 9) + rows(4, 3, [0, 1, 2, 3, 4]),
        "rgba_7x3": header(7, 3, 1 | (3 << 2), 5) + rows(7, 4, [4, 3, 2]),
        "bad_filter": header(2, 2, 0, 0) + rows(2, 3, [1, 255]),
        "width0": header(0, 4, 0, 0) + bytes([0, 1, 2, 3]),
        "rgb_20x9_paeth": header(20, 9, 4 << 2, 1) + rows(20, 3, [4] * 9),
    }


def bmp_rows_seeds(rng):
    return {
        "empty": b"",
        "one_pixel": bytes([1, 2, 3]),
        "seventeen_pixels": bytes(rng.randrange(256) for _ in range(51)),
        "header_fields": bytes(rng.randrange(256) for _ in range(100)),
    }


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_body(width, height, colour, types, rng, idat_lengths=(), extra=()):
    """The chunks after the signature: IHDR, `extra` chunks, the image data cut into IDAT
    chunks of `idat_lengths` (the rest in a last one), IEND."""
    z = zlib.compress(scanlines(width, height, 4 if colour == 6 else 3, types, rng))
    out = png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0))
    out += b"".join(png_chunk(kind, data) for kind, data in extra)
    at = 0
    for n in idat_lengths:
        out += png_chunk(b"IDAT", z[at:at + n])
        at += n
    return out + png_chunk(b"IDAT", z[at:]) + png_chunk(b"IEND", b"")


def png_decode_seeds(rng):
    # A flag byte (bit 0: the harness fixes the CRCs) before the chunks; a whole file works too.
    return {
        "rgb_3x2": b"\x00" + png_body(3, 2, 2, [1, 4], rng),
        "rgba_5x4_split": b"\x00" + png_body(5, 4, 6, [0, 1, 2, 3, 4], rng, [3, 0, 10]),
        "rgb_9x7_text": b"\x01" + png_body(9, 7, 2, [4, 3], rng, [20], [(b"tEXt", b"k\x00v")]),
        "zero_width": b"\x01" + png_body(0, 3, 2, [0, 4, 2], rng),
        "whole_file": b"\x89PNG\r\n\x1a\n" + png_body(2, 2, 6, [2], rng),
    }


def inflate_diff_seeds(rng):
    """Mode byte, stage byte, three size bytes, payload (see inflate_diff.cpp): streams as they
    are, asked for their own size, and payloads to compress at a level, unchanged (a zero
    steering tail) or with a few bytes changed."""
    payloads = [(b"", 6), (b"abc" * 50, 6), (bytes(rng.randrange(256) for _ in range(300)), 1),
                (bytes(2000), 9), (b"\x00\x01" * 700, 0)]
    seeds = {}
    for i, (payload, level) in enumerate(payloads):
        size = len(payload).to_bytes(3, "little")
        seeds[f"stream_{i}"] = bytes([0, 12]) + size + zlib.compress(payload, level)
        seeds[f"checked_{i}"] = bytes([2, 12]) + size + zlib.compress(payload, level)
        seeds[f"unchanged_{i}"] = bytes([1 | level << 1, 3]) + size + payload + bytes(8)
        seeds[f"mutated_{i}"] = bytes([1 | level << 1, 8]) + size + payload + bytes([5, 17, 3, 200])
    return seeds


def bmp_file(width, height, rgb, top_down=False, gap=b"", xppm=2835, clr_used=0):
    """A 24-bit BMP of `rgb` (R, G, B, top row first), rows padded to 4 bytes."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r, g, b = rgb[(y * width + x) * 3:(y * width + x) * 3 + 3]
            row += bytes((b, g, r))
        rows.append(bytes(row) + bytes(stride - len(row)))
    if not top_down:
        rows.reverse()
    pixels = b"".join(rows)
    offset = 54 + len(gap)
    stored_height = -height if top_down else height
    head = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + struct.pack(
        "<IiiHHIIiiII", 40, width, stored_height, 1, 24, 0, len(pixels), xppm, 2835, clr_used, 0)
    return head + gap + pixels


def bmp_decode_seeds(rng):
    def rgb(width, height):
        return bytes(rng.randrange(256) for _ in range(width * height * 3))

    return {
        "bottom_up_1x1": bmp_file(1, 1, bytes([1, 2, 3])),
        "top_down_3x2": bmp_file(3, 2, rgb(3, 2), top_down=True),
        "bottom_up_5x4_gap": bmp_file(5, 4, rgb(5, 4), gap=bytes(range(12)), xppm=-1, clr_used=7),
        "zero_height": bmp_file(4, 0, b""),
        "zero_width": bmp_file(0, 3, b""),
        "cut_in_padding": bmp_file(2, 2, rgb(2, 2))[:-1],
    }


def main():
    rng = random.Random(1)
    for target, seeds in (("inflate", inflate_seeds(rng)), ("round_trip", round_trip_seeds(rng)),
                          ("bmp_rows", bmp_rows_seeds(rng)), ("png_decode", png_decode_seeds(rng)),
                          ("inflate_diff", inflate_diff_seeds(random.Random(2))),
                          ("bmp_decode", bmp_decode_seeds(random.Random(3)))):
        folder = os.path.join(HERE, "seeds", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

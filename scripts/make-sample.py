"""Writes python/Quorvex/data/sample.png, the image the demo works on: 64 x 48 RGBA, every
filter type, three IDAT chunks and a few ancillary chunks. Plain zlib and struct only."""

import math
import struct
import sys
import zlib
from pathlib import Path


def chunk(ctype, data):
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", zlib.crc32(ctype + data))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def main(out):
    w, h, bpp = 64, 48, 4
    rows = []
    for y in range(h):
        row = bytearray()
        for x in range(w):
            r = int(127 + 127 * math.sin(x / 9))
            g = int(127 + 127 * math.cos(y / 7))
            b = (x * 4 + y * 2) & 0xFF
            a = 255 if (x - 40) ** 2 + (y - 14) ** 2 > 100 else 96
            row += bytes((r, g, b, a))
        rows.append(bytes(row))
    raw, prev = bytearray(), bytes(w * bpp)
    for y, row in enumerate(rows):
        f = y % 5
        raw.append(f)
        for i, v in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            c = prev[i - bpp] if i >= bpp else 0
            pred = (0, a, prev[i], (a + prev[i]) // 2, paeth(a, prev[i], c))[f]
            raw.append((v - pred) & 0xFF)
        prev = row
    z = zlib.compress(bytes(raw), 9)
    third = len(z) // 3
    parts = [z[:third], z[third:2 * third], z[2 * third:]]
    png = [b"\x89PNG\r\n\x1a\n", chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)),
           chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1)),
           chunk(b"tEXt", b"Title\x00Quorvex sample"),
           chunk(b"tIME", struct.pack(">HBBBBB", 2026, 12, 7, 12, 0, 0))]
    png += [chunk(b"IDAT", p) for p in parts]
    png += [chunk(b"tEXt", b"Software\x00Quorvex make-sample"), chunk(b"IEND", b"")]
    Path(out).write_bytes(b"".join(png))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parents[1] / "python/Quorvex/data/sample.png")

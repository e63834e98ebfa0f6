"""Fuzz target: the module-level writers, the converter's writer and the chunk helpers with
fuzzed arguments.

The input bytes choose a function and build its arguments: dimensions near the interesting
limits, buffers of matching or wrong lengths and types, filter lists, chunk record lists,
BMP header mappings, IDAT split lengths. Every call must return or raise one of the refusal
types; a file that was written must open again to the same pixels.
"""

import contextlib
import io
import os
import struct
import sys
import zlib

import atheris

from Quorvex import _convert, simpleImage_ext as ext

# IndexError: a BMP pixel buffer too short; BufferError: a read-only alpha plane or filter list.
REFUSALS = (ValueError, TypeError, zlib.error, struct.error, OverflowError, IndexError, BufferError)
SCRATCH = os.environ.get("QUORVEX_FUZZ_SCRATCH", "/dev/shm")
TARGET = os.path.join(SCRATCH, f"write-{os.getpid()}")
SINK = io.StringIO()

EDGE_INTS = [0, 1, 2, 3, 4, 5, 7, 255, 256, -1, -2, 2**31 - 1, -(2**31), 2**31, 2**32 - 1, 2**32,
             2**63, -(2**63) - 1, 46341, 26755, 65536, 715827882, 1 << 30]
CHUNK_TYPES = [b"IHDR", b"IDAT", b"IEND", b"tEXt", b"ab", b"", b"IDATx"]


class Args:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def small(self, high=8):
        return self.fdp.ConsumeIntInRange(0, high)

    def integer(self):
        kind = self.small(3)
        if kind == 0:
            return self.pick(EDGE_INTS)
        if kind == 1:
            return self.fdp.ConsumeIntInRange(-4, 16)
        if kind == 2:
            return self.fdp.ConsumeInt(self.pick([1, 4, 5, 9]))
        return self.pick([True, 1.5, "3", None])

    def blob(self, size):
        """`size` bytes (or fewer when the input runs out), in one of the byte-like types."""
        raw = self.fdp.ConsumeBytes(max(0, min(size, 1 << 16)))
        return self.pick([bytes, bytearray, bytearray, memoryview, lambda b: list(b), lambda b: None])(raw)

    def buffer_for(self, count):
        """Mostly a buffer of exactly `count` bytes, sometimes one byte off, sometimes any size."""
        count = count if isinstance(count, int) and 0 <= count <= 1 << 16 else self.small(64)
        return self.blob(count + self.pick([0, 0, 0, -1, 1, -count]))

    def filters(self, height):
        height = height if isinstance(height, int) and 0 <= height <= 1 << 12 else self.small(8)
        kind = self.small(4)
        if kind == 0:
            return None
        values = [self.pick([0, 1, 2, 3, 4, 0, 4, 5, 255]) for _ in range(height + self.pick([0, 0, 1, -1]))]
        if kind == 4:
            return values
        return bytearray(v & 0xFF for v in values)

    def chunks(self, ihdr):
        records = []
        for _ in range(self.small(6)):
            ctype = self.pick(CHUNK_TYPES)
            data = None if ctype == b"IDAT" and self.small(3) else self.blob(self.small(20))
            length = self.integer() if self.small(3) == 0 else (self.small(40) if data is None else len(data))
            record = (ctype, data, length)
            if self.small(12) == 0:
                record = record[:self.small(2)] if self.small(1) else record + (0,)
            records.append(record)
        if self.small(2):
            records.insert(0, (b"IHDR", ihdr, 13))
        return records if self.small(5) else tuple(records)

    def meta(self):
        if self.small(3) == 0:
            return None
        keys = ["xppm", "yppm", "clrUsed", "clrImportant", "other"]
        return {self.pick(keys): self.integer() for _ in range(self.small(5))}


def image_args(args):
    width, height = args.integer(), args.integer()
    if width == 0 and isinstance(height, int) and height > 1 << 16:
        # A real image: a filter byte for each of its many empty rows, megabytes to deflate.
        height = 1 << 16
    pixel_count = int(width * height) if isinstance(width, (int, float)) and isinstance(height, (int, float)) else -1
    pixels = args.buffer_for(pixel_count * 3 if pixel_count >= 0 else -1)
    alpha = args.buffer_for(pixel_count) if args.small(1) else None
    return width, height, pixels, alpha


def reopened(path):
    SINK.seek(0)
    SINK.truncate()
    with contextlib.redirect_stdout(SINK):
        return ext.SimpleImage.open(path)


def check_png(width, height, pixels, alpha):
    width, height = int(width), int(height)  # floats are truncated on the way in
    image = reopened(TARGET)
    assert image.size == (width, height)
    assert image._pixels == bytes(pixels)[:width * height * 3]
    if alpha is not None:
        assert image._alpha == bytes(alpha)[:width * height]


def write_png(args):
    width, height, pixels, alpha = image_args(args)
    ext._writePng(TARGET, width, height, pixels, alpha, args.filters(height))
    check_png(width, height, pixels, alpha)


def write_png_with_chunks(args):
    width, height, pixels, alpha = image_args(args)
    ihdr = args.blob(13)
    chunks = args.chunks(ihdr)
    ext._writePngWithChunks(TARGET, width, height, pixels, alpha, chunks, args.filters(height))
    with open(TARGET, "rb") as f:
        written = f.read()
    assert written.startswith(ext.PNG_SIGNATURE)


def convert_png(args):
    """The converter's writer: the same two PNG writers, with libdeflate compressing."""
    width, height, pixels, alpha = image_args(args)
    chunks = args.chunks(args.blob(13)) if args.small(1) else None
    _convert.write_png(TARGET, width, height, pixels, alpha, chunks, args.filters(height))
    if chunks:
        with open(TARGET, "rb") as f:
            assert f.read(8) == ext.PNG_SIGNATURE
    else:
        check_png(width, height, pixels, alpha)


def write_bmp(args):
    width, height, pixels, _ = image_args(args)
    ext._writeBmp(TARGET, width, height, pixels, args.meta())
    width, height = int(width), int(height)
    image = reopened(TARGET)
    assert image.size == (width, abs(height)), (image.size, width, height)
    assert image._pixels == bytes(pixels)[:width * abs(height) * 3]


def split_idat(args):
    data = args.fdp.ConsumeBytes(args.small(200)) if args.small(5) else None
    lengths = [args.integer() for _ in range(args.small(6))] if args.small(5) else None
    pieces = ext._split_idat_payload(data, lengths)
    if data is not None:
        assert b"".join(pieces) == data


def make_chunk(args):
    ctype = args.fdp.ConsumeBytes(args.pick([4, 4, 0, 3, 5]))
    data = args.fdp.ConsumeBytes(args.small(100))
    chunk = ext._makeChunk(ctype, data)
    assert ext._readChunk(io.BytesIO(chunk)) == (ctype, data) or len(ctype) != 4


CALLS = [write_png, write_png_with_chunks, write_bmp, split_idat, make_chunk, convert_png]


def TestOneInput(data):
    args = Args(data)
    call = args.pick(CALLS)
    try:
        call(args)
    except REFUSALS:
        pass


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

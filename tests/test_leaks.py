"""Reference and memory leak checks: every public call, on its success and its failure paths,
is repeated a thousand times after a warm-up; the interpreter's allocated block count must
not grow with the repetitions, and the process's resident size must stay flat overall."""

import contextlib
import gc
import io
import os
import sys

import pytest

from imagefiles import bmp_file, make_png, pattern
from Quorvex import simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage

ITERATIONS = 1000
WARM_UP = 50
BLOCK_TOLERANCE = 60  # far below one object a call
RSS_TOLERANCE = 8 << 20
# Inflating 2 MiB only to refuse it takes milliseconds: fewer rounds, still far above the tolerance.
SLOW = {"corpus png_inflates_far_beyond.png": 200}
MALFORMED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "malformed")

pytestmark = pytest.mark.skipif(sys.getallocatedblocks() == 0,
                                reason="the interpreter's allocator is bypassed (PYTHONMALLOC=malloc)")

W, H = 16, 12
RGB = pattern(W, H, 3)
RGBA = pattern(W, H, 4, seed=1)
PNG_RGB = make_png(W, H, RGB, 3, filters=[y % 5 for y in range(H)], idat_lengths=[20, 30],
                   before=[(b"tEXt", b"k\x00v")], between=[(b"zzZz", b"x")])
PNG_RGBA = make_png(W, H, RGBA, 4, filters=[4] * H)
BMP = bmp_file(W, H, RGB, xppm=100, clr_used=3)
PIXELS = bytearray(RGB)
ALPHA = bytearray(W * H)
FILTERS = bytearray(y % 5 for y in range(H))


def quiet(call, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return call(*args)


def refused(call, *args, expected=Exception):
    try:
        quiet(call, *args)
    except expected:
        return
    raise AssertionError(f"{call} did not fail")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def operations(folder):
    png_path = os.path.join(folder, "in.png")
    bmp_path = os.path.join(folder, "in.bmp")
    with open(png_path, "wb") as f:
        f.write(PNG_RGB)
    with open(bmp_path, "wb") as f:
        f.write(BMP)
    out = os.path.join(folder, "out")
    image = quiet(SimpleImage.open, PNG_RGBA)
    from_bmp = quiet(SimpleImage.open, BMP)
    chunks = image._png_chunks
    chunk = ext._makeChunk(b"tEXt", b"abc")

    ops = {
        # opening
        "open png bytes": lambda: quiet(SimpleImage.open, PNG_RGB),
        "open rgba bytearray": lambda: quiet(SimpleImage.open, bytearray(PNG_RGBA)),
        "open bmp bytes": lambda: quiet(SimpleImage.open, BMP),
        "open png path": lambda: quiet(SimpleImage.open, png_path),
        "open bmp path": lambda: quiet(SimpleImage.open, bmp_path),
        "open image": lambda: SimpleImage.open(image),
        "open missing path": lambda: refused(SimpleImage.open, os.path.join(folder, "missing"), expected=OSError),
        "open wrong type": lambda: refused(SimpleImage.open, memoryview(PNG_RGB), expected=TypeError),
        "open keyword error": lambda: refused(lambda: SimpleImage.open(src=b""), expected=TypeError),
        "stream to image": lambda: SimpleImage._streamToImage(io.BytesIO(PNG_RGB)),
        "stream read raises": lambda: refused(SimpleImage._streamToImage, object(), expected=AttributeError),
        # chunks
        "read chunk": lambda: ext._readChunk(io.BytesIO(chunk)),
        "read chunk at end": lambda: ext._readChunk(io.BytesIO(b"")),
        "read chunk bad crc": lambda: refused(ext._readChunk, io.BytesIO(chunk[:-1] + b"\x00"), expected=ValueError),
        "read chunk short": lambda: refused(ext._readChunk, io.BytesIO(chunk[:9]), expected=ValueError),
        "make chunk": lambda: ext._makeChunk(b"IDAT", b"x" * 100),
        "make chunk wrong type": lambda: refused(ext._makeChunk, b"IDAT", bytearray(3), expected=TypeError),
        "split idat": lambda: ext._split_idat_payload(b"x" * 100, [10, 20, 30]),
        "split idat bad length": lambda: refused(ext._split_idat_payload, b"x" * 10, [1, "2"], expected=TypeError),
        "split idat negative": lambda: ext._split_idat_payload(b"x" * 10, [-1, 3]),
        # writers
        "write png": lambda: ext._writePng(out, W, H, PIXELS, ALPHA, FILTERS),
        "write png short pixels": lambda: refused(ext._writePng, out, W, H, PIXELS[:-1], None, expected=ValueError),
        "write png bad filter": lambda: refused(ext._writePng, out, W, 1, PIXELS[:W * 3], None, bytearray([5]),
                                                expected=ValueError),
        "write png read-only alpha": lambda: refused(ext._writePng, out, W, H, PIXELS, bytes(ALPHA),
                                                     expected=BufferError),
        "write png negative width": lambda: refused(ext._writePng, out, -1, 0, b"", None, expected=Exception),
        "write png bad path": lambda: refused(ext._writePng, os.path.join(folder, "no", "x"), W, H, PIXELS,
                                              expected=OSError),
        "write with chunks": lambda: ext._writePngWithChunks(out, W, H, image._pixels, image._alpha, chunks,
                                                             image._png_filters),
        "write with chunks ihdr mismatch": lambda: refused(ext._writePngWithChunks, out, W, H, PIXELS, None, chunks,
                                                           expected=ValueError),
        "write with chunks bad record": lambda: refused(ext._writePngWithChunks, out, W, H, PIXELS, None,
                                                        [(b"IHDR", b"")], expected=ValueError),
        "write bmp": lambda: ext._writeBmp(out, W, H, PIXELS, {"xppm": 1}),
        "write bmp short pixels": lambda: refused(ext._writeBmp, out, W, H, PIXELS[:-1], expected=IndexError),
        "write bmp bad meta": lambda: refused(ext._writeBmp, out, W, H, PIXELS, {"xppm": -1}, expected=Exception),
        # the image object
        "construct": lambda: SimpleImage(W, H, PIXELS, ALPHA, chunks, {"xppm": 1}, FILTERS),
        "construct bad length": lambda: refused(SimpleImage, W, H, PIXELS[:-3], expected=ValueError),
        "construct bad width": lambda: refused(SimpleImage, "w", H, PIXELS, expected=TypeError),
        "copy": lambda: image.copy(),
        "size": lambda: image.size,
        "get pixel": lambda: image.getPixel((3, 4)),
        "get pixel outside": lambda: refused(image.getPixel, (W, 0), expected=ValueError),
        "get pixel bad coords": lambda: refused(image.getPixel, (1, 2, 3), expected=ValueError),
        "put pixel": lambda: image.putPixel((3, 4), (1, 2, 3)),
        "put pixel bad value": lambda: refused(image.putPixel, (3, 4), (1, 2), expected=ValueError),
        "put pixel outside": lambda: refused(image.putPixel, (-1, 4), (1, 2, 3), expected=ValueError),
        "save png": lambda: image.save(out),
        "save bmp source": lambda: from_bmp.save(out),
        "save bmp": lambda: image.saveBmp(out),
        "save wrong path type": lambda: refused(image.save, b"out", expected=TypeError),
        "pickle refused": lambda: refused(image.__reduce__, expected=TypeError),
    }
    # every refusal of the decoders, from the malformed-file corpus
    with open(os.path.join(MALFORMED, "manifest.tsv"), encoding="utf-8") as f:
        rows = [line.split("\t") for line in f if not line.startswith("#")]
    for name, outcome, _ in rows:
        with open(os.path.join(MALFORMED, name), "rb") as f:
            data = f.read()
        if outcome == "ok":
            ops[f"corpus {name}"] = (lambda d: lambda: quiet(SimpleImage.open, d))(data)
        else:
            ops[f"corpus {name}"] = (lambda d: lambda: refused(SimpleImage.open, d))(data)
    return ops


def growth(op, iterations):
    for _ in range(WARM_UP):
        op()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(iterations):
        op()
    gc.collect()
    return before, sys.getallocatedblocks()


def test_no_call_leaks(tmp_path):
    folder = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else str(tmp_path)
    folder = os.path.join(folder, f"leaks-{os.getpid()}")
    os.makedirs(folder, exist_ok=True)
    try:
        ops = operations(folder)
        for op in ops.values():  # everything warmed before the first RSS reading
            for _ in range(WARM_UP):
                op()
        gc.collect()
        rss_before = rss()
        leaking = {}
        for name, op in ops.items():
            # A leak repeats in every round; the interpreter's caches settle after one or two.
            for _ in range(3):
                before, after = growth(op, SLOW.get(name, ITERATIONS))
                if after - before <= BLOCK_TOLERANCE:
                    break
            else:
                leaking[name] = after - before
        gc.collect()
        rss_growth = rss() - rss_before
    finally:
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        os.rmdir(folder)
    assert leaking == {}, f"blocks kept per {ITERATIONS} calls (fewer for {sorted(SLOW)}): {leaking}"
    assert rss_growth < RSS_TOLERANCE, f"RSS grew by {rss_growth} bytes"

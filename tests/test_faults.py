"""Faults from outside: a stream that fails part way, a disk that refuses to grow, a save
that is refused after the target already exists, and a tight address space."""

import errno
import gc
import io
import json
import os
import subprocess
import sys
import textwrap

import pytest

from imagefiles import bmp_file, make_png, pattern
from Quorvex import simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage

W, H = 8, 6
PNG = make_png(W, H, pattern(W, H, 4), 4, filters=[y % 5 for y in range(H)], idat_lengths=[10, 10, 10],
               before=[(b"tEXt", b"k\x00v")])
BMP = bmp_file(W, H, pattern(W, H))


class Broken(Exception):
    pass


class FailingStream(io.BytesIO):
    """A stream over `data` whose `fail_at`-th call of `method` raises Broken."""

    def __init__(self, data, method, fail_at):
        super().__init__(data)
        self.method, self.fail_at, self.calls = method, fail_at, 0

    def _count(self):
        self.calls += 1
        if self.calls == self.fail_at:
            raise Broken(f"{self.method} #{self.calls}")

    def read(self, n=-1):
        if self.method == "read":
            self._count()
        return super().read(n)

    def seek(self, offset, whence=0):
        if self.method == "seek":
            self._count()
        return super().seek(offset, whence)


def calls_made(data, method):
    stream = FailingStream(data, method, 0)
    SimpleImage._streamToImage(stream)
    return stream.calls


FAILURE_POINTS = [(name, data, method, n)
                  for name, data in (("png", PNG), ("bmp", BMP))
                  for method in ("read", "seek")
                  for n in range(1, calls_made(data, method) + 1)]


@pytest.mark.parametrize("name, data, method, fail_at", FAILURE_POINTS,
                         ids=[f"{n}-{m}-{i}" for n, _, m, i in FAILURE_POINTS])
def test_stream_error_passes_through(name, data, method, fail_at):
    stream = FailingStream(data, method, fail_at)
    with pytest.raises(Broken) as caught:
        SimpleImage._streamToImage(stream)
    assert str(caught.value) == f"{method} #{fail_at}"


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the interpreter's allocator is bypassed")
@pytest.mark.parametrize("name, data", [("png", PNG), ("bmp", BMP)])
def test_stream_errors_leak_nothing(name, data):
    points = calls_made(data, "read")

    def fail_everywhere():
        for n in range(1, points + 1):
            try:
                SimpleImage._streamToImage(FailingStream(data, "read", n))
            except Broken:
                pass

    for _ in range(20):
        fail_everywhere()
    for _ in range(3):  # a leak shows in every round
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(300):
            fail_everywhere()
        gc.collect()
        if sys.getallocatedblocks() - before < 50:
            break
    else:
        pytest.fail(f"{sys.getallocatedblocks() - before} blocks kept after {300 * points} failed reads")


@pytest.mark.parametrize("bad_result", [None, "text", 42, [1, 2, 3, 4]])
@pytest.mark.parametrize("name, data", [("png", PNG), ("bmp", BMP)])
def test_read_returning_no_bytes_is_refused(name, data, bad_result):
    class Odd(io.BytesIO):
        def read(self, n=-1):
            got = super().read(n)
            return bad_result if self.tell() > 8 else got

    with pytest.raises((TypeError, ValueError)):
        SimpleImage._streamToImage(Odd(data))


# Runs in a child: the file size limit stops a save part way, and the error must surface.
FILE_SIZE_LIMIT = textwrap.dedent("""
    import json, os, resource, signal, sys
    from Quorvex import simpleImage_ext as ext
    from Quorvex.simpleImage_ext import SimpleImage
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), int(sys.argv[2])))
    w, h = int(sys.argv[3]), int(sys.argv[4])
    pixels = bytearray(os.urandom(w * h * 3))  # incompressible: the PNG is as large as the BMP
    image = SimpleImage(w, h, pixels)
    writers = {
        "png": lambda: ext._writePng(sys.argv[1], w, h, pixels),
        "bmp": lambda: ext._writeBmp(sys.argv[1], w, h, pixels),
        "save": lambda: image.save(sys.argv[1]),
        "saveBmp": lambda: image.saveBmp(sys.argv[1]),
    }
    try:
        writers[sys.argv[5]]()
        print(json.dumps(["ok"]))
    except BaseException as exc:
        print(json.dumps([type(exc).__name__, getattr(exc, "errno", None), isinstance(exc, OSError)]))
""")


@pytest.mark.parametrize("writer", ["png", "bmp", "save", "saveBmp"])
@pytest.mark.parametrize("limit, width, height", [
    (100, 16, 16),        # stops within the buffered first writes
    (4000, 64, 64),       # stops on the flush when the file is closed
    (20000, 400, 300),    # stops inside a large write of image data
])
def test_full_disk_surfaces_as_efbig(tmp_path, writer, limit, width, height):
    target = tmp_path / "out"
    out = subprocess.run([sys.executable, "-c", FILE_SIZE_LIMIT, str(target), str(limit), str(width), str(height),
                          writer], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == ["OSError", errno.EFBIG, True], out.stderr
    # The output went to a new file beside the target, removed when the write failed.
    assert os.listdir(tmp_path) == []


PIXELS = bytearray(pattern(W, H))
CHUNKS = SimpleImage._streamToImage(io.BytesIO(make_png(W, H, bytes(PIXELS))))[5]
REFUSED_SAVES = [
    ("png wrong pixel length", lambda p: ext._writePng(p, W, H, PIXELS[:-1]), ValueError),
    ("png filter above 4", lambda p: ext._writePng(p, W, H, PIXELS, None, bytearray([5] * H)), ValueError),
    ("png read-only alpha", lambda p: ext._writePng(p, W, H, PIXELS, bytes(W * H)), BufferError),
    ("png negative size", lambda p: ext._writePng(p, -W, -H, PIXELS), Exception),
    ("chunks wrong header", lambda p: ext._writePngWithChunks(p, W + 1, H, bytearray((W + 1) * H * 3), None, CHUNKS),
     ValueError),
    ("chunks bad record", lambda p: ext._writePngWithChunks(p, W, H, PIXELS, None, [(b"IHDR",)]), ValueError),
    ("chunks record not bytes", lambda p: ext._writePngWithChunks(p, W, H, PIXELS, None, [("tEXt", b"", 0)]),
     TypeError),
    ("bmp short pixels", lambda p: ext._writeBmp(p, W, H, PIXELS[:-1]), IndexError),
    ("bmp negative resolution", lambda p: ext._writeBmp(p, W, H, PIXELS, {"xppm": -1}), Exception),
    ("bmp resolution not int", lambda p: ext._writeBmp(p, W, H, PIXELS, {"yppm": "x"}), Exception),
    ("image with bad filters", lambda p: SimpleImage(W, H, PIXELS, None, None, None, bytearray([9] * H)).save(p),
     ValueError),
    ("image path not str", lambda p: SimpleImage(W, H, PIXELS).save(p.encode()), TypeError),
]


@pytest.mark.parametrize("name, save, error", REFUSED_SAVES, ids=[r[0] for r in REFUSED_SAVES])
def test_refused_save_leaves_the_existing_file_alone(tmp_path, name, save, error):
    target = tmp_path / "existing.png"
    target.write_bytes(PNG)
    before = os.stat(target)
    with pytest.raises(error):
        save(str(target))
    assert target.read_bytes() == PNG
    assert os.stat(target).st_mtime_ns == before.st_mtime_ns


# An image without rows needs no row buffers, however wide: writing one in a small address
# space must work (it used to ask for three bytes per pixel of a row that is never made).
SMALL_ADDRESS_SPACE = textwrap.dedent("""
    import resource, sys
    from Quorvex import simpleImage_ext as ext
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    ext._writePng(sys.argv[1], 2**31 - 1, 0, b"")
    ext._writePng(sys.argv[1], 2**31 - 1, 0, b"", bytearray())
    print("ok")
""")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves the address space")
def test_empty_image_of_huge_width_writes_in_little_memory(tmp_path):
    out = subprocess.run([sys.executable, "-c", SMALL_ADDRESS_SPACE, str(tmp_path / "wide.png")],
                         capture_output=True, text=True, timeout=60)
    assert out.stdout == "ok\n", out.stderr

"""Opening under attack: streams and buffer objects whose callbacks change or free what the
module is reading, floods of cheap chunks, degenerate shapes, data that inflates far beyond
its header, and BMP headers that claim more than any file system holds.

Every case that could crash, hang or allocate without bound runs in a child interpreter;
time is bounded by the child's timeout only. The slowest cases (the flood from a path, the
inflate bomb, the tall image without pixels) take about a second each here and run under the
sanitizer too.
"""

import errno
import io
import struct
import sys
import zlib

import pytest

from conftest import SANITIZED
from imagefiles import IEND, PNG_SIG, bmp_file, ihdr_data, make_png, pattern, png_chunk
from isolated import run_isolated
from Quorvex.simpleImage_ext import SimpleImage

W, H = 16, 12
PIXELS = pattern(W, H, 3, seed=3)
# Five IDAT pieces, so that a callback on one of them has others to drop.
SPLIT_PNG = make_png(W, H, PIXELS, filters=[y % 5 for y in range(H)], idat_lengths=[30, 30, 30, 30, 30],
                     between=[(b"tEXt", b"k\x00v")])
OTHER = make_png(3, 2, pattern(3, 2, 4, seed=9), 4)

needs_buffer_protocol = pytest.mark.skipif(sys.version_info < (3, 12),
                                           reason="__buffer__ on Python classes needs 3.12")


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


# The child's side of the stream attacks: `Piece` is a buffer object standing for data read
# from the stream; `attack` (set per case) runs when its buffer is taken.
ATTACK_PRELUDE = """
import gc, io, sys
from Quorvex import simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage
data = open(sys.argv[2], "rb").read()
other = open(sys.argv[3], "rb").read()

def lists_holding(obj):
    return [r for r in gc.get_referrers(obj) if isinstance(r, list)]

def clear_lists(piece):
    for found in lists_holding(piece):
        found.clear()

def replace_other_pieces(piece):
    # Frees every other piece held in a list, so that its memory is reused.
    for found in lists_holding(piece):
        for i, item in enumerate(found):
            if item is not piece:
                found[i] = bytes(len(item)) if isinstance(item, Piece) else None
    junk = [bytes(64) for _ in range(1000)]

def reenter(piece):
    report_inner.append(SimpleImage._streamToImage(io.BytesIO(other))[:2])

report_inner = []

class Piece:
    attack = None

    def __init__(self, data):
        self.data = data

    def __len__(self):
        return len(self.data)

    def __buffer__(self, flags):
        if Piece.attack is not None:
            Piece.attack(self)
        return memoryview(self.data)

class PieceStream(io.BytesIO):
    # Hands out every chunk field and all data as a Piece (the signature stays bytes).
    def read(self, n=-1):
        out = super().read(n)
        return Piece(out) if self.tell() > 8 else out

def outcome(call):
    try:
        result = call()
    except Exception as error:
        return [type(error).__name__, str(error)]
    if isinstance(result, SimpleImage):
        result = (None, None, result._pixels, None, None, result._png_chunks)
    return ["ok", bytes(result[2]).hex(), [list(r[0].data if isinstance(r[0], Piece) else r[0]) for r in result[5]]]
"""

STREAM_ATTACKS = {
    "piece clears the lists holding it": "Piece.attack = clear_lists",
    "piece frees the other pieces": "Piece.attack = replace_other_pieces",
    "piece re-enters the decoder": "Piece.attack = reenter",
}
ROUTES = {
    "_streamToImage": "report(outcome(lambda: SimpleImage._streamToImage(PieceStream(data))))",
    "open with BytesIO rebound": "ext.BytesIO = PieceStream\nreport(outcome(lambda: SimpleImage.open(data)))",
}


def expected_types(data):
    decoded = SimpleImage._streamToImage(io.BytesIO(data))
    return decoded[2], [list(r[0]) for r in decoded[5]]


@needs_buffer_protocol
@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("attack", STREAM_ATTACKS)
def test_buffer_callbacks_cannot_pull_data_from_under_the_decoder(tmp_path, route, attack):
    source = ATTACK_PRELUDE + STREAM_ATTACKS[attack] + "\n" + ROUTES[route]
    done = run_isolated(source, write(tmp_path, "a.png", SPLIT_PNG), write(tmp_path, "b.png", OTHER), timeout=60)
    assert not done.crashed and not done.timed_out, done.describe()
    pixels, types = expected_types(SPLIT_PNG)
    # The module no longer keeps its pieces in a list any callback can reach: the file decodes
    # as it is, with every chunk recorded.
    assert done.value == ["ok", bytes(pixels).hex(), types], done.describe()


@needs_buffer_protocol
def test_large_chunk_read_in_pieces_survives_callbacks(tmp_path):
    # Chunk data over 16 MiB is read in several pieces and joined.
    big = bytes(range(256)) * ((17 << 20) // 256)
    data = make_png(4, 4, pattern(4, 4), before=[(b"zBIG", big)])
    source = ATTACK_PRELUDE + """
Piece.attack = clear_lists
result = SimpleImage._streamToImage(PieceStream(data))
report([bytes(result[2]).hex(), len(result[5][1][1]), result[5][1][1] == data[41:41 + len(result[5][1][1])]])
"""
    done = run_isolated(source, write(tmp_path, "a.png", data), write(tmp_path, "b.png", OTHER), timeout=60)
    assert not done.crashed, done.describe()
    assert done.value == [pattern(4, 4).hex(), len(big), True], done.describe()


def chunk_starts(data):
    starts, at = set(), 8
    while at < len(data):
        starts.add(at)
        at += 12 + struct.unpack(">I", data[at:at + 4])[0]
    return starts


class ResizingStream(io.BytesIO):
    """Returns chunk data as bytearrays and, as each new chunk starts, overwrites and then
    grows those of the chunks already read: the bytes whose CRC was checked must be the
    bytes decoded."""

    def __init__(self, data):
        super().__init__(data)
        self.starts = chunk_starts(data)
        self.current, self.finished = [], []

    def read(self, n=-1):
        if self.tell() in self.starts:
            self.finished += self.current
            self.current = []
            for earlier in self.finished:
                earlier[:] = b"\x00" * len(earlier)
                earlier.extend(b"\x00")
        out = super().read(n)
        if n > 4:
            out = bytearray(out)
            self.current.append(out)
        return out


def test_data_already_read_stays_as_checked():
    result = SimpleImage._streamToImage(ResizingStream(SPLIT_PNG))
    assert result[2] == bytearray(PIXELS)


# Streams whose own methods (set on an io.BytesIO instance) lie or re-enter the module.
INSTANCE_ATTRIBUTE_CASES = {
    # A position before the data: the in-memory reader used to read from there.
    "tell before the start": ("stream.tell = lambda: -(1 << 40)", "ok"),
    "getvalue of other data": ("stream.getvalue = lambda: b'junk'", "ok"),
    "read of its own": ("stream.read = lambda n=-1: (calls.append(n), io.BytesIO.read(stream, n))[1]", "read"),
    "read re-enters open": ("stream.read = lambda n=-1: (calls.append(SimpleImage.open(other).size), "
                            "io.BytesIO.read(stream, n))[1]", "read"),
    "seek re-enters open": ("stream.seek = lambda *a: (calls.append(SimpleImage.open(other).size), "
                            "io.BytesIO.seek(stream, *a))[1]", "seek"),
}


@pytest.mark.parametrize("case", INSTANCE_ATTRIBUTE_CASES)
def test_bytesio_with_methods_of_its_own(tmp_path, case):
    setup, expect = INSTANCE_ATTRIBUTE_CASES[case]
    source = f"""
import io, sys
from Quorvex.simpleImage_ext import SimpleImage
data = open(sys.argv[2], "rb").read()
other = open(sys.argv[3], "rb").read()
calls = []
stream = io.BytesIO(data)
{setup}
result = SimpleImage._streamToImage(stream)
report([bytes(result[2]).hex(), len(calls)])
"""
    done = run_isolated(source, write(tmp_path, "a.png", SPLIT_PNG), write(tmp_path, "b.png", OTHER), timeout=60)
    assert not done.crashed, done.describe()
    pixels, calls = done.value
    assert pixels == PIXELS.hex()
    # The stream's own methods are the ones used: its read for the chunks too, beyond the
    # two reads of the signature.
    assert calls == 0 if expect == "ok" else calls >= (3 if expect == "read" else 1)


# Pixel access whose arguments change the image while it is read or written: `hit` empties
# the pixel buffer from a channel's __index__ or a coordinate's comparison.
PIXEL_CASES = [
    ("channel converter empties the buffer", lambda img, hit: img.putPixel((3, 2), (Index(1, hit), 2, 3))),
    ("last channel converter empties the buffer", lambda img, hit: img.putPixel((3, 2), [1, 2, Index(3, hit)])),
    ("coordinate comparison empties the buffer", lambda img, hit: img.getPixel((Coord(3, hit), 2))),
    ("coordinate comparison re-enters open", lambda img, hit: img.getPixel((Coord(3, reopen), 2))),
]


def reopen(img):
    SimpleImage.open(OTHER)


class Index:
    def __init__(self, value, hit):
        self.value, self.hit = value, hit

    def __index__(self):
        self.hit(self.img)
        return self.value


class Coord(int):
    """An int whose comparisons run `hit` first."""

    def __new__(cls, value, hit):
        self = super().__new__(cls, value)
        self.hit = hit
        return self

    def __le__(self, other):
        self.hit(self.img)
        return int(self) <= other

    def __lt__(self, other):
        self.hit(self.img)
        return int(self) < other


@pytest.mark.parametrize("name, call", PIXEL_CASES, ids=[c[0] for c in PIXEL_CASES])
def test_pixel_access_with_arguments_that_change_the_image(name, call, capsys, monkeypatch):
    img = SimpleImage.open(SPLIT_PNG)
    for cls in (Index, Coord):
        monkeypatch.setattr(cls, "img", img, raising=False)
    if "re-enters" in name:
        assert call(img, None) == tuple(PIXELS[(2 * W + 3) * 3:(2 * W + 3) * 3 + 3])
        return
    with pytest.raises(IndexError):
        call(img, lambda image: image._pixels.clear())
    assert img._pixels == bytearray()


# On 3.11 any allocation of a Python object can run the collector, and a finalizer there can
# replace the image's buffers in the middle of a call. What a call returns must come from the
# buffers as they were or as they became, never from freed memory (which the debug allocator
# of -X dev fills with 0xDD). Each buffer the finalizer stores holds one value below 200.
BUFFERS_REPLACED_BY_COLLECTOR = """
import contextlib, gc, io, os, tempfile
from Quorvex.simpleImage_ext import SimpleImage
W, H = 4, 3
PATH = os.path.join(tempfile.mkdtemp(), "saved.png")
img = SimpleImage(W, H, bytearray(W * H * 3), bytearray(W * H))
swaps = 0

class Swap:  # garbage in a cycle: only the collector frees it
    def __init__(self):
        self.cycle = self

    def __del__(self):
        global swaps
        swaps += 1
        img._pixels = bytearray([swaps % 200]) * (W * H * 3)
        img._alpha = bytearray([swaps % 200]) * (W * H)
        Swap()

CALLS = {  # the call, and the byte strings its result holds
    "getPixel": (lambda: img.getPixel((1, 2)), lambda rgb: [bytes(rgb)]),
    "getPixel, bool coordinates": (lambda: img.getPixel((True, False)), lambda rgb: [bytes(rgb)]),
    "copy": (img.copy, lambda c: [c._pixels, c._alpha]),
    "buffer export": (lambda: memoryview(img), lambda view: [view.tobytes()]),
    "save": (lambda: saved_and_opened(), lambda c: [c._pixels, c._alpha]),
}

def saved_and_opened():
    img.save(PATH)
    with open(PATH, "rb") as f, contextlib.redirect_stdout(io.StringIO()):
        return SimpleImage.open(f.read())

call, parts = CALLS[sys.argv[2]]
Swap()
gc.set_threshold(1)
results = [call() for _ in range(3000)]  # all kept: no tuple comes from a free list
gc.set_threshold(700)
bad = [list(p) for r in results for p in parts(r) if len(set(p)) != 1 or p[0] >= 200]
report({"swapped": swaps > 100, "bad": bad[:5]})
"""


@pytest.mark.parametrize("call", ["getPixel", "getPixel, bool coordinates", "copy", "buffer export", "save"])
def test_buffers_replaced_by_a_collection_inside_the_call(call):
    assert run_isolated(BUFFERS_REPLACED_BY_COLLECTOR, call).value == {"swapped": True, "bad": []}


# ---- floods of cheap chunks -------------------------------------------------------------

def flood(kind, count):
    one = png_chunk(kind, b"")
    return (PNG_SIG + png_chunk(b"IHDR", ihdr_data(1, 1)) + png_chunk(b"IDAT", zlib.compress(b"\x00\x01\x02\x03"))
            + one * count + IEND)


# Peak growth of the child's resident memory during one open, against the file's size. The
# peak is reset after the file is read in, so only the open is measured.
FLOOD_CHILD = """
import gc, io, os, re, sys, contextlib
from Quorvex.simpleImage_ext import SimpleImage
path, source = sys.argv[2], sys.argv[3]
size = os.path.getsize(path)
arg = open(path, "rb").read() if source == "bytes" else path
def peak():
    return int(re.search(r"VmHWM:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = peak()
with contextlib.redirect_stdout(io.StringIO()):
    img = SimpleImage.open(arg)
report([(peak() - before) / size, len(img._png_chunks), bytes(img._pixels).hex()])
"""

FLOODS = [(kind, source) for kind in (b"IDAT", b"tEXt", b"prIv") for source in ("bytes", "path")]


@pytest.mark.parametrize("kind, source", FLOODS, ids=[f"{k.decode()}-{s}" for k, s in FLOODS])
def test_chunk_flood_memory_stays_near_the_file_size(tmp_path, kind, source):
    count = 500_000
    done = run_isolated(FLOOD_CHILD, write(tmp_path, "flood.png", flood(kind, count)), source, timeout=120)
    assert not done.crashed and not done.timed_out, done.describe()
    ratio, records, pixels = done.value
    assert records == count + 3
    assert pixels == "010203"
    if not SANITIZED:  # the sanitizer's allocator adds its own overhead to every object
        assert ratio <= 8, ratio  # it was 35 for empty IDAT chunks, 10 for others


def test_chunk_flood_fits_a_small_address_space(tmp_path):
    # 2,000,000 empty IDAT chunks (23 MiB) took 0.8 GiB to open.
    source = """
import contextlib, io, sys
from Quorvex.simpleImage_ext import SimpleImage
data = open(sys.argv[2], "rb").read()
with contextlib.redirect_stdout(io.StringIO()):
    img = SimpleImage.open(data)
report(len(img._png_chunks))
"""
    path = write(tmp_path, "flood.png", flood(b"IDAT", 2_000_000))
    done = run_isolated(source, path, timeout=120, address_space=384 << 20)
    assert not done.crashed, done.describe()
    assert done.value == 2_000_003, done.describe()


def test_flood_records_keep_their_documented_shape():
    data = (PNG_SIG + png_chunk(b"IHDR", ihdr_data(1, 1)) + png_chunk(b"IDAT", b"") * 3
            + png_chunk(b"IDAT", zlib.compress(b"\x00\x01\x02\x03")) + png_chunk(b"tEXt", b"a") * 2
            + png_chunk(b"tEXt", b"b") + png_chunk(b"IDAT", b"") + IEND)
    records = SimpleImage._streamToImage(io.BytesIO(data))[5]
    from_stream = SimpleImage._streamToImage(type("Stream", (io.BytesIO,), {})(data))[5]
    n = len(zlib.compress(b"\x00\x01\x02\x03"))
    expected = [(b"IHDR", ihdr_data(1, 1), 13)] + [(b"IDAT", None, 0)] * 3 + [(b"IDAT", None, n)] + \
               [(b"tEXt", b"a", 1)] * 2 + [(b"tEXt", b"b", 1), (b"IDAT", None, 0), (b"IEND", b"", 0)]
    assert records == expected
    assert from_stream == expected
    assert all(type(r) is tuple and len(r) == 3 for r in records)
    assert type(records) is list


# ---- degenerate shapes and data that inflate far past the header -----------------------

SHAPE_CHILD = """
import contextlib, io, struct, sys, zlib
from Quorvex.simpleImage_ext import SimpleImage
width, height, colour, raw_size = map(int, sys.argv[2:6])
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
packer = zlib.compressobj(9)
block = bytes(1 << 24)
parts = [packer.compress(block) for _ in range(raw_size >> 24)]
parts += [packer.compress(bytes(raw_size & ((1 << 24) - 1))), packer.flush()]
data = (b"\\x89PNG\\r\\n\\x1a\\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0))
        + chunk(b"IDAT", b"".join(parts)) + chunk(b"IEND", b""))
del parts
try:
    with contextlib.redirect_stdout(io.StringIO()):
        img = SimpleImage.open(data)
except ValueError as error:
    report(["refused", str(error)])
else:
    filters = img._png_filters
    report(["opened", list(img.size), len(img._pixels), len(filters), filters.count(0), img._alpha is None])
"""

SHAPES = [
    # width, height, colour type, inflated bytes, expected report
    (0, 2**27, 2, 2**27, ["opened", [0, 2**27], 0, 2**27, 2**27, True]),   # a row is its filter byte
    (1, 2**24, 2, 2**24 * 4, ["opened", [1, 2**24], 3 * 2**24, 2**24, 2**24, True]),
    (2**31 - 1, 0, 2, 0, ["opened", [2**31 - 1, 0], 0, 0, 0, True]),
    (2**31 - 1, 0, 6, 0, ["opened", [2**31 - 1, 0], 0, 0, 0, False]),
    # Surplus data after the last row is counted at inflate's speed (it took ~6 times longer).
    (0, 1, 2, 2**28, ["refused", "Malformed PNG image data"]),
    (1, 1, 2, 2**28, ["refused", "Malformed PNG image data"]),
]


@pytest.mark.parametrize("width, height, colour, raw_size, expected", SHAPES,
                         ids=[f"{w}x{h}-{c}-{n}" for w, h, c, n, _ in SHAPES])
def test_degenerate_shapes(width, height, colour, raw_size, expected):
    done = run_isolated(SHAPE_CHILD, width, height, colour, raw_size, timeout=60)
    assert not done.timed_out and not done.crashed, done.describe()
    assert done.value == expected, done.describe()


def zero_width_file(raw):
    return make_png(0, len(raw), b"", raw=raw)


# Rows without pixels are taken as blocks of filter bytes (a stage holds 256 Ki of them).
BLOCK = 256 * 1024
ZERO_WIDTH_CASES = [
    ("every type", bytes(y % 5 for y in range(3 * BLOCK + 7)), None),
    ("bad type at the end of a block", bytes(BLOCK - 1) + b"\x05" + bytes(10), "Unsupported PNG filter: 5"),
    ("bad type at the start of a block", bytes(BLOCK) + b"\xff" + bytes(10), "Unsupported PNG filter: 255"),
    ("first of two bad types", bytes(5000) + b"\x07" + bytes(4096) + b"\x09", "Unsupported PNG filter: 7"),
]


@pytest.mark.parametrize("name, raw, message", ZERO_WIDTH_CASES, ids=[c[0] for c in ZERO_WIDTH_CASES])
def test_rows_without_pixels(name, raw, message, capsys):
    data = zero_width_file(raw)
    if message is None:
        img = SimpleImage.open(data)
        assert img.size == (0, len(raw))
        assert img._png_filters == bytearray(raw)
    else:
        with pytest.raises(ValueError, match=f"^{message}$"):
            SimpleImage.open(data)


def test_rows_without_pixels_keep_the_error_order():
    raw = bytes(1000) + b"\x05"
    too_long = make_png(0, len(raw), b"", raw=raw + b"\x00")
    with pytest.raises(ValueError, match="^Malformed PNG image data$"):
        SimpleImage.open(too_long)
    compressed = zlib.compress(raw)
    broken = (PNG_SIG + png_chunk(b"IHDR", ihdr_data(0, len(raw))) + png_chunk(b"IDAT", compressed[:-4])
              + png_chunk(b"IDAT", compressed[-4:-1] + bytes([compressed[-1] ^ 1])) + IEND)
    with pytest.raises(zlib.error, match="incorrect data check"):
        SimpleImage.open(broken)


# Narrow rows are rebuilt by a plain loop; checked against the filtered samples they came from.
NARROW = [(w, c) for w in (1, 2, 3, 4, 5) for c in (3, 4)]


@pytest.mark.parametrize("width, channels", NARROW, ids=[f"{w}px-{c}" for w, c in NARROW])
def test_narrow_rows_rebuild_every_filter(width, channels, capsys):
    height = 40_000 // (width * channels + 1) * 3  # a few stages of rows
    samples = pattern(width, height, channels, seed=width)
    data = make_png(width, height, samples, channels, filters=[(y * 7 + y // 5) % 5 for y in range(height)])
    img = SimpleImage.open(data)
    if channels == 4:
        assert img._pixels == bytearray(b for i, b in enumerate(samples) if i % 4 != 3)
        assert img._alpha == bytearray(samples[3::4])
    else:
        assert img._pixels == bytearray(samples)
    assert img._png_filters == bytearray((y * 7 + y // 5) % 5 for y in range(height))


def test_wide_image_without_rows_round_trips(tmp_path, capsys):
    path = tmp_path / "wide.png"
    SimpleImage(2**31 - 1, 0, bytearray()).save(str(path))
    assert SimpleImage.open(str(path)).size == (2**31 - 1, 0)


# ---- BMP headers that claim more than a file can hold ----------------------------------

def huge_bmp(width, height):
    data = bmp_file(0, 0, b"")
    return data[:18] + struct.pack("<ii", width, height) + data[26:]


class CappedFile(io.BytesIO):
    """A stream that, like a file system, refuses to seek past its largest file."""

    def seek(self, offset, whence=0):
        if offset > 1 << 44:
            raise OSError(errno.EINVAL, "Invalid argument")
        return super().seek(offset, whence)


BMP_CASES = [
    # rows of 9,000,000 bytes, 2,000,000 of them: past an ext4 file's largest size
    (3_000_000, 2_000_000, ValueError, "Incomplete BMP pixel data"),
    (3_000_000, -2_000_000, ValueError, "Incomplete BMP pixel data"),
    (2**31 - 1, 2**31 - 1, ValueError, "Incomplete BMP pixel data"),
]


@pytest.mark.parametrize("width, height, error, message", BMP_CASES)
@pytest.mark.parametrize("source", ["bytes", "path", "stream"])
def test_huge_bmp_is_refused_alike_from_every_source(tmp_path, width, height, error, message, source):
    data = huge_bmp(width, height)
    if source == "stream":
        call = lambda: SimpleImage._streamToImage(CappedFile(data))  # noqa: E731
    else:
        arg = data if source == "bytes" else str(write(tmp_path, "big.bmp", data))
        call = lambda: SimpleImage.open(arg)  # noqa: E731
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message



# ---- daemon threads still decoding when the interpreter exits ---------------------------

DAEMON_CHILD = """
import io, sys, threading, time
from Quorvex.simpleImage_ext import SimpleImage
data = open(sys.argv[2], "rb").read()
class Stream(io.BytesIO):  # read through `read`: the large IDAT's CRC runs without the GIL
    pass
def decode(make_stream):
    while True:
        SimpleImage._streamToImage(make_stream(data))
for make_stream in (io.BytesIO, Stream, io.BytesIO, Stream):
    threading.Thread(target=decode, args=(make_stream,), daemon=True).start()
time.sleep(float(sys.argv[3]))
report("exiting")
"""


@pytest.mark.parametrize("delay", [0.1, 0.25, 0.4])
def test_daemon_threads_decoding_at_exit(tmp_path, delay):
    # The host ended such threads by unwinding them, which released the decoder's objects
    # without the GIL while the interpreter was being torn down.
    data = make_png(1200, 1200, b"", raw=(b"\x01" + bytes(range(256)) * 14 + bytes(16)) * 1200, level=1)
    done = run_isolated(DAEMON_CHILD, write(tmp_path, "big.png", data), delay, timeout=60)
    assert done.returncode == 0 and done.value == "exiting", done.describe()
    assert "Fatal Python error" not in done.stderr, done.describe()


# One daemon thread blocked in one kind of host call that the module makes, let go only
# once the interpreter is finalising: the host then ends the thread from inside that call.
# `AtFinalisation` is held by sys.modules alone, which the host empties after it has begun
# to finalise; its __del__ lets the call return and waits for the host to end the thread.
# Each run is a fork of the child that finalises as a program would; the runs overlap.
EXIT_INSIDE_CALL = """
import io, os, threading, time
from Quorvex import simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage
case, folder, runs = sys.argv[2], sys.argv[3], int(sys.argv[4])
with open(os.path.join(folder, "small.png"), "rb") as f:
    PNG = f.read()
W, H = 200, 200
PIXELS = bytearray(os.urandom(W * H * 3))  # more than a pipe holds, compressed too

class AtFinalisation:
    def __init__(self, release, thread, result_fd):
        self.release, self.tid, self.result_fd = release, thread.native_id, result_fd

    def __del__(self, exists=os.path.exists, sleep=time.sleep, write=os.write, now=time.monotonic):
        self.release()
        deadline = now() + 5
        while exists(f"/proc/self/task/{self.tid}") and now() < deadline:
            sleep(0.001)
        write(self.result_fd, b"alive" if exists(f"/proc/self/task/{self.tid}") else b"ended")

def drain(fd):
    os.set_blocking(fd, False)
    try:
        while os.read(fd, 1 << 16):
            pass
    except BlockingIOError:
        pass

def fill(fd):
    os.set_blocking(fd, False)
    try:
        while True:
            os.write(fd, bytes(4096))
    except BlockingIOError:
        pass
    os.set_blocking(fd, True)

# A thread's system call, by number: a read, a write or an open of the host's (not the
# module's own work, nor a wait for the GIL).
BLOCKING = {"x86_64": {"0", "1", "2", "257"}, "aarch64": {"56", "63", "64"}}.get(os.uname().machine)

def blocked_in_host_call(tid):
    try:
        with open(f"/proc/self/task/{tid}/syscall") as f:
            return f.read().split()[0] in BLOCKING
    except OSError:
        return None

def one_run(result_fd):
    wake_r, wake_w = os.pipe()

    def wait_for_exit():  # inside a callback of the module's
        os.read(wake_r, 1)

    class Read(bytes):  # what the stream returns: objects the collector tracks
        pass

    class Stream(io.BytesIO):
        def read(self, n=-1):
            if case == "read" and self.tell() > 0:
                wait_for_exit()
            data = super().read(n)
            if case == "__buffer__" and self.tell() > 8:
                return Piece(data)
            if case == "__del__" and self.tell() > 8:
                return Dying(data)
            return Read(data)

        def seek(self, *args):
            if case == "seek":
                wait_for_exit()
            return super().seek(*args)

    class Piece:  # read data as a buffer object
        def __init__(self, data):
            self.data = data
        def __len__(self):
            return len(self.data)
        def __buffer__(self, flags):
            wait_for_exit()
            return memoryview(self.data)

    class Dying(bytes):  # read data whose last reference is the module's
        def __del__(self):
            wait_for_exit()

    class Path:
        def __fspath__(self):
            wait_for_exit()
            return os.path.join(folder, f"out{os.getpid()}.png")

    class Channel:
        def __index__(self):
            wait_for_exit()
            return 7

    fifo = os.path.join(folder, f"fifo{os.getpid()}")
    os.mkfifo(fifo)
    image = SimpleImage(2, 2, bytes(12))
    call, release = lambda: SimpleImage._streamToImage(Stream(PNG)), lambda: os.write(wake_w, b"x")
    if case == "FIFO open":  # no reader until the exit
        call = lambda: ext._writePng(fifo, W, H, PIXELS)
        release = lambda: os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
    elif case == "FIFO write":  # a reader that reads nothing until the exit
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        call, release = lambda: ext._writePng(fifo, W, H, PIXELS), lambda: drain(reader)
    elif case == "__fspath__":
        call = lambda: ext._writePng(Path(), W, H, PIXELS)
    elif case == "__index__":  # fresh channel objects, held by the module alone
        call = lambda: image.putPixel((0, 0), (Channel() for _ in range(3)))
    elif case == "print":  # the line `open` prints, to a full pipe (unbuffered: no lock to hold)
        fill(wake_w)
        sys.stdout = io.TextIOWrapper(io.FileIO(wake_w, "w", closefd=False), write_through=True)
        call, release = lambda: SimpleImage.open(PNG), lambda: drain(wake_r)

    def daemon():
        try:
            call()
        finally:  # came back before the exit: not what is tested
            threading.Event().wait()
    thread = threading.Thread(target=daemon, daemon=True)
    thread.start()
    # Until it blocks in the call: on a busy machine a fixed pause can end while the thread is
    # still at work, and the exit then tests another moment.
    deadline = time.monotonic() + 10
    while BLOCKING and time.monotonic() < deadline and blocked_in_host_call(thread.native_id) is False:
        time.sleep(0.001)
    if not BLOCKING:
        time.sleep(0.15)
    sys.modules["at_finalisation"] = AtFinalisation(release, thread, result_fd)

results = {}
for _ in range(runs):
    result_r, result_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(result_r)
        one_run(result_w)
        raise SystemExit
    os.close(result_w)
    results[pid] = result_r
outcomes = []
for pid, result_r in results.items():
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    outcomes.append([status, os.read(result_r, 5).decode()])
report(outcomes)
"""

EXIT_CASES = ["FIFO open", "FIFO write", "read", "seek", "__fspath__", "__index__",
              pytest.param("__buffer__", marks=needs_buffer_protocol), "__del__", "print"]


@pytest.mark.parametrize("case", EXIT_CASES)
def test_daemon_thread_ended_inside_each_kind_of_host_call(tmp_path, case):
    # The host's thread exit unwound through the module's frames, whose cleanups then ran
    # without a thread state: a crash at exit, every time.
    write(tmp_path, "small.png", make_png(W, H, PIXELS))
    done = run_isolated(EXIT_INSIDE_CALL, case, tmp_path, 20, timeout=120)
    assert done.value == [[0, "ended"]] * 20, done.describe()

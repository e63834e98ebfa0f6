import io
import struct
import subprocess
import sys
import zlib

import pytest
from hypothesis import given, settings, strategies as st
from PIL import Image

import Quorvex.simpleImage_ext as ext
from conftest import skip_if_sanitized
from imagefiles import IEND, PNG_SIG, ihdr_data, make_png, pattern, png_chunk, scanlines
from Quorvex.simpleImage_ext import SimpleImage

def png_file(width, height, idat=(), color_type=2, bit_depth=8, interlace=0):
    """Signature, IHDR, one IDAT per item of `idat` (raw chunk data), IEND."""
    ihdr = png_chunk(b"IHDR", ihdr_data(width, height, bit_depth, color_type, interlace=interlace))
    return PNG_SIG + ihdr + b"".join(png_chunk(b"IDAT", piece) for piece in idat) + IEND


def rgb_file(raw):
    return png_file(2, 2, [zlib.compress(raw)])


def decode(data):
    return SimpleImage._streamToImage(io.BytesIO(data))


GOOD_ROWS = scanlines(2, 2, bytes(range(12)), 3)
CASES = [
    (PNG_SIG + IEND, ValueError, "Incomplete PNG header information"),
    (png_file(2, 2, bit_depth=16, color_type=3), ValueError, "Only 8-bit PNG images are supported"),
    (png_file(2, 2, color_type=3), ValueError, "Only RGB/RGBA PNG images are supported"),
    (png_file(2, 2, color_type=0), ValueError, "Only RGB/RGBA PNG images are supported"),
    (png_file(2, 2, color_type=4), ValueError, "Only RGB/RGBA PNG images are supported"),
    (png_file(2, 2, interlace=1), ValueError, "Unsupported PNG configuration (compression/filter/interlace)"),
    (PNG_SIG + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 1, 0, 0)), ValueError,
     "Unsupported PNG configuration (compression/filter/interlace)"),
    # A corrupt chunk anywhere is found before any header problem.
    (png_file(2, 2, bit_depth=16)[:-1] + b"\x00", ValueError, "Corrupted PNG chunk detected"),
    (png_file(2, 2, bit_depth=16)[:-3], ValueError, "Unexpected EOF while reading chunk CRC"),
    (PNG_SIG + png_chunk(b"IHDR", ihdr_data(2**31, 1)), OverflowError, "value too large to convert to int"),
    (PNG_SIG + png_chunk(b"IHDR", ihdr_data(1, 2**32 - 1)), OverflowError, "value too large to convert to int"),
    # Inflated size: one byte short or long.
    (rgb_file(GOOD_ROWS[:-1]), ValueError, "Malformed PNG image data"),
    (rgb_file(GOOD_ROWS + b"\x00"), ValueError, "Malformed PNG image data"),
    # Filter types, checked row by row.
    (rgb_file(b"\x05" + GOOD_ROWS[1:]), ValueError, "Unsupported PNG filter: 5"),
    (rgb_file(GOOD_ROWS[:7] + b"\xff" + GOOD_ROWS[8:]), ValueError, "Unsupported PNG filter: 255"),
    # Precedence: zlib error, then size, then filter type, wherever they sit in the data.
    (png_file(2, 2, [zlib.compress(b"\x07" + GOOD_ROWS[1:] + bytes(500))[:-4]]), zlib.error,
     "Error -5 while decompressing data: incomplete or truncated stream"),
    (png_file(2, 2, [zlib.compress(b"\x07" + GOOD_ROWS[1:])[:-1] + b"\x00"]), zlib.error,
     "Error -3 while decompressing data: incorrect data check"),
    (rgb_file(b"\x06" + GOOD_ROWS[1:] + b"\x00"), ValueError, "Malformed PNG image data"),
    # Headers whose sizes cannot be decoded: refused after the zlib check.
    (png_file(60000, 60000, [zlib.compress(bytes(50))]), ValueError, "Malformed PNG image data"),
    (png_file(60000, 60000, [b"junk"]), zlib.error, "Error -3 while decompressing data: incorrect header check"),
    (png_file(2**31 - 1, 1, [zlib.compress(b"")]), ValueError, "Malformed PNG image data"),
    # No rows: the row length bounds nothing, only the inflated size (here 1, not 0) counts.
    (png_file(2**31 - 1, 0, [zlib.compress(b"\x00")]), ValueError, "Malformed PNG image data"),
    (png_file(20000, 20000, [zlib.compress(bytes(50))]), ValueError, "Malformed PNG image data"),
]


@pytest.mark.parametrize("data, error, message", CASES)
def test_refused_files(data, error, message, capsys):
    with pytest.raises(error) as info:
        SimpleImage.open(data)
    assert str(info.value) == message
    assert capsys.readouterr().out == ""


def test_ihdr_of_wrong_size_raises_the_host_struct_error():
    data = PNG_SIG + png_chunk(b"IHDR", ihdr_data(1, 1)[:12])
    with pytest.raises(struct.error) as info:
        decode(data)
    with pytest.raises(struct.error) as host:
        struct.unpack(">IIBBBBB", bytes(12))
    assert str(info.value) == str(host.value)


class BitWriter:
    """Deflate's bit order: fields least significant bit first, Huffman codes most significant
    bit first."""

    def __init__(self):
        self.value = self.count = 0

    def bits(self, value, n):
        self.value |= value << self.count
        self.count += n
        return self

    def code(self, code, n):
        return self.bits(int(format(code, f"0{n}b")[::-1], 2) if n else 0, n)

    def tobytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def huffman(lengths):
    """The canonical code of these lengths: {symbol: (code, length)}."""
    codes, code = {}, 0
    for n in range(1, 16):
        for symbol, length in enumerate(lengths):
            if length == n:
                codes[symbol] = (code, n)
                code += 1
        code <<= 1
    return codes


FIXED = huffman([8] * 144 + [9] * 112 + [7] * 24 + [8] * 8)
ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
CODE_LENGTHS = [4] * 13 + [5] * 6  # every code length symbol, a complete code
LITLEN = [9] * 256 + [5, 5] + [6] * 28  # complete over all 286 symbols
DISTANCES = [4, 4] + [5] * 28  # complete over all 30 symbols


def dynamic(w, litlen=LITLEN, distances=DISTANCES, counts=None, sent=None, code_lengths=CODE_LENGTHS, last=1):
    """A dynamic block's header: HLIT and HDIST from `counts` or the lengths given, and the
    lengths sent one symbol each or as the (symbol, extra value, extra bits) of `sent`."""
    hlit, hdist = counts or (len(litlen), len(distances))
    w.bits(last, 1).bits(2, 2).bits(hlit - 257, 5).bits(hdist - 1, 5).bits(15, 4)
    for symbol in ORDER:
        w.bits(code_lengths[symbol], 3)
    table = huffman(code_lengths)
    for symbol, extra, n in [(length, 0, 0) for length in litlen + distances] if sent is None else sent:
        w.code(*table[symbol]).bits(extra, n)
    return huffman(litlen), huffman(distances)


def block(head, *symbols):
    """A block: its head `head(w)`, which returns the literal/length and distance codes, then
    `symbols`: a byte, 256, (length symbol, (extra, bits), distance symbol, (extra, bits)), or
    (value, bits) sent as they are."""
    w = BitWriter()
    litlen, distances = head(w)
    for symbol in symbols:
        if isinstance(symbol, int):
            w.code(*litlen[symbol])
        elif len(symbol) == 2:
            w.bits(*symbol)
        else:
            length, length_extra, distance, distance_extra = symbol
            w.code(*litlen[length]).bits(*length_extra).code(*distances[distance]).bits(*distance_extra)
    return w.tobytes()


def fixed(w):
    w.bits(1, 1).bits(1, 2)
    return FIXED, huffman([5] * 32)


def zlib_stream(body, data, cmf=0x78, flg=0, check=None):
    """CMF, FLG (with its check bits), `body`, and the Adler-32 of `data` unless `check`."""
    flg |= -(cmf * 256 + flg) % 31
    check = zlib.adler32(data) if check is None else check
    return bytes([cmf, flg]) + body + check.to_bytes(4, "big")


# What each stream would inflate to if its fault were overlooked, ending with the Adler-32 of
# that: the image is sized to match, so that only the fault can refuse it.
PIXEL = b"\x00\x01\x02\x03"
ZERO_RUN = PIXEL + bytes([3]) * 258  # 1 + 3 x 87: the last byte repeated by a 258-byte match
EOB = (256, 0, 0)
ZLIB_REFUSALS = [
    ("header check", bytes([0x78, 0]) + b"\x03\x00" + zlib.adler32(b"").to_bytes(4, "big"), b"",
     "incorrect header check"),
    ("method", zlib_stream(b"\x03\x00", b"", cmf=0x77), b"", "unknown compression method"),
    ("window size", zlib_stream(b"\x03\x00", b"", cmf=0x88), b"", "invalid window size"),
    ("block type", zlib_stream(BitWriter().bits(7, 3).tobytes(), b""), b"", "invalid block type"),
    ("stored lengths", zlib_stream(b"\x01\x04\x00\xfa\xff" + PIXEL, PIXEL), PIXEL, "invalid stored block lengths"),
    ("288 literal/length codes", zlib_stream(block(lambda w: dynamic(w, LITLEN + [0, 0]), *PIXEL, 256), PIXEL),
     PIXEL, "too many length or distance symbols"),
    ("32 distance codes", zlib_stream(block(lambda w: dynamic(w, LITLEN, DISTANCES + [0, 0]), *PIXEL, 256), PIXEL),
     PIXEL, "too many length or distance symbols"),
    ("code lengths incomplete",
     zlib_stream(block(lambda w: dynamic(w, sent=[], code_lengths=[1] + [0] * 18)), b""), b"",
     "invalid code lengths set"),
    ("repeat past the last length", zlib_stream(block(lambda w: dynamic(w, sent=[
        (length, 0, 0) for length in LITLEN + DISTANCES[:-3]] + [(16, 3, 2)]), *PIXEL, 256), PIXEL), PIXEL,
     "invalid bit length repeat"),
    ("repeat before any length", zlib_stream(block(lambda w: dynamic(w, sent=[(16, 0, 2)])), b""), b"",
     "invalid bit length repeat"),
    ("no end-of-block code", zlib_stream(block(lambda w: dynamic(w, LITLEN[:256] + [0] + LITLEN[257:]), 0), b""), b"",
     "invalid code -- missing end-of-block"),
    ("literal/length code over-subscribed", zlib_stream(block(lambda w: dynamic(w, [8] * 256 + [1] + [0] * 29), 256),
                                                        b""), b"", "invalid literal/lengths set"),
    ("distance code incomplete", zlib_stream(block(lambda w: dynamic(w, LITLEN, [1, 2]), 256), b""), b"",
     "invalid distances set"),
    ("fixed literal/length symbol 286", zlib_stream(block(fixed, *PIXEL, (286, (0, 0), 0, (0, 0)), 256), ZERO_RUN),
     ZERO_RUN, "invalid literal/length code"),
    ("fixed literal/length symbol 287", zlib_stream(block(fixed, *PIXEL, (287, (0, 0), 0, (0, 0)), 256), ZERO_RUN),
     ZERO_RUN, "invalid literal/length code"),
    ("a one-code literal/length code's missing code",
     zlib_stream(block(lambda w: dynamic(w, [0] * 256 + [1], [1]), (1, 1)), b""), b"",
     "invalid literal/length code"),
    ("fixed distance symbol 30", zlib_stream(block(fixed, *PIXEL, (257, (0, 0), 30, (0, 13)), 256), PIXEL + PIXEL[1:]),
     PIXEL + PIXEL[1:], "invalid distance code"),
    ("fixed distance symbol 31", zlib_stream(block(fixed, *PIXEL, (257, (0, 0), 31, (0, 13)), 256), PIXEL + PIXEL[1:]),
     PIXEL + PIXEL[1:], "invalid distance code"),
    ("no distance codes", zlib_stream(block(lambda w: dynamic(w, LITLEN, [0]), *PIXEL, 257, (0, 8)), b""),
     b"", "invalid distance code"),
    ("distance too far back", zlib_stream(block(fixed, *PIXEL, (257, (0, 0), 4, (1, 1)), 256), PIXEL + PIXEL[1:]),
     PIXEL + PIXEL[1:], "invalid distance too far back"),
    ("data check", zlib_stream(block(fixed, *PIXEL, 256), PIXEL, check=1), PIXEL, "incorrect data check"),
    ("truncated", zlib_stream(block(fixed, *PIXEL, 256), PIXEL)[:-1], PIXEL, "incomplete or truncated stream"),
]


@pytest.mark.parametrize("pieces, size, message", [
    ([b"not zlib"], 4, "Error -3 while decompressing data: incorrect header check"),
    ([zlib.compress(bytes(20))[:-3]], 4, "Error -5 while decompressing data: incomplete or truncated stream"),
    ([b"\x78\xbb\x00\x00\x00\x01"], 4, "Error 2 while decompressing data"),  # preset dictionary
    ([b"\x78\x9c\xff\xff\xff"], 4, "Error -3 while decompressing data: invalid block type"),
    ([], 4, "Error -5 while decompressing data: incomplete or truncated stream"),
    ([b""], 4, "Error -5 while decompressing data: incomplete or truncated stream"),
    ([b"\x78", b"", b"\x9c\x03"], 4, "Error -5 while decompressing data: incomplete or truncated stream"),
    ([zlib_stream(block(fixed, *PIXEL, 256), PIXEL, flg=0x20)], 4, "Error 2 while decompressing data"),
] + [pytest.param([stream], len(data), ("Error -5 while decompressing data: " if "truncated" in message
                                       else "Error -3 while decompressing data: ") + message, id=name)
     for name, stream, data, message in ZLIB_REFUSALS])
def test_zlib_errors_read_as_the_hosts(pieces, size, message):
    # The image is sized to what the stream would give if its fault were overlooked.
    width = max(1, (size - 1) // 3)
    with pytest.raises(zlib.error) as ours:
        decode(png_file(width, 1, pieces))
    with pytest.raises(zlib.error) as host:
        zlib.decompress(b"".join(pieces))
    assert str(ours.value) == str(host.value) == message


@pytest.mark.parametrize("width, height, channels, filters, idat_lengths", [
    (5, 5, 4, [4, 3, 2, 1, 0], [5, 100, 7]),
    (33, 7, 4, [1, 4, 4, 3, 2, 0, 4], [1, 1, 1, 1]),
    (17, 31, 3, [i % 5 for i in range(31)], [40] * 20),
    (30000, 2, 3, [4, 3], None),      # rows wider than the inflater's staging area
    (1, 20000, 4, [i % 5 for i in range(20000)], [999] * 10),  # many rows per stage
])
def test_pixels_match_pillow(width, height, channels, filters, idat_lengths, capsys):
    samples = pattern(width, height, channels, seed=width)
    data = make_png(width, height, samples, channels, filters, idat_lengths,
                    before=[(b"gAMA", b"\x00\x00\xb1\x8f")], after=[(b"tEXt", b"k\x00v")])
    image = SimpleImage.open(data)
    assert capsys.readouterr().out == f"[SimpleImage] Opened image: {width}x{height}, channels={channels}\n"
    reference = Image.open(io.BytesIO(data))
    assert image._pixels == reference.convert("RGB").tobytes()
    assert image._alpha == (reference.getchannel("A").tobytes() if channels == 4 else None)
    assert image._png_filters == bytes(filters)


def test_chunk_records_keep_every_chunk_in_place():
    samples = pattern(40, 2)
    ihdr = ihdr_data(40, 2)
    compressed = zlib.compress(scanlines(40, 2, samples, 3))
    data = make_png(40, 2, samples, idat_lengths=[5, 100, 7], between=[(b"tEXt", b"a\x00b")])
    width, height, pixels, channels, alpha, records, bmp, filters = decode(data)
    assert (width, height, pixels, channels, alpha, bmp, filters) == (40, 2, samples, 3, None, None, b"\x00\x00")
    assert records == [(b"IHDR", ihdr, 13), (b"IDAT", None, 5), (b"tEXt", b"a\x00b", 3),
                       (b"IDAT", None, 100), (b"IDAT", None, len(compressed) - 105), (b"IEND", b"", 0)]
    stream = io.BytesIO(data + b"trailing garbage")  # nothing after IEND is read
    SimpleImage._streamToImage(stream)
    assert stream.tell() == len(data)


def test_loose_chunk_order_and_end():
    rows = scanlines(1, 1, b"\x01\x02\x03", 3)
    first = png_chunk(b"IHDR", ihdr_data(9, 9, bit_depth=16))
    # An empty IDAT, IHDR after the data, a second IHDR that wins, no IEND.
    data = (PNG_SIG + png_chunk(b"IDAT", b"") + first + png_chunk(b"IDAT", zlib.compress(rows))
            + png_chunk(b"IHDR", ihdr_data(1, 1)))
    result = decode(data)
    assert result[:4] == (1, 1, b"\x01\x02\x03", 3)
    assert [(r[0], r[2]) for r in result[5]] == [(b"IDAT", 0), (b"IHDR", 13), (b"IDAT", len(zlib.compress(rows))),
                                                 (b"IHDR", 13)]


@pytest.mark.parametrize("width, height, raw, pixels", [
    (0, 3, b"\x00\x04\x01", b""),
    (4, 0, b"", b""),
])
def test_empty_images(width, height, raw, pixels):
    result = decode(png_file(width, height, [zlib.compress(raw)]))
    assert result[2] == pixels and result[7] == raw


def test_streams_returning_other_byte_sequences():
    data = make_png(4, 3, pattern(4, 3, 4), 4, [1, 2, 3], idat_lengths=[10, 10])

    class ByteArrayStream(io.BytesIO):
        def read(self, n=-1):
            return bytearray(super().read(n))

    result = SimpleImage._streamToImage(ByteArrayStream(data))
    assert result[2] == decode(data)[2] and type(result[5][0][1]) is bytearray


def test_signature_is_looked_up_at_each_call(monkeypatch):
    data = b"NOTAPNG!" + make_png(1, 1, b"abc")[8:]
    with pytest.raises(ValueError, match="Unsupported image format"):
        SimpleImage.open(data)
    monkeypatch.setattr(ext, "PNG_SIGNATURE", b"NOTAPNG!")
    assert SimpleImage.open(data).getPixel((0, 0)) == (97, 98, 99)
    # The dispatcher accepts any prefix of the signature; the decoder wants all 8 bytes.
    monkeypatch.setattr(ext, "PNG_SIGNATURE", PNG_SIG[:4])
    with pytest.raises(ValueError, match="^Unsupported PNG signature$"):
        SimpleImage.open(make_png(1, 1, b"abc"))


def test_highly_compressed_data_is_accepted():
    # Close to deflate's best ratio: must not be mistaken for an impossible size.
    data = make_png(1024, 1024, None, 4, raw=(b"\x02" + bytes(4096)) * 1024, level=9)
    assert decode(data)[4] == bytes(1024 * 1024)


LIMITED = """
import resource, sys
from Quorvex.simpleImage_ext import SimpleImage
data = open(sys.argv[1], "rb").read()
resource.setrlimit(resource.RLIMIT_AS, (200 << 20, 200 << 20))
try:
    SimpleImage.open(data)
except Exception as e:
    print(type(e).__name__, e)
"""


@skip_if_sanitized
@pytest.mark.parametrize("width, height, inflated", [
    (60000, 60000, 100),       # a tiny file claiming gigabytes
    (20000, 20000, 100),       # a size that fits 32 bits, which the data cannot justify
    (16, 16, 320 << 20),       # data inflating far beyond what the header allows
])
def test_memory_stays_bounded(width, height, inflated, tmp_path):
    packer = zlib.compressobj(1)
    block = bytes(1 << 20)
    compressed = b"".join(packer.compress(block[:min(inflated - i, len(block))])
                          for i in range(0, inflated, len(block))) + packer.flush()
    path = tmp_path / "big.png"
    path.write_bytes(png_file(width, height, [compressed]))
    out = subprocess.run([sys.executable, "-c", LIMITED, str(path)], capture_output=True, text=True, timeout=60)
    assert out.stdout == "ValueError Malformed PNG image data\n", out.stderr


@settings(max_examples=50, deadline=None)
@given(st.data())
def test_any_valid_image_decodes_as_pillow_does(data):
    width = data.draw(st.integers(1, 9))
    height = data.draw(st.integers(1, 6))
    channels = data.draw(st.sampled_from([3, 4]))
    samples = data.draw(st.binary(min_size=width * height * channels, max_size=width * height * channels))
    filters = data.draw(st.lists(st.integers(0, 4), min_size=height, max_size=height))
    cuts = data.draw(st.lists(st.integers(0, 30), max_size=4))
    png = make_png(width, height, samples, channels, filters, cuts + [1] if cuts else None)
    result = decode(png)
    reference = Image.open(io.BytesIO(png))
    assert result[2] == reference.convert("RGB").tobytes()
    assert result[4] == (reference.getchannel("A").tobytes() if channels == 4 else None)
    assert result[7] == bytes(filters)


class PlainStream:
    """A stream that is not an io.BytesIO: the decoder reads it through `read` only."""

    def __init__(self, data):
        self.inner = io.BytesIO(data)
        self.read, self.seek, self.tell = self.inner.read, self.inner.seek, self.inner.tell


GOOD = make_png(5, 4, pattern(5, 4), 3, [0, 1, 2, 3], idat_lengths=[7, 9], after=[(b"tEXt", b"a\x00b")])
STREAM_CASES = {
    "trailing bytes after IEND": GOOD + b"garbage",
    "no IEND": GOOD[:-12],
    "cut in a length": GOOD[:-10],
    "cut in a type": GOOD[:-6],
    "cut in the data": GOOD[:60],
    "cut in a CRC": GOOD[:-2],
    "bad CRC": GOOD[:-1] + b"\x00",
    "bad IHDR": PNG_SIG + png_chunk(b"IHDR", b"\x00" * 12) + GOOD[33:],
}


@pytest.mark.parametrize("data", STREAM_CASES.values(), ids=STREAM_CASES.keys())
def test_in_memory_streams_decode_like_any_stream(data):
    """io.BytesIO is read straight from memory: results, errors and final position must be
    those of reading the same bytes through `read`."""
    outcomes = []
    for stream in (io.BytesIO(data), PlainStream(data)):
        try:
            result = SimpleImage._streamToImage(stream)
        except Exception as exc:
            result = (type(exc), str(exc))
        outcomes.append((result, stream.tell()))
    assert outcomes[0] == outcomes[1]


def test_opening_bytes_copies_no_image_data():
    import tracemalloc
    samples = bytes(range(250)) * 3600
    data = make_png(600, 500, samples, 3, level=0)  # stored: as large as the image
    tracemalloc.start()
    img = SimpleImage.open(data)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 600 * 500 * 3 + 500 + (256 << 10), peak
    assert img._pixels == samples

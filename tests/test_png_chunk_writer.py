import io
import random
import zlib

import pytest
from PIL import Image

from Quorvex import simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage
from imagefiles import ihdr_data, pattern, scanlines
from test_png_writer import OLD, chunks_of, rgba

W, H = 20, 20
PIXELS = pattern(W, H, seed=7)
FILTERS = bytearray(y % 5 for y in range(H))
RAW = scanlines(W, H, PIXELS, 3, FILTERS)
IHDR = (b"IHDR", ihdr_data(W, H), 13)
TEXT = (b"tEXt", b"Comment\x00kept", 12)
IEND = (b"IEND", b"", 0)


def idat(length):
    return (b"IDAT", None, length)


def write(tmp_path, chunks, pixels=PIXELS, alpha=None, filters=FILTERS, width=W, height=H):
    path = tmp_path / "out.png"
    assert ext._writePngWithChunks(str(path), width, height, pixels, alpha, chunks, filters) is None
    return path.read_bytes()


# Each layout: the records given, then the chunk types written, with the new IDAT pieces
# as their lengths (None: whatever is left).
@pytest.mark.parametrize("records, layout", [
    ([IHDR, idat(100), idat(50), IEND], [b"IHDR", 100, None, b"IEND"]),
    ([IHDR, idat(100), TEXT, idat(50), IEND], [b"IHDR", 100, None, b"tEXt", b"IEND"]),
    ([IHDR, TEXT, IEND], [b"IHDR", b"tEXt", b"IEND", None]),
    ([IHDR, idat(10**6), IEND], [b"IHDR", None, b"IEND"]),
    ([IHDR, idat(0), idat(30), idat(5), IEND, TEXT], [b"IHDR", 30, None, b"IEND", b"tEXt"]),
    ((IHDR, idat(1), idat(1), IEND), [b"IHDR", 1, None, b"IEND"]),
])
def test_layouts(tmp_path, records, layout):
    chunks = chunks_of(write(tmp_path, records))
    kept = {r[0]: r[1] for r in records if r[0] != b"IDAT"}
    assert len(chunks) == len(layout)
    for (ctype, body), want in zip(chunks, layout):
        if isinstance(want, bytes):
            assert (ctype, body) == (want, kept[want])
        else:
            assert ctype == b"IDAT" and (want is None or len(body) == want)
    assert zlib.decompress(b"".join(b for t, b in chunks if t == b"IDAT")) == RAW


def test_read_back_by_pillow(tmp_path):
    alpha = bytearray(pattern(W, H, 1, seed=3))
    records = [(b"IHDR", ihdr_data(W, H, color_type=6), 13), idat(64), TEXT, idat(64), IEND]
    with Image.open(io.BytesIO(write(tmp_path, records, alpha=alpha))) as im:
        assert im.mode == "RGBA" and im.tobytes() == rgba(PIXELS, alpha)
        assert im.info["Comment"] == "kept"


def test_none_data_is_an_empty_chunk(tmp_path):
    chunks = chunks_of(write(tmp_path, [IHDR, (b"tEXt", None, 7), idat(5), IEND]))
    assert chunks[1] == (b"tEXt", b"")


@pytest.mark.parametrize("empty", [None, [], ()])
def test_no_records_writes_the_plain_file(tmp_path, empty):
    plain = tmp_path / "plain.png"
    ext._writePng(str(plain), W, H, PIXELS, None, FILTERS)
    assert write(tmp_path, empty) == plain.read_bytes()


def test_large_pieces_and_records(tmp_path):
    pixels = random.Random(9).randbytes(200 * 200 * 3)
    big_text = (b"zTXt", bytearray(100_000), 0)
    chunks = chunks_of(write(tmp_path, [IHDR[:1] + (ihdr_data(200, 200), 13), idat(70_000), big_text, idat(1), IEND],
                             pixels=pixels, filters=None, width=200, height=200))
    assert [len(b) for t, b in chunks] == [13, 70_000, len(chunks[2][1]), 100_000, 0]
    assert zlib.decompress(chunks[1][1] + chunks[2][1]) == scanlines(200, 200, pixels, 3)


@pytest.mark.parametrize("records, changes, exc, message", [
    ([IHDR, (b"IDAT", None), IEND], {}, ValueError, "need more than 2 values to unpack"),
    ([IHDR, idat(5) + (0,), IEND], {}, ValueError, "too many values to unpack (expected 3)"),
    ([IHDR, idat(None), idat(5), IEND], {}, TypeError, None),
    ([IHDR, ("tEXt", b"x", 1), idat(5), IEND], {}, TypeError, None),
    ([IHDR, idat(5), (b"tEXt", "x", 1), IEND], {}, TypeError, None),
    ([IHDR, idat(5), IEND], dict(pixels=PIXELS[:-1]), ValueError, "Pixel data length does not match image dimensions"),
    ([IHDR, idat(5), IEND], dict(filters=bytearray([5] * H)), ValueError, "Unsupported PNG filter: 5"),
    # A kept header that contradicts the pixels being written.
    ([IHDR, idat(5), IEND], dict(alpha=bytearray(W * H)), ValueError,
     "IHDR chunk does not match image dimensions or alpha channel"),
    ([(b"IHDR", ihdr_data(W, H, color_type=6), 13), idat(5), IEND], {}, ValueError,
     "IHDR chunk does not match image dimensions or alpha channel"),
    ([(b"IHDR", ihdr_data(H * 2, W // 2), 13), idat(5), IEND], {}, ValueError,
     "IHDR chunk does not match image dimensions or alpha channel"),
])
def test_refused_writes_leave_the_file_alone(tmp_path, records, changes, exc, message):
    path = tmp_path / "out.png"
    path.write_bytes(OLD)
    with pytest.raises(exc) as info:
        write(tmp_path, records, **changes)
    if message is not None:
        assert str(info.value) == message
    assert path.read_bytes() == OLD


def test_odd_sized_ihdr_is_kept_as_it_is(tmp_path):
    chunks = chunks_of(write(tmp_path, [(b"IHDR", b"short", 5), idat(5), IEND]))
    assert chunks[0] == (b"IHDR", b"short")


def test_save_checks_the_kept_header_against_the_image(tmp_path):
    alpha = bytearray(W * H)
    records = [(b"IHDR", ihdr_data(W, H, color_type=6), 13), idat(5), IEND]
    image = SimpleImage(W, H, PIXELS, alpha, records, None, FILTERS)
    image.save(str(tmp_path / "a.png"))
    with Image.open(tmp_path / "a.png") as im:
        assert im.mode == "RGBA" and im.tobytes() == rgba(PIXELS, alpha)
    image._alpha = None
    with pytest.raises(ValueError, match="IHDR chunk does not match"):
        image.save(str(tmp_path / "b.png"))
    assert not (tmp_path / "b.png").exists()

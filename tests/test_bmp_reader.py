import io
import struct
import tracemalloc

import pytest
from PIL import Image

from imagefiles import bmp_file, pattern
from Quorvex.simpleImage_ext import SimpleImage

INCOMPLETE = "Incomplete BMP pixel data"
TOO_LARGE = "BMP image dimensions exceed 32-bit sizes"


def bmp_headers(width, height, pixel_offset=54, dib_size=40, planes=1, bit_count=24, compression=0,
                xppm=2835, yppm=2835, clr_used=0, clr_important=0):
    """The 54 header bytes alone, whatever the pixel data they claim."""
    return (b"BM" + struct.pack("<IHHI", 0, 0, 0, pixel_offset) + struct.pack("<I", dib_size)
            + struct.pack("<iiHHIIiiII", width, height, planes, bit_count, compression, 0, xppm, yppm,
                          clr_used, clr_important))


class ClaimedSizeStream:
    """`head`, then zeros up to `size` bytes, without holding them; records every read."""

    def __init__(self, head, size):
        self.head, self.size, self.pos, self.reads = head, size, 0, []

    def seek(self, pos):
        self.pos = pos

    def read(self, n):
        n = max(0, min(n, self.size - self.pos))
        out = self.head[self.pos:self.pos + n]
        self.pos += n
        self.reads.append(n)
        return out + bytes(n - len(out))


def load(stream):
    if isinstance(stream, bytes):
        stream = io.BytesIO(stream)
    return SimpleImage._streamToImage(stream)


def unpack_error(data):
    with pytest.raises(struct.error) as info:
        struct.unpack("<iiHHIIiiII", data)
    return str(info.value)


ONE = bmp_file(1, 1, b"\x01\x02\x03")

REFUSED = [
    (b"BM", ValueError, "Unsupported BMP header"),
    (ONE[:13], ValueError, "Unsupported BMP header"),
    (ONE[:14], ValueError, "Corrupted BMP DIB header"),
    (ONE[:17], ValueError, "Corrupted BMP DIB header"),
    (bmp_headers(1, 1, dib_size=12), ValueError, "Only BITMAPINFOHEADER BMP files are supported"),
    (bmp_headers(1, 1, dib_size=124), ValueError, "Only BITMAPINFOHEADER BMP files are supported"),
    (ONE[:18], struct.error, unpack_error(b"")),
    (ONE[:53], struct.error, unpack_error(ONE[18:53])),
    (bmp_headers(1, 1, planes=2), ValueError, "Only uncompressed 24-bit BMP files are supported"),
    (bmp_headers(1, 1, bit_count=32), ValueError, "Only uncompressed 24-bit BMP files are supported"),
    (bmp_headers(1, 1, compression=1), ValueError, "Only uncompressed 24-bit BMP files are supported"),
    (ONE[:-1], ValueError, INCOMPLETE),  # ends inside the last row's padding
    (bmp_file(3, 4, pattern(3, 4))[:-12], ValueError, INCOMPLETE),  # a whole row missing
    (bmp_file(2, 2, pattern(2, 2), pixel_offset=1000), ValueError, INCOMPLETE),
    (bmp_headers(-2, 3), ValueError, "negative count"),
    (bmp_headers(-1, -1), ValueError, "negative count"),
    # Small files that claim huge images are refused before anything is allocated.
    (bmp_headers(40000, 40000), ValueError, INCOMPLETE),
    (bmp_headers(3_000_000, 2_000_000) + bytes(24_000), ValueError, INCOMPLETE),
    (bmp_headers(1, -2**31), ValueError, INCOMPLETE),
    (bmp_headers(2**31 - 1, -2**31, pixel_offset=2**32 - 1), ValueError, INCOMPLETE),
    # The rows are there, but the sizes do not fit 32 bits.
    (ClaimedSizeStream(bmp_headers(50000, 50000), 54 + 150000 * 50000), OverflowError, TOO_LARGE),
    (ClaimedSizeStream(bmp_headers(800_000_000, 1), 54 + 2_400_000_000), OverflowError, TOO_LARGE),
    (ClaimedSizeStream(bmp_headers(1, -2**31), 54 + 4 * 2**31), OverflowError, TOO_LARGE),
    (bmp_headers(0, -2**31), OverflowError, TOO_LARGE),
]


@pytest.mark.parametrize("data, error, message", REFUSED)
def test_refused(data, error, message):
    with pytest.raises(error) as info:
        load(data)
    assert str(info.value) == message


def test_huge_claim_allocates_nothing():
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=INCOMPLETE):
            load(bmp_headers(20000, 20000))  # 1.2 GB of pixels, within 32 bits
        assert tracemalloc.get_traced_memory()[1] < 1 << 20
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("width", [1, 2, 3, 5, 7, 13])
@pytest.mark.parametrize("top_down", [False, True])
def test_rows_match_pillow(width, top_down):
    rgb = pattern(width, 6, seed=width)
    data = bmp_file(width, 6, rgb, top_down=top_down)
    result = load(data)
    assert result[:2] == (width, 6)
    assert result[2] == rgb == Image.open(io.BytesIO(data)).convert("RGB").tobytes()


def test_result_layout_and_channel_order():
    result = load(bmp_file(1, 1, b"\x03\x02\x01", xppm=-5, yppm=3780, clr_used=2**32 - 1, clr_important=7))
    assert result == (1, 1, bytearray(b"\x03\x02\x01"), 3, None, None,
                      {"xppm": -5, "yppm": 3780, "clrUsed": 2**32 - 1, "clrImportant": 7}, None)
    assert type(result[2]) is bytearray
    assert list(result[6]) == ["xppm", "yppm", "clrUsed", "clrImportant"]


@pytest.mark.parametrize("data, width, height", [
    (bmp_headers(5, 0), 5, 0),
    (bmp_headers(-7, 0), -7, 0),
    (bmp_headers(0, 3), 0, 3),
    (bmp_headers(0, -3, pixel_offset=10**9), 0, 3),
])
def test_empty_images(data, width, height):
    assert load(data)[:3] == (width, height, bytearray())


def test_pixel_offset_moves_the_rows():
    rgb = pattern(3, 2)
    assert load(bmp_file(3, 2, rgb, gap=bytes(range(40))))[2] == rgb
    # An offset inside the headers is not refused: the rows start there.
    data = bmp_file(1, 2, b"\x00" * 6, pixel_offset=50)
    stored = data[50:58]
    assert load(data)[2] == bytes((stored[6], stored[5], stored[4], stored[2], stored[1], stored[0]))


def test_large_image_reads_rows_in_blocks():
    width, height = 1001, 1600  # about 4.8 MB of rows: more than one block
    rgb = pattern(width, height)
    data = bmp_file(width, height, rgb)
    stream = ClaimedSizeStream(data, len(data))
    assert load(stream)[2] == rgb
    assert len(stream.reads) < 10
    with pytest.raises(ValueError, match=INCOMPLETE):
        load(data[:-1])


def test_open_from_file_and_bytes(tmp_path, capsys):
    rgb = pattern(5, 3)
    data = bmp_file(5, 3, rgb, top_down=True)
    (tmp_path / "a.bmp").write_bytes(data)
    for source in (str(tmp_path / "a.bmp"), data, bytearray(data)):
        image = SimpleImage.open(source)
        assert (image.size, image._pixels, image._alpha, image._png_chunks) == ((5, 3), rgb, None, None)
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 5x3, channels=3\n" * 3

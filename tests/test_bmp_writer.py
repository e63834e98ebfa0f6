import io
import struct

import pytest
from PIL import Image

from imagefiles import bmp_file, pattern
from Quorvex.simpleImage_ext import SimpleImage, _writeBmp

TOO_LARGE = "BMP image dimensions exceed 32-bit sizes"
EXISTING = b"an existing file that a refused save must leave alone"


def headers(width, height, image_size, xppm=2835, yppm=2835, clr_used=0, clr_important=0):
    return (b"BM" + struct.pack("<IHHI", 54 + image_size, 0, 0, 54)
            + struct.pack("<IIIHHIIIIII", 40, width, height, 1, 24, 0, image_size, xppm, yppm, clr_used,
                          clr_important))


def written(tmp_path, *args, **kwargs):
    path = tmp_path / "out.bmp"
    assert _writeBmp(str(path), *args, **kwargs) is None
    return path.read_bytes()


def pack_error(fmt, *values):
    with pytest.raises(struct.error) as info:
        struct.pack(fmt, *values)
    return str(info.value)


def test_one_pixel(tmp_path):
    data = written(tmp_path, 1, 1, bytearray(b"\x01\x02\x03"))
    assert data == headers(1, 1, 4) + b"\x03\x02\x01\x00"
    assert len(data) == 58


def test_rows_bottom_up_with_padding(tmp_path):
    px = [bytes((10 * i, 10 * i + 1, 10 * i + 2)) for i in range(4)]  # (0,0) (1,0) (0,1) (1,1)
    data = written(tmp_path, 2, 2, b"".join(px))
    rows = [p[::-1] for p in px]
    assert data == headers(2, 2, 16) + rows[2] + rows[3] + b"\0\0" + rows[0] + rows[1] + b"\0\0"


@pytest.mark.parametrize("width, height, stride", [(4, 3, 12), (5, 2, 16), (0, 7, 0), (9, 0, 28)])
def test_row_stride(tmp_path, width, height, stride):
    rgb = pattern(width, height)
    data = written(tmp_path, width, height, rgb)
    assert data[:54] == headers(width, height, stride * height)
    assert len(data) == 54 + stride * height
    if width and height:
        assert Image.open(io.BytesIO(data)).convert("RGB").tobytes() == rgb


class Record:
    """A mapping-like record that notes which keys were asked for."""

    def __init__(self, values):
        self.values, self.asked = values, []

    def get(self, key, default):
        self.asked.append(key)
        return self.values.get(key, default)


@pytest.mark.parametrize("meta, fields", [
    (None, (2835, 2835, 0, 0)),
    ({}, (2835, 2835, 0, 0)),
    ({"xppm": 3780, "yppm": 3780, "clrUsed": 0, "clrImportant": 0}, (3780, 3780, 0, 0)),
    ({"yppm": 100, "clrImportant": 9, "extra": -1}, (2835, 100, 0, 9)),
    ({"xppm": "3780", "yppm": 72.9, "clrUsed": True, "clrImportant": 2**32 - 1}, (3780, 72, 1, 2**32 - 1)),
])
def test_header_record(tmp_path, meta, fields):
    assert written(tmp_path, 1, 1, b"abc", meta)[38:54] == struct.pack("<IIII", *fields)


def test_record_keys_asked_in_order(tmp_path):
    record = Record({"xppm": 1})
    written(tmp_path, 1, 1, b"abc", meta=record)
    assert record.asked == ["xppm", "yppm", "clrUsed", "clrImportant"]


class Pixels(bytearray):
    def __getitem__(self, index):
        raise AssertionError("a bytearray is used as it is")


@pytest.mark.parametrize("pixels", [b"\x01\x02\x03", [1, 2, 3], Pixels(b"\x01\x02\x03"), b"\x01\x02\x03extra"])
def test_pixel_sources(tmp_path, pixels):
    assert written(tmp_path, 1, 1, pixels)[54:] == b"\x03\x02\x01\x00"


REFUSED = [
    (("a", 1, b"abc"), TypeError, "an integer is required"),
    ((2**31, 1, b"abc"), OverflowError, None),
    ((1, 1, b"abc", object()), AttributeError, None),
    ((1, 1, b"abc", {"xppm": "wide"}), ValueError, None),
    ((1, 1, "abc"), TypeError, "string argument without an encoding"),
    ((-20, 1, b""), struct.error, pack_error("<IHHI", -6, 0, 0, 54)),
    ((-1, 1, b""), struct.error, pack_error("<I", -1)),
    ((1, -1, b""), struct.error, pack_error("<I", -1)),  # the file size still packs
    ((1, 1, b"abc", {"xppm": -1}), struct.error, pack_error("<I", -1)),
    ((1, 1, b"abc", {"clrUsed": 2**32}), struct.error, pack_error("<I", 2**32)),
    ((50000, 50000, b""), struct.error, pack_error("<I", 54 + 150000 * 50000)),
    ((30000, 30000, b""), OverflowError, TOO_LARGE),  # packs, but past 32-bit sizes
    ((800_000_000, 0, b""), OverflowError, TOO_LARGE),
    ((2, 2, b"\0" * 11), IndexError, "bytearray index out of range"),
    ((1000, 1000, bytearray(10)), IndexError, "bytearray index out of range"),
]


@pytest.mark.parametrize("args, error, message", REFUSED)
def test_refused_save_keeps_existing_file(tmp_path, args, error, message):
    path = tmp_path / "kept.bmp"
    path.write_bytes(EXISTING)
    with pytest.raises(error) as info:
        _writeBmp(str(path), *args)
    if message is not None:
        assert str(info.value) == message
    assert path.read_bytes() == EXISTING
    with pytest.raises(error):
        _writeBmp(str(tmp_path / "new.bmp"), *args)
    assert not (tmp_path / "new.bmp").exists()


def test_write_failure_surfaces(tmp_path):
    with pytest.raises(IsADirectoryError):
        _writeBmp(str(tmp_path), 1, 1, b"abc")
    with pytest.raises(OSError):  # the buffered write fails when the file is closed
        _writeBmp("/dev/full", 1, 1, b"abc")


@pytest.mark.parametrize("top_down", [False, True])
def test_round_trip(tmp_path, capsys, top_down):
    rgb = pattern(7, 5)
    fields = dict(xppm=3780, yppm=1, clr_used=5, clr_important=2)
    image = SimpleImage.open(bmp_file(7, 5, rgb, top_down=top_down, gap=bytes(12), **fields))
    image.saveBmp(str(tmp_path / "a.bmp"))
    image.save(str(tmp_path / "a.png"))  # a BMP-origin image is saved as a BMP whatever the name
    data = (tmp_path / "a.bmp").read_bytes()
    assert data == (tmp_path / "a.png").read_bytes() == bmp_file(7, 5, rgb, **fields)
    again = SimpleImage.open(str(tmp_path / "a.bmp"))
    assert (again.size, again._pixels) == ((7, 5), rgb)
    assert again._bmp_header == {"xppm": 3780, "yppm": 1, "clrUsed": 5, "clrImportant": 2}
    capsys.readouterr()


def test_negative_resolution_is_not_written(tmp_path, capsys):
    image = SimpleImage.open(bmp_file(1, 1, b"abc", yppm=-1))
    path = tmp_path / "kept.bmp"
    path.write_bytes(EXISTING)
    with pytest.raises(struct.error):
        image.save(str(path))
    assert path.read_bytes() == EXISTING
    capsys.readouterr()


def test_alpha_is_not_written(tmp_path):
    rgb = pattern(3, 2)
    SimpleImage(3, 2, rgb, bytes(6)).saveBmp(str(tmp_path / "alpha.bmp"))
    assert (tmp_path / "alpha.bmp").read_bytes() == written(tmp_path, 3, 2, rgb)

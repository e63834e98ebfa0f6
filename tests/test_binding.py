"""Argument binding: every callable reports counts, keywords and types the same way."""

import pytest

import Quorvex.simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage

IMG = SimpleImage(1, 1, b"abc")
TAKES = "{}() takes {} {} positional argument{} ({} given)"

CASES = [
    # constructor: 3 required, 4 optional
    (lambda: SimpleImage(1, 2), TAKES.format("__cinit__", "at least", 3, "s", 2)),
    (lambda: SimpleImage(), TAKES.format("__cinit__", "at least", 3, "s", 0)),
    (lambda: SimpleImage(1, 1, b"abc", None, None, None, None, None),
     TAKES.format("__cinit__", "at most", 7, "s", 8)),
    (lambda: SimpleImage(1, pixels=b"abc"), TAKES.format("__cinit__", "at least", 3, "s", 1)),
    (lambda: SimpleImage(width=1, pixels=b"abc"), TAKES.format("__cinit__", "at least", 3, "s", 1)),
    (lambda: SimpleImage(1, 1, b"abc", colour=1), "__cinit__() got an unexpected keyword argument 'colour'"),
    (lambda: SimpleImage(1, 1, b"abc", height=1), "__cinit__() got multiple values for keyword argument 'height'"),
    # methods: self is not counted
    (lambda: IMG.getPixel(), TAKES.format("getPixel", "exactly", 1, "", 0)),
    (lambda: IMG.getPixel((0, 0), 1), TAKES.format("getPixel", "exactly", 1, "", 2)),
    (lambda: IMG.putPixel((0, 0)), TAKES.format("putPixel", "exactly", 2, "s", 1)),
    (lambda: IMG.putPixel(value=(1, 2, 3)), TAKES.format("putPixel", "exactly", 2, "s", 0)),
    (lambda: IMG.putPixel((0, 0), value=(1, 2, 3), alpha=4), "putPixel() got an unexpected keyword argument 'alpha'"),
    (lambda: IMG.copy(1), TAKES.format("copy", "exactly", 0, "s", 1)),
    (lambda: IMG.save(), TAKES.format("save", "exactly", 1, "", 0)),
    (lambda: IMG.saveBmp("a", "b"), TAKES.format("saveBmp", "exactly", 1, "", 2)),
    (lambda: SimpleImage.open(), TAKES.format("open", "exactly", 1, "", 0)),
    (lambda: SimpleImage.open(b"", b""), TAKES.format("open", "exactly", 1, "", 2)),
    (lambda: SimpleImage.open(path="x"), "open() got an unexpected keyword argument 'path'"),
    (lambda: SimpleImage._streamToImage(), TAKES.format("_streamToImage", "exactly", 1, "", 0)),
    # module functions
    (lambda: ext._writePng(1, 2, 3), TAKES.format("_writePng", "at least", 4, "s", 3)),
    (lambda: ext._writePng(1, 2, 3, 4, 5, 6, 7), TAKES.format("_writePng", "at most", 6, "s", 7)),
    (lambda: ext._writePngWithChunks(1, 2, 3, 4, 5), TAKES.format("_writePngWithChunks", "at least", 6, "s", 5)),
    (lambda: ext._writeBmp(1, 2, 3), TAKES.format("_writeBmp", "at least", 4, "s", 3)),
    (lambda: ext._writeBmp(1, 2, 3, 4, 5, 6), TAKES.format("_writeBmp", "at most", 5, "s", 6)),
    (lambda: ext._makeChunk(b"IEND"), TAKES.format("_makeChunk", "exactly", 2, "s", 1)),
    (lambda: ext._split_idat_payload(b"", [], 1), TAKES.format("_split_idat_payload", "exactly", 2, "s", 3)),
    (lambda: ext._readChunk(), TAKES.format("_readChunk", "exactly", 1, "", 0)),
    (lambda: ext._readChunk(None, stream=None), "_readChunk() got multiple values for keyword argument 'stream'"),
]


@pytest.mark.parametrize("call, message", CASES)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Str(str):
    pass


class Bytes(bytes):
    pass


class Tup(tuple):
    pass


WRONG = "Argument '{}' has incorrect type (expected {}, got {})"

TYPE_CASES = [
    (lambda: IMG.getPixel([0, 0]), WRONG.format("coords", "tuple", "list")),
    (lambda: IMG.getPixel(None), WRONG.format("coords", "tuple", "NoneType")),
    (lambda: IMG.getPixel(Tup((0, 0))), WRONG.format("coords", "tuple", "Tup")),
    (lambda: IMG.putPixel([0, 0], (1, 2, 3)), WRONG.format("coords", "tuple", "list")),
    (lambda: IMG.save(None), WRONG.format("path", "str", "NoneType")),
    (lambda: IMG.save(b"x.png"), WRONG.format("path", "str", "bytes")),
    (lambda: IMG.saveBmp(Str("x.bmp")), WRONG.format("path", "str", "Str")),
    (lambda: ext._makeChunk(bytearray(b"IEND"), b""), WRONG.format("chunkType", "bytes", "bytearray")),
    (lambda: ext._makeChunk(b"IEND", Bytes()), WRONG.format("data", "bytes", "Bytes")),
    (lambda: ext._makeChunk(b"IEND", None), WRONG.format("data", "bytes", "NoneType")),
    (lambda: ext._split_idat_payload(bytearray(), []), WRONG.format("data", "bytes", "bytearray")),
    (lambda: ext._split_idat_payload(b"", (1,)), WRONG.format("lengths", "list", "tuple")),
]


@pytest.mark.parametrize("call, message", TYPE_CASES)
def test_exact_type_checks(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_by_name():
    img = SimpleImage(pixels=b"abcdef", height=1, width=2, alpha=b"\x01\x02")
    assert img.getPixel(coords=(1, 0)) == (100, 101, 102)
    img.putPixel(value=(1, 2, 3), coords=(0, 0))
    assert bytes(img._pixels) == b"\x01\x02\x03def"


@pytest.mark.parametrize("value, error", [
    ("3", TypeError), (None, TypeError), (b"3", TypeError), ([3], TypeError),
    (2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError), (2 ** 100, OverflowError),
])
def test_dimension_conversion_errors(value, error):
    with pytest.raises(error) as info:
        SimpleImage(value, 1, b"")
    if error is TypeError:
        assert str(info.value) == "an integer is required"


@pytest.mark.parametrize("value, expected", [
    (True, 1), (2.9, 2), (-0.5, 0), (2 ** 31 - 1, 2 ** 31 - 1), (-2 ** 31, -2 ** 31),
])
def test_dimension_conversion_accepts(value, expected):
    img = SimpleImage(1, 0, b"")
    img.width = value
    assert img.width == expected

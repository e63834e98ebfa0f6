"""SimpleImage.open and _streamToImage: sources, format dispatch, the printed line, subclasses."""

import io
import pathlib

import pytest

import Quorvex.simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage
from imagefiles import bmp_file, make_png, pattern

RGB = pattern(2, 3)
PNG = make_png(2, 3, RGB)
PNG_RGBA = make_png(2, 3, pattern(2, 3, 4), channels=4)
BMP = bmp_file(2, 3, RGB)


@pytest.fixture
def png_path(tmp_path):
    path = tmp_path / "image.png"
    path.write_bytes(PNG)
    return path


def fields(img):
    return (img.size, img._pixels, img._alpha, img._png_chunks, img._png_filters, img._bmp_header)


def test_every_source_kind_gives_the_same_image(png_path):
    images = [SimpleImage.open(s) for s in (str(png_path), png_path, PNG, bytearray(PNG))]
    assert all(fields(img) == fields(images[0]) for img in images)
    assert images[0]._pixels == RGB


@pytest.mark.parametrize("data, line", [
    (PNG, "[SimpleImage] Opened image: 2x3, channels=3\n"),
    (PNG_RGBA, "[SimpleImage] Opened image: 2x3, channels=4\n"),
    (BMP, "[SimpleImage] Opened image: 2x3, channels=3\n"),
], ids=["png", "png-rgba", "bmp"])
def test_prints_one_line(capsys, data, line):
    SimpleImage.open(data)
    assert capsys.readouterr().out == line


def test_an_image_is_returned_as_it_is(capsys):
    img = SimpleImage(1, 1, b"abc")
    assert SimpleImage.open(img) is img
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("source", [None, memoryview(PNG), io.BytesIO(PNG), 5, [1, 2]],
                         ids=["none", "memoryview", "stream", "int", "list"])
def test_refused_sources(source, capsys):
    with pytest.raises(TypeError, match="^source must be a file path or raw bytes$"):
        SimpleImage.open(source)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data", [b"", b"GIF89a", PNG[:7], PNG[:7] + b"x" + PNG[8:], b"B"],
                         ids=["empty", "gif", "short-signature", "bad-signature", "one-byte"])
def test_unsupported_formats(data):
    with pytest.raises(ValueError, match="^Unsupported image format$"):
        SimpleImage.open(data)


def test_dispatch_needs_all_eight_signature_bytes_and_bm_goes_to_bmp():
    with pytest.raises(ValueError, match="^Unsupported BMP header$"):
        SimpleImage.open(b"BM")
    assert SimpleImage.open(BMP)._bmp_header is not None


def test_signature_is_looked_up_at_each_call(monkeypatch):
    monkeypatch.setattr(ext, "PNG_SIGNATURE", b"\x89PNX\r\n\x1a\n")
    with pytest.raises(ValueError, match="^Unsupported image format$"):
        SimpleImage.open(PNG)


def test_missing_file_is_the_hosts_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        SimpleImage.open(str(tmp_path / "missing.png"))


def test_stream_to_image_returns_the_decoder_result():
    stream = io.BytesIO(BMP)
    result = SimpleImage._streamToImage(stream)
    assert result[:2] == (2, 3) and result[3:7] == (3, None, None, result[6]) and result[7] is None
    assert SimpleImage(1, 1, b"abc")._streamToImage(io.BytesIO(PNG))[0] == 2


class Recorder(SimpleImage):
    made = []

    def __init__(self, *args):
        Recorder.made.append(args)


def test_subclass_is_built_through_its_own_constructor():
    img = Recorder.open(PNG)
    assert type(img) is Recorder and len(Recorder.made[-1]) == 7
    assert Recorder.made[-1][5] is None  # bmp_meta lands in bmp_header's place


@pytest.mark.parametrize("result, error, message", [
    ((1,) * 9, ValueError, "too many values to unpack (expected 8)"),
    ((1,), ValueError, "need more than 1 value to unpack"),
    (iter([1, 1, b"abc", 3, None, None, None]), ValueError, "need more than 7 values to unpack"),
    (5, TypeError, None),
])
def test_decoder_results_are_unpacked_exactly(result, error, message):
    class Odd(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            return result

    with pytest.raises(error) as info:
        Odd.open(b"anything")
    if message:
        assert str(info.value) == message


def test_replaced_stream_to_image_is_used(capsys):
    class Fixed(SimpleImage):
        @staticmethod
        def _streamToImage(stream):
            return (1, 1, b"xyz", 3, None, None, None, None)

    assert Fixed.open(b"whatever").getPixel((0, 0)) == (120, 121, 122)
    assert capsys.readouterr().out == "[SimpleImage] Opened image: 1x1, channels=3\n"


def test_a_constructor_returning_a_foreign_object_is_refused():
    class Liar(SimpleImage):
        def __new__(cls, *args):
            return "not an image"

    with pytest.raises(TypeError, match="^Cannot convert str to Quorvex.simpleImage_ext.SimpleImage$"):
        Liar.open(BMP)


def test_path_objects_open(tmp_path):
    path = pathlib.Path(tmp_path) / "x.bmp"
    path.write_bytes(BMP)
    assert SimpleImage.open(path)._pixels == RGB


def test_open_keeps_the_decoder_buffers_instead_of_copying_them():
    import tracemalloc
    width = height = 400
    data = make_png(width, height, bytes(width * height * 4), channels=4, level=1)
    tracemalloc.start()
    img = SimpleImage.open(data)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert img._pixels == bytes(width * height * 3) and img._alpha == bytes(width * height)
    outputs = width * height * 4 + height
    assert peak < outputs * 1.5, (peak, outputs)

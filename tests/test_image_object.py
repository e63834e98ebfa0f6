"""SimpleImage construction, attributes, copy() and the refusal of pickling."""

import copy
import pickle

import pytest

from Quorvex.simpleImage_ext import SimpleImage

PIXEL_LEN = "Pixel data length does not match image dimensions"
ALPHA_LEN = "Alpha channel length does not match image dimensions"
FILTER_LEN = "PNG filter count does not match image height"
NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"


def test_fields_of_a_plain_image():
    img = SimpleImage(2, 1, bytes(6))
    assert type(img._pixels) is bytearray and img._pixels == bytes(6)
    assert (img._alpha, img._png_chunks, img._png_filters, img._bmp_header) == (None,) * 4
    assert img.size == (2, 1) and (img.width, img.height) == (2, 1)


@pytest.mark.parametrize("args, kwargs, message", [
    ((2, 2, bytes(11)), {}, PIXEL_LEN),
    ((2, 2, bytes(11), bytes(3)), {}, PIXEL_LEN),          # first failing check wins
    ((2, 2, bytes(12), bytes(3)), {}, ALPHA_LEN),
    ((2, 2, bytes(12)), {"png_filters": [0, 0, 0]}, FILTER_LEN),
    ((0, 3, b""), {"png_filters": []}, FILTER_LEN),
    ((-1, 1, b""), {}, PIXEL_LEN),
    # products that overflow 32 bits never let a short buffer through
    ((65536, 65536, b""), {}, PIXEL_LEN),
    ((2 ** 31 - 1, 2, b""), {}, PIXEL_LEN),
    ((1, 1, b"abc", bytes(1)), {"png_filters": [0, 0]}, FILTER_LEN),
])
def test_construction_checks(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        SimpleImage(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("pixels", [b"abc", bytearray(b"abc"), memoryview(b"abc"), [97, 98, 99]])
def test_pixels_accept_any_sized_byte_source(pixels):
    assert SimpleImage(1, 1, pixels)._pixels == bytearray(b"abc")


def test_edge_dimensions():
    assert SimpleImage(-1, -1, b"abc").size == (-1, -1)  # only the length rule is checked
    assert SimpleImage(0, 5, b"", png_filters=bytes(5))._png_filters == bytes(5)


def test_filters_are_stored_as_bytes():
    img = SimpleImage(1, 2, bytes(6), png_filters=[0, 1])
    assert type(img._png_filters) is bytearray and img._png_filters == b"\x00\x01"
    with pytest.raises(ValueError):
        SimpleImage(1, 2, bytes(6), png_filters=[0, 256])


def test_constructor_copies_its_inputs():
    pixels, alpha, filters = bytearray(b"abc"), bytearray(b"\x07"), bytearray(b"\x01")
    chunks, header = [(b"IHDR", b"x", 1)], {"xppm": 1}
    img = SimpleImage(1, 1, pixels, alpha, chunks, header, filters)
    for given, stored in [(pixels, img._pixels), (alpha, img._alpha), (filters, img._png_filters),
                          (chunks, img._png_chunks), (header, img._bmp_header)]:
        assert given == stored and given is not stored
    assert img._png_chunks[0] is chunks[0]  # records themselves are shared (immutable)
    pixels[0] = 0
    header["xppm"] = 2
    assert img._pixels[0] == 97 and img._bmp_header == {"xppm": 1}
    img._pixels[0] = 1  # reading hands out the stored object itself
    assert img.getPixel((0, 0))[0] == 1


def test_header_accepts_pairs_and_keeps_order():
    img = SimpleImage(0, 0, b"", bmp_header=[("yppm", 1), ("xppm", 2)])
    assert list(img._bmp_header.items()) == [("yppm", 1), ("xppm", 2)]


def test_attribute_rules():
    img = SimpleImage(1, 1, b"abc", b"\x01")
    img.width = 7.9
    assert img.width == 7
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del img.width
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del img.height
    with pytest.raises(TypeError) as info:
        img._pixels = b"abc"
    assert str(info.value) == "Expected bytearray, got bytes"
    with pytest.raises(TypeError, match="^Expected bytearray, got MyArray$"):
        img._pixels = type("MyArray", (bytearray,), {})(b"abc")
    assert img._pixels == b"abc"
    for name in ("_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header"):
        delattr(img, name)
        assert getattr(img, name) is None
    img._alpha = "anything"
    assert img._alpha == "anything"
    with pytest.raises(AttributeError):
        img.size = (1, 1)
    with pytest.raises(AttributeError):
        img.extra = 1
    assert not hasattr(img, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(img)


def test_copy_is_deep_for_owned_fields():
    img = SimpleImage(1, 1, b"abc", b"\x05", [(b"IHDR", b"", 0)], {"xppm": 1}, [2])
    dup = img.copy()
    assert type(dup) is SimpleImage
    for name in ("_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header"):
        assert getattr(dup, name) == getattr(img, name)
        assert getattr(dup, name) is not getattr(img, name)


def test_copy_revalidates_fields():
    img = SimpleImage(1, 1, b"abc")
    img.width = 2
    assert img.getPixel((0, 0)) == (97, 98, 99)
    with pytest.raises(ValueError, match=PIXEL_LEN):
        img.copy()
    img.width = 1
    img._pixels = None
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        img.copy()
    img._pixels = bytearray(b"abc")
    img._alpha = 5
    with pytest.raises(TypeError):
        img.copy()


def test_subclasses():
    class Tagged(SimpleImage):
        def __init__(self, *args, **kwargs):
            self.tag = "made"

    img = Tagged(1, 1, b"abc")
    assert img.tag == "made" and img.getPixel((0, 0)) == (97, 98, 99)
    assert type(img.copy()) is SimpleImage


@pytest.mark.parametrize("operation", [
    pickle.dumps, copy.copy, copy.deepcopy,
    lambda img: img.__reduce__(),
    lambda img: img.__setstate__(None),
])
def test_pickling_is_refused(operation):
    with pytest.raises(TypeError) as info:
        operation(SimpleImage(1, 1, b"abc"))
    assert str(info.value) == NO_REDUCE

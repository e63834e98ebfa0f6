"""The pixel buffer exported in place: numpy and memoryview see and change `_pixels` itself."""

import ctypes
import gc
import sys

import pytest

from Quorvex.simpleImage_ext import SimpleImage
from imagefiles import make_png, pattern
from isolated import run_isolated

np = pytest.importorskip("numpy")


class Py_buffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
        ("internal", ctypes.c_void_p),
    ]


_get = ctypes.pythonapi.PyObject_GetBuffer
_get.argtypes = [ctypes.py_object, ctypes.POINTER(Py_buffer), ctypes.c_int]
_release = ctypes.pythonapi.PyBuffer_Release
_release.argtypes = [ctypes.POINTER(Py_buffer)]
_release.restype = None

# The request flags, as the C headers define them.
SIMPLE, WRITABLE, FORMAT, ND = 0, 0x1, 0x4, 0x8
STRIDES = 0x10 | ND
C_CONTIGUOUS, F_CONTIGUOUS, ANY_CONTIGUOUS = 0x20 | STRIDES, 0x40 | STRIDES, 0x80 | STRIDES
INDIRECT = 0x100 | STRIDES
FULL = INDIRECT | WRITABLE | FORMAT


def request(obj, flags):
    """What a C consumer asking with `flags` is handed, as plain data (released at once)."""
    view = Py_buffer()
    _get(obj, ctypes.byref(view), flags)
    try:
        ndim = view.ndim
        return {
            "len": view.len, "itemsize": view.itemsize, "readonly": view.readonly, "ndim": ndim,
            "format": view.format.decode() if view.format else None,
            "shape": tuple(view.shape[i] for i in range(ndim)) if view.shape else None,
            "strides": tuple(view.strides[i] for i in range(ndim)) if view.strides else None,
            "suboffsets": bool(view.suboffsets),
            "same_memory": view.buf == ctypes.addressof((ctypes.c_char * 1).from_buffer(obj._pixels))
            if view.len else True,
        }
    finally:
        _release(ctypes.byref(view))


def image(width, height):
    return SimpleImage(width, height, pattern(width, height))


@pytest.mark.parametrize("flags, ndim, shape, strides, fmt", [
    (SIMPLE, 1, None, None, None),
    (WRITABLE, 1, None, None, None),
    (FORMAT, 1, None, None, "B"),
    (ND, 3, (2, 3, 3), None, None),
    (STRIDES, 3, (2, 3, 3), (9, 3, 1), None),
    (C_CONTIGUOUS, 3, (2, 3, 3), (9, 3, 1), None),
    (ANY_CONTIGUOUS | WRITABLE, 3, (2, 3, 3), (9, 3, 1), None),
    (FULL, 3, (2, 3, 3), (9, 3, 1), "B"),
])
def test_request_flags_are_honoured(flags, ndim, shape, strides, fmt):
    img = image(3, 2)
    got = request(img, flags)
    assert (got["ndim"], got["shape"], got["strides"], got["format"]) == (ndim, shape, strides, fmt)
    assert (got["len"], got["itemsize"], got["readonly"], got["suboffsets"]) == (18, 1, 0, False)
    assert got["same_memory"]


@pytest.mark.parametrize("width, height, allowed", [
    (3, 2, False), (1, 2, False), (2, 1, False),
    (1, 1, True), (0, 4, True), (4, 0, True),  # nothing to order differently
])
def test_fortran_order_only_when_it_is_the_same(width, height, allowed):
    img = image(width, height)
    if allowed:
        assert request(img, F_CONTIGUOUS)["shape"] == (height, width, 3)
    else:
        with pytest.raises(BufferError, match="not Fortran-contiguous"):
            request(img, F_CONTIGUOUS)


def test_numpy_view_shares_the_pixels_both_ways():
    img = image(4, 3)
    view = np.asarray(img)
    assert (view.shape, view.dtype, view.strides) == ((3, 4, 3), np.uint8, (12, 3, 1))
    assert view.flags.writeable and view.flags.c_contiguous
    assert view.tobytes() == img._pixels
    assert tuple(view[2, 1]) == img.getPixel((1, 2))

    view[2, 1] = (7, 8, 9)                         # through the view -> getPixel
    assert img.getPixel((1, 2)) == (7, 8, 9)
    img.putPixel((3, 0), (250, 251, 252))          # putPixel -> through the view
    assert tuple(view[0, 3]) == (250, 251, 252)
    img._pixels[0] = 42                            # the stored array itself
    assert view[0, 0, 0] == 42


def test_memoryview_of_an_image():
    img = image(3, 2)
    with memoryview(img) as m:
        assert (m.shape, m.strides, m.format, m.itemsize, m.ndim) == ((2, 3, 3), (9, 3, 1), "B", 1, 3)
        assert not m.readonly and m.c_contiguous and m.nbytes == 18
        assert m.tobytes() == img._pixels
        m[1, 2, 0] = 99
        assert img.getPixel((2, 1))[0] == 99
        assert m.obj is img


@pytest.mark.parametrize("resize", [
    lambda b: b.append(0),
    lambda b: b.extend(b"xyz"),
    lambda b: b.pop(),
    lambda b: b.clear(),
    lambda b: b.__delitem__(slice(0, 3)),
    lambda b: b.__setitem__(slice(None), b""),
    lambda b: b.__iadd__(b"abc"),
])
def test_the_stored_array_cannot_be_resized_while_viewed(resize):
    img = image(2, 2)
    before = bytes(img._pixels)
    view = np.asarray(img)
    with pytest.raises(BufferError):
        resize(img._pixels)
    assert img._pixels == before and view.tobytes() == before
    del view
    gc.collect()
    resize(img._pixels)  # once the view is gone, it is an ordinary byte array again


def set_pixels(value):
    def edit(img):
        img._pixels = value
    return edit


def set_field(name, value):
    return lambda img: setattr(img, name, value)


@pytest.mark.parametrize("edit, message", [
    (set_field("width", 3), "pixel buffer of 12 bytes does not match its size 3x2"),
    (set_field("height", 1), "pixel buffer of 12 bytes does not match its size 2x1"),
    (set_pixels(bytearray(11)), "pixel buffer of 11 bytes does not match its size 2x2"),
    (set_pixels(bytearray()), "pixel buffer of 0 bytes does not match its size 2x2"),
    (set_pixels(None), "has no pixel buffer"),
    (lambda img: delattr(img, "_pixels"), "has no pixel buffer"),
    # the product of two negative sides matches the length, but is no shape
    (lambda img: (setattr(img, "width", -1), setattr(img, "height", -4)), "of 12 bytes does not match its size -1x-4"),
    # sides whose byte count wraps to 0 in 32 bits
    (lambda img: (setattr(img, "width", 65536), setattr(img, "height", 65536), set_pixels(bytearray())(img)),
     "of 0 bytes does not match its size 65536x65536"),
])
def test_inconsistent_fields_refuse_the_export(edit, message):
    img = image(2, 2)
    edit(img)
    for export in (memoryview, lambda i: request(i, SIMPLE), lambda i: request(i, FULL)):
        with pytest.raises(BufferError, match=message):
            export(img)
    assert np.asarray(img).dtype == object  # numpy falls back to wrapping the object, no view
    img.width, img.height, img._pixels = 2, 2, bytearray(12)
    assert memoryview(img).shape == (2, 2, 3)  # consistent again: exported again


@pytest.mark.parametrize("width, height", [(0, 5), (5, 0), (0, 0), (2 ** 31 - 1, 0)])
def test_zero_size_images(width, height):
    img = SimpleImage(width, height, b"")
    view = np.asarray(img)
    assert view.shape == (height, width, 3) and view.size == 0
    with memoryview(img) as m:
        assert m.shape == (height, width, 3) and m.tobytes() == b""
    with pytest.raises(BufferError):
        img._pixels.append(1)   # pinned even when empty
    del view


def test_rgba_image_views_only_the_rgb_pixels():
    rgba = pattern(3, 2, channels=4, seed=3)
    img = SimpleImage.open(make_png(3, 2, rgba, channels=4))
    alpha = bytes(img._alpha)
    view = np.asarray(img)
    assert view.shape == (2, 3, 3)
    expected = np.frombuffer(rgba, np.uint8).reshape(2, 3, 4)[:, :, :3]
    assert (view == expected).all()
    view[:] = 0
    assert img._pixels == bytes(18) and img._alpha == alpha


def test_view_keeps_the_old_array_when_pixels_are_reassigned():
    img = image(2, 1)
    old = img._pixels
    base_refs = sys.getrefcount(old)
    view = memoryview(img)
    assert sys.getrefcount(old) == base_refs + 1   # the export holds the array itself
    img._pixels = bytearray(b"ABCDEF")
    base_refs -= 1                                 # the image no longer does
    view[0, 0, 0] = 1
    assert old[0] == 1 and img._pixels == b"ABCDEF"
    assert np.asarray(img).tobytes() == b"ABCDEF"  # a new export sees the new array
    view.release()
    assert sys.getrefcount(old) == base_refs       # and lets go of it on release
    old.append(0)                                 # no longer pinned


def test_views_outlive_the_image_and_its_array():
    # A use-after-free here would crash or corrupt: run it where that fails one test.
    outcome = run_isolated("""
        import gc
        import numpy as np
        from Quorvex.simpleImage_ext import SimpleImage

        img = SimpleImage(64, 64, bytes(range(256)) * 48)
        arr = np.asarray(img)
        mv = memoryview(img)
        img._pixels = bytearray(64 * 64 * 3)      # the image lets go of the viewed array
        del img
        for _ in range(3):
            gc.collect()
            junk = [bytearray(64 * 64 * 3) for _ in range(50)]  # reuse freed memory, if any
        arr[0, 0] = (1, 2, 3)
        report([int(arr.sum()), mv.tobytes()[:3].hex(), mv.shape])
    """, timeout=60)
    assert not outcome.crashed and outcome.returncode == 0, outcome.describe()
    total = sum(bytes(range(256)) * 48) - (0 + 1 + 2) + (1 + 2 + 3)
    assert outcome.value == [total, "010203", [64, 64, 3]]


def test_many_exports_release_what_they_take():
    img = image(8, 8)
    pixels = img._pixels
    refs = sys.getrefcount(pixels), sys.getrefcount(img)
    for flags in (SIMPLE, ND, STRIDES, FULL) * 50:
        request(img, flags)
    views = [memoryview(img) for _ in range(20)] + [np.asarray(img) for _ in range(20)]
    del views
    gc.collect()
    assert (sys.getrefcount(pixels), sys.getrefcount(img)) == refs
    pixels.append(0)  # every export was released


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ is a Python method from 3.12 on")
def test_python_level_buffer_methods():
    img = image(2, 1)
    with img.__buffer__(ND) as m:
        assert m.shape == (1, 2, 3) and m.format == "B"
    m = img.__buffer__(WRITABLE)
    img.__release_buffer__(m)
    img._pixels.append(0)  # released through the Python method


def test_bytes_of_an_image_are_its_pixels():
    img = image(2, 2)
    assert bytes(img) == img._pixels and bytearray(img) == img._pixels

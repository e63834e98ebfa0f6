"""repr() says what an image is, whatever its fields were set to by hand."""

import pytest

from Quorvex.simpleImage_ext import SimpleImage
from imagefiles import bmp_file, make_png, pattern
from isolated import run_isolated


def edited(**fields):
    img = SimpleImage(2, 1, bytes(6))
    for name, value in fields.items():
        setattr(img, name, value)
    return img


class Sub(SimpleImage):
    pass


@pytest.mark.parametrize("make, text", [
    (lambda: SimpleImage(2, 1, bytes(6)), "<SimpleImage 2x1 RGB, new>"),
    (lambda: SimpleImage(1, 1, b"abc", b"\xff"), "<SimpleImage 1x1 RGBA, new>"),
    (lambda: SimpleImage(0, 7, b""), "<SimpleImage 0x7 RGB, new>"),
    (lambda: SimpleImage.open(make_png(3, 2, pattern(3, 2))), "<SimpleImage 3x2 RGB, PNG with 3 chunks>"),
    (lambda: SimpleImage.open(make_png(3, 2, pattern(3, 2, 4), channels=4, idat_lengths=[5, 5],
                                     before=[(b"tEXt", b"k\x00v")])),
     "<SimpleImage 3x2 RGBA, PNG with 5 chunks>"),
    (lambda: SimpleImage.open(bmp_file(2, 1, bytes(6))), "<SimpleImage 2x1 RGB, BMP>"),
    (lambda: Sub(2, 1, bytes(6)), "<Sub 2x1 RGB, new>"),
    # hand-edited fields
    (lambda: edited(_png_chunks=[("IEND", b"", 0)]), "<SimpleImage 2x1 RGB, PNG with 1 chunk>"),
    (lambda: edited(_png_chunks=[]), "<SimpleImage 2x1 RGB, PNG with 0 chunks>"),
    (lambda: edited(_png_chunks=[1], _bmp_header={}), "<SimpleImage 2x1 RGB, PNG with 1 chunk>"),  # as save() picks
    (lambda: edited(_bmp_header=0), "<SimpleImage 2x1 RGB, BMP>"),
    (lambda: edited(_png_chunks=5), "<SimpleImage 2x1 RGB, PNG>"),             # no len()
    (lambda: edited(_png_chunks=iter([1, 2])), "<SimpleImage 2x1 RGB, PNG>"),
    (lambda: edited(_alpha=0), "<SimpleImage 2x1 RGBA, new>"),
    (lambda: edited(_pixels=None, width=-3, height=2 ** 31 - 1), "<SimpleImage -3x2147483647 RGB, new>"),
])
def test_repr(make, text):
    assert repr(make()) == text
    assert str(make()) == text


class Length:
    def __init__(self, fn):
        self.fn = fn

    def __len__(self):
        return self.fn()


def raiser(exc):
    def fn():
        raise exc
    return fn


@pytest.mark.parametrize("length, text", [
    (lambda: 7, "PNG with 7 chunks"),
    (raiser(RuntimeError("boom")), "PNG"),
    (raiser(MemoryError()), "PNG"),
    (lambda: -1, "PNG"),                 # ValueError from len()
    (lambda: 2 ** 70, "PNG"),            # OverflowError from len()
    (lambda: "seven", "PNG"),            # TypeError from len()
])
def test_a_failing_len_leaves_the_count_out(length, text):
    img = edited(_png_chunks=Length(length))
    assert repr(img) == f"<SimpleImage 2x1 RGB, {text}>"


def test_an_interrupt_in_len_is_not_swallowed():
    img = edited(_png_chunks=Length(raiser(KeyboardInterrupt())))
    with pytest.raises(KeyboardInterrupt):
        repr(img)


def test_len_that_edits_the_image_under_repr():
    # __len__ drops the image's only reference to the object it runs on and changes every
    # field: repr must neither crash nor mix old and new fields.
    outcome = run_isolated("""
        import gc
        from Quorvex.simpleImage_ext import SimpleImage

        class Hostile:
            def __len__(self):
                img._png_chunks = None
                img._alpha = None
                img._bmp_header = None
                img.width = 99
                img._pixels = None
                gc.collect()
                return 4

        img = SimpleImage(1, 1, b"abc", b"\\x00")
        img._png_chunks = Hostile()
        first = repr(img)
        report([first, repr(img)])
    """)
    assert outcome.returncode == 0, outcome.describe()
    assert outcome.value == ["<SimpleImage 1x1 RGBA, PNG with 4 chunks>", "<SimpleImage 99x1 RGB, new>"]

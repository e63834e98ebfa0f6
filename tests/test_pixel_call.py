"""getPixel / putPixel reached every way a caller can: the common call (an instance of the
class itself, arguments by position) takes a shorter path than the others, and every route
must give the same pixels and the same errors."""

import pytest

from isolated import run_isolated
from Quorvex.simpleImage_ext import SimpleImage

TAKES = "{}() takes exactly {} positional argument{} ({} given)"
WRONG = "Argument 'coords' has incorrect type (expected tuple, got {})"
OUT = "Pixel coordinate out of bounds"


class Sub(SimpleImage):
    pass


def image(cls=SimpleImage):
    return cls(2, 1, b"abcdef")


# Each route is (image class, how getPixel is reached, how putPixel is reached).
ROUTES = {
    "bound": (SimpleImage, lambda img: img.getPixel, lambda img: img.putPixel),
    "unbound": (SimpleImage, lambda img: lambda *a, **k: SimpleImage.getPixel(img, *a, **k),
                lambda img: lambda *a, **k: SimpleImage.putPixel(img, *a, **k)),
    "subclass": (Sub, lambda img: img.getPixel, lambda img: img.putPixel),
    "subclass unbound": (Sub, lambda img: lambda *a, **k: SimpleImage.getPixel(img, *a, **k),
                         lambda img: lambda *a, **k: SimpleImage.putPixel(img, *a, **k)),
    "super()": (Sub, lambda img: lambda *a, **k: super(Sub, img).getPixel(*a, **k),
                lambda img: lambda *a, **k: super(Sub, img).putPixel(*a, **k)),
}

# (arguments, keywords, expected result or (exception type, message)) for getPixel.
GET_CASES = [
    (((1, 0),), {}, (100, 101, 102)),
    ((), {"coords": (0, 0)}, (97, 98, 99)),
    ((), {}, (TypeError, TAKES.format("getPixel", 1, "", 0))),
    (((0, 0), 1), {}, (TypeError, TAKES.format("getPixel", 1, "", 2))),
    (((0, 0),), {"coords": (0, 0)}, (TypeError, "getPixel() got multiple values for keyword argument 'coords'")),
    ((), {"xy": (0, 0)}, (TypeError, "getPixel() got an unexpected keyword argument 'xy'")),
    ((), {"coords": [0, 0]}, (TypeError, WRONG.format("list"))),
    (((2, 0),), {}, (ValueError, OUT)),
    (((0,),), {}, (ValueError, "need more than 1 value to unpack")),
]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("args, kwargs, expected", GET_CASES)
def test_get_pixel_is_the_same_by_every_route(route, args, kwargs, expected):
    cls, get, _ = ROUTES[route]
    call = get(image(cls))
    if isinstance(expected[0], type):
        with pytest.raises(expected[0]) as info:
            call(*args, **kwargs)
        assert str(info.value) == expected[1]
    else:
        assert call(*args, **kwargs) == expected


# (arguments, keywords, expected pixels afterwards, or the exception and its message).
PUT_CASES = [
    (((1, 0), (1, 2, 3)), {}, b"abc\x01\x02\x03"),
    (((0, 0),), {"value": [256, -1, 300]}, b"\x00\xff\x2cdef"),
    ((), {"value": (1, 2, 3), "coords": (1, 0)}, b"abc\x01\x02\x03"),
    (((0, 0), (1, 2, 3), 4), {}, (TypeError, TAKES.format("putPixel", 2, "s", 3))),
    (((0, 0), (1, 2, 3)), {"alpha": 4}, (TypeError, "putPixel() got an unexpected keyword argument 'alpha'")),
    ((None, (1, 2, 3)), {}, (TypeError, WRONG.format("NoneType"))),
    (((0, 2), (1, 2, 3)), {}, (ValueError, OUT)),
    (((0, 0), (1, 2, 3, 4)), {}, (ValueError, "too many values to unpack (expected 3)")),
]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("args, kwargs, expected", PUT_CASES)
def test_put_pixel_is_the_same_by_every_route(route, args, kwargs, expected):
    cls, _, put = ROUTES[route]
    img = image(cls)
    if isinstance(expected, tuple):
        with pytest.raises(expected[0]) as info:
            put(img)(*args, **kwargs)
        assert str(info.value) == expected[1]
        assert img._pixels == b"abcdef"
    else:
        assert put(img)(*args, **kwargs) is None
        assert img._pixels == expected


def test_a_foreign_self_is_refused_with_well_formed_arguments():
    # Arguments that fit the parameters exactly: only the check of self stands between the
    # call and a read of the wrong object's memory, so it runs where a crash is contained.
    outcome = run_isolated("""
        from Quorvex.simpleImage_ext import SimpleImage

        calls = [(SimpleImage.getPixel, ((0, 0),)), (SimpleImage.putPixel, ((0, 0), (1, 2, 3))),
                 (SimpleImage.copy, ())]
        selves = [b"abcdef", None, 5, bytearray(b"abcdef"), object()]
        messages = []
        for method, args in calls:
            for self in selves:
                try:
                    method(self, *args)
                    messages.append("accepted")
                except TypeError as e:
                    messages.append(str(e).split(" objects ")[-1])
        report(messages)
    """)
    assert not outcome.crashed, outcome.describe()
    names = ["bytes", "NoneType", "int", "bytearray", "object"]
    assert outcome.value == [f"doesn't apply to a '{n}' object" for n in names] * 3


def test_every_channel_value_reads_back_as_its_int():
    img = SimpleImage(256, 1, bytes(v for v in range(256) for _ in range(3)))
    values = [img.getPixel((x, 0)) for x in range(256)]
    assert values == [(v, v, v) for v in range(256)]
    assert all(type(c) is int for rgb in values for c in rgb)


# (buffer length, width, height, coords, expected): fields set by hand so that the buffer
# ends inside or before the pixel asked for.
DESYNC_CASES = [
    (18, 3, 2, (2, 1), (15, 16, 17)),      # the buffer's last whole pixel
    (17, 3, 2, (2, 1), IndexError),        # cut after two of its bytes
    (15, 3, 2, (2, 1), IndexError),        # ends just before it
    (15, 3, 2, (1, 1), (12, 13, 14)),
    (0, 1, 1, (0, 0), IndexError),
    (18, 2 ** 31 - 1, 2, (0, 1), IndexError),
]


@pytest.mark.parametrize("length, width, height, coords, expected", DESYNC_CASES)
def test_a_short_buffer_is_read_only_where_it_holds_the_pixel(length, width, height, coords, expected):
    img = SimpleImage(1, 1, b"abc")
    img._pixels = bytearray(range(length))
    img.width, img.height = width, height
    if expected is IndexError:
        with pytest.raises(IndexError, match="bytearray index out of range"):
            img.getPixel(coords)
    else:
        assert img.getPixel(coords) == expected


def test_coordinates_that_change_the_image_while_compared_do_not_crash_it():
    # Comparing the coordinate runs Python code that swaps the buffer for an empty one and
    # widens the image: what is read or written afterwards must be the current buffer.
    outcome = run_isolated("""
        from Quorvex.simpleImage_ext import SimpleImage

        img = SimpleImage(4, 4, bytes(48))

        def shrink():
            img._pixels = bytearray(1)
            img.width = img.height = 2 ** 31 - 1

        class Shrinking(int):
            def __ge__(self, other):
                shrink()
                return int(self) >= other

            def __lt__(self, other):
                shrink()
                return int(self) < other

        results = []
        for call in (lambda: img.getPixel((Shrinking(3), 3)),
                     lambda: img.putPixel((Shrinking(3), 3), (1, 2, 3)),
                     lambda: img.getPixel((0, Shrinking(3)))):
            try:
                results.append(repr(call()))
            except Exception as e:
                results.append(type(e).__name__)
        report([results, len(img._pixels)])
    """)
    assert not outcome.crashed, outcome.describe()
    assert outcome.value == [["IndexError", "IndexError", "IndexError"], 1]

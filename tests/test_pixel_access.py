"""getPixel / putPixel: checks in order, wrapping stores, and desynchronised fields."""

import pytest

from Quorvex.simpleImage_ext import SimpleImage

OUT = "Pixel coordinate out of bounds"


def image(width=3, height=2, alpha=False):
    pixels = bytes(range(width * height * 3))
    return SimpleImage(width, height, pixels, bytes([200] * (width * height)) if alpha else None)


def test_reads_row_major():
    img = image()
    assert img.getPixel((0, 0)) == (0, 1, 2)
    assert img.getPixel((2, 1)) == (15, 16, 17)
    assert img.getPixel((True, False)) == (3, 4, 5)
    assert img.getPixel((2 ** 0, 1)) == (12, 13, 14)


@pytest.mark.parametrize("coords, error, message", [
    ((3, 0), ValueError, OUT), ((-1, 0), ValueError, OUT), ((0, 2), ValueError, OUT), ((0, -1), ValueError, OUT),
    ((2 ** 70, 0), ValueError, OUT), ((0, -2 ** 70), ValueError, OUT),
    ((1,), ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (("a", 0), TypeError, None),
    ((0.5, 0), TypeError, "bytearray indices must be integers or slices, not float"),
])
def test_get_pixel_refusals(coords, error, message):
    with pytest.raises(error) as info:
        image().getPixel(coords)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("value, stored", [
    ((256, -1, 300), (0, 255, 44)),
    ([1.9, "7", True], (1, 7, 1)),
    (b"abc", (97, 98, 99)),
    ((x for x in (4, 5, 6)), (4, 5, 6)),
    ((2 ** 80 + 3, -2 ** 80, 7), (3, 0, 7)),
])
def test_put_pixel_wraps_each_channel(value, stored):
    img = image(alpha=True)
    img.putPixel((1, 1), value)
    assert img.getPixel((1, 1)) == stored
    assert img._alpha == bytes([200] * 6)


@pytest.mark.parametrize("coords, value, error, message", [
    ((-1, 0), (1, 2, 3, 4), ValueError, OUT),  # coordinates are checked before the value
    ((0, 0), (1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
    ((0, 0), (1, 2), ValueError, "need more than 2 values to unpack"),
    ((0, 0), iter([1]), ValueError, "need more than 1 value to unpack"),
    ((0, 0), b"abcd", ValueError, "too many values to unpack (expected 3)"),
    ((0, 0), 5, TypeError, None),
    ((0.5, 0), (1, 2, 3), TypeError, None),
])
def test_put_pixel_refusals_store_nothing(coords, value, error, message):
    img = image(alpha=True)
    before = bytes(img._pixels)
    with pytest.raises(error) as info:
        img.putPixel(coords, value)
    if message:
        assert str(info.value) == message
    assert img._pixels == before


def test_put_pixel_keeps_channels_stored_before_a_failure():
    img = image()
    with pytest.raises(TypeError):
        img.putPixel((0, 0), (10, None, 20))
    assert img.getPixel((0, 0)) == (10, 1, 2)


def test_iterated_value_is_read_only_up_to_its_fourth_item():
    pulled = []

    def values():
        for v in range(10):
            pulled.append(v)
            yield v

    with pytest.raises(ValueError):
        image().putPixel((0, 0), values())
    assert pulled == [0, 1, 2, 3]


def test_desynchronised_fields_never_reach_outside_the_buffer():
    img = image(width=2, height=2)
    img.width = 3  # the buffer still holds 2 x 2 pixels
    assert img.getPixel((0, 1)) == (9, 10, 11)
    with pytest.raises(IndexError, match="bytearray index out of range"):
        img.getPixel((2, 1))
    with pytest.raises(IndexError, match="bytearray index out of range"):
        img.putPixel((2, 1), (1, 2, 3))
    img._pixels = bytearray(16)  # the last pixel is cut after its first byte
    img.width, img.height = 2, 3
    with pytest.raises(IndexError):
        img.putPixel((1, 2), (7, 8, 9))
    assert img._pixels[15] == 7  # stored channel by channel, like the host would
    img._pixels = None
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        img.getPixel((0, 0))
    with pytest.raises(TypeError):
        img.putPixel((0, 0), (1, 2, 3))


def test_huge_dimensions_set_by_hand_cannot_overflow_the_index():
    img = image()
    img.width = img.height = 2 ** 31 - 1
    for coords in [(2 ** 31 - 2, 2 ** 31 - 2), (5, 2 ** 31 - 2), (2 ** 31 - 2, 0)]:
        with pytest.raises(IndexError, match="bytearray index out of range"):
            img.getPixel(coords)
        with pytest.raises(IndexError, match="bytearray index out of range"):
            img.putPixel(coords, (1, 2, 3))
    assert img._pixels == bytes(range(18))

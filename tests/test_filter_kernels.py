"""Bit-exactness of the specialised row kernels (pixel-wise reconstruction for 3 and 4 bytes a
pixel, RGBA split and join, the BMP byte swap) against the plain-Python reference filters."""

import io
import random
import zlib

import pytest
from PIL import Image

from imagefiles import bmp_file, make_png, scanlines
from Quorvex.simpleImage_ext import SimpleImage

WIDTHS = range(1, 71)
# Bytes near the ends of the range and equal neighbours make Paeth ties and Average carries.
EDGE_BYTES = (0, 1, 2, 3, 127, 128, 129, 253, 254, 255)


def samples(width, height, channels, seed):
    rng = random.Random(seed)
    return bytes(rng.choice(EDGE_BYTES) if rng.random() < 0.5 else rng.randrange(256)
                 for _ in range(width * height * channels))


def split_rgba(data):
    return b"".join(data[i:i + 3] for i in range(0, len(data), 4)), data[3::4]


def idat_payload(png):
    """The inflated image data of a PNG file."""
    pos, out = 8, b""
    while pos < len(png):
        length = int.from_bytes(png[pos:pos + 4], "big")
        if png[pos + 4:pos + 8] == b"IDAT":
            out += png[pos + 8:pos + 8 + length]
        pos += 12 + length
    return zlib.decompress(out)


def decode(data):
    width, height, pixels, channels, alpha, _, _, filters = SimpleImage._streamToImage(io.BytesIO(data))
    return pixels, alpha, filters


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("ftype", [0, 1, 2, 3, 4])
def test_decoded_rows_match_the_reference(channels, ftype):
    # Every row uses the same filter, so the first row (no row above) is covered as well.
    height = 3
    for width in WIDTHS:
        data = samples(width, height, channels, seed=width * 10 + ftype)
        pixels, alpha, filters = decode(make_png(width, height, data, channels, [ftype] * height))
        expected = split_rgba(data) if channels == 4 else (data, None)
        assert (pixels, alpha) == expected, f"width {width}"
        assert filters == bytes([ftype] * height)


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("ftype", [0, 1, 2, 3, 4])
def test_encoded_rows_match_the_reference(channels, ftype, tmp_path):
    height = 3
    target = tmp_path / "out.png"
    for width in WIDTHS:
        data = samples(width, height, channels, seed=width * 10 + ftype + 5)
        rgb, alpha = split_rgba(data) if channels == 4 else (data, None)
        SimpleImage(width, height, rgb, alpha, png_filters=bytes([ftype] * height)).save(str(target))
        png = target.read_bytes()
        assert idat_payload(png) == scanlines(width, height, data, channels, [ftype] * height), f"width {width}"


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("width", [1, 2, 5, 33])
def test_every_pair_of_filter_types(channels, width):
    # Rows after the first are rebuilt two at a time: after row 0, rows 2k+1 and 2k+2 take
    # every (upper, lower) combination of filter types.
    filters = [4] + [t for upper in range(5) for lower in range(5) for t in (upper, lower)] + [3]
    height = len(filters)
    data = samples(width, height, channels, seed=width + channels)
    pixels, alpha, decoded_filters = decode(make_png(width, height, data, channels, filters))
    assert (pixels, alpha) == (split_rgba(data) if channels == 4 else (data, None))
    assert decoded_filters == bytes(filters)


@pytest.mark.parametrize("width, height, channels", [
    (64, 64, 3),
    (61, 47, 4),
    (90001, 2, 3),  # a scanline longer than the inflater's staging area
])
def test_mixed_filters_match_pillow(width, height, channels):
    data = samples(width, height, channels, seed=width)
    filters = [(y * 3 + 4) % 5 for y in range(height)]
    png = make_png(width, height, data, channels, filters)
    pixels, alpha, _ = decode(png)
    reference = Image.open(io.BytesIO(png))
    assert pixels == reference.convert("RGB").tobytes()
    assert alpha == (reference.getchannel("A").tobytes() if channels == 4 else None)


@pytest.mark.parametrize("top_down", [False, True])
def test_bmp_rows_swap_red_and_blue(top_down):
    for width in range(1, 18):
        rgb = samples(width, 3, 3, seed=width)
        data = bmp_file(width, 3, rgb, top_down=top_down)
        width_read, height, pixels, *_ = SimpleImage._streamToImage(io.BytesIO(data))
        assert (width_read, height, pixels) == (width, 3, rgb), f"width {width}"

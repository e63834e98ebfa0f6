"""The converter's per-row filter chooser (Quorvex._convert.choose_filters) against a plain-Python
reference of the same rule: the filter type whose filtered bytes, read as signed bytes, have the
smallest sum of magnitudes, ties going to the lowest type."""

import random
import struct
import sys
import threading
import types

import pytest
from hypothesis import given, settings, strategies as st

import zlib

from imagefiles import filter_row, scanlines
from isolated import run_isolated
from Quorvex._convert import choose_filters, write_png


def join_rgba(pixels, alpha):
    out = bytearray()
    for i in range(len(alpha)):
        out += pixels[3 * i:3 * i + 3]
        out.append(alpha[i])
    return bytes(out)


def reference_choice(width, height, pixels, alpha=None):
    bpp = 3 if alpha is None else 4
    samples = pixels if alpha is None else join_rgba(pixels, alpha)
    row_len = width * bpp
    prev = bytes(row_len)
    chosen = bytearray()
    for y in range(height):
        row = samples[y * row_len:(y + 1) * row_len]
        costs = [sum(b if b < 128 else 256 - b for b in filter_row(t, row, prev, bpp)) for t in range(5)]
        chosen.append(costs.index(min(costs)))  # index() finds the lowest type among equals
        prev = row
    return chosen


def noise(n, seed):
    rng = random.Random(seed)
    return bytes(rng.choice((0, 1, 127, 128, 129, 255)) if rng.random() < 0.3 else rng.randrange(256)
                 for _ in range(n))


def gradient(width, height, channels, dx, dy):
    return bytes((x * dx + y * dy + c * 40) & 0xFF for y in range(height) for x in range(width)
                 for c in range(channels))


# (width, height, kind): each kind favours a different filter type, so every type gets chosen.
SHAPES = [(0, 0, "noise"), (0, 4, "noise"), (5, 0, "noise"), (1, 1, "noise"), (1, 6, "noise"),
          (6, 1, "noise"), (1, 7, "vertical"), (9, 7, "noise"), (40, 9, "noise"), (17, 5, "flat"),
          (16, 8, "horizontal"), (16, 8, "vertical"), (16, 8, "diagonal"), (300, 3, "noise")]


def make_samples(width, height, channels, kind, seed):
    if kind == "noise":
        return noise(width * height * channels, seed)
    if kind == "flat":
        return bytes([77]) * (width * height * channels)
    dx, dy = {"horizontal": (3, 0), "vertical": (0, 5), "diagonal": (3, 5)}[kind]
    return gradient(width, height, channels, dx, dy)


@pytest.mark.parametrize("with_alpha", [False, True], ids=["rgb", "rgba"])
@pytest.mark.parametrize("width, height, kind", SHAPES)
def test_matches_reference(width, height, kind, with_alpha):
    pixels = make_samples(width, height, 3, kind, seed=width * 31 + height)
    alpha = make_samples(width, height, 1, kind, seed=height) if with_alpha else None
    chosen = choose_filters(width, height, pixels, alpha)
    assert type(chosen) is bytearray
    assert chosen == reference_choice(width, height, pixels, alpha)


def test_every_type_is_chosen_somewhere():
    """Guards the table above: a chooser stuck on one type must not pass by luck."""
    seen = set()
    for width, height, kind in SHAPES:
        seen |= set(choose_filters(width, height, make_samples(width, height, 3, kind, 1)))
    assert seen == {0, 1, 2, 3, 4}


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 12), st.integers(0, 6), st.booleans(), st.randoms(use_true_random=False))
def test_matches_reference_on_random_images(width, height, with_alpha, rng):
    pixels = bytes(rng.randrange(256) for _ in range(width * height * 3))
    alpha = bytearray(rng.randrange(256) for _ in range(width * height)) if with_alpha else None
    assert choose_filters(width, height, pixels, alpha) == reference_choice(width, height, pixels, alpha)


def test_accepts_any_contiguous_buffer_and_keywords():
    pixels = noise(4 * 3 * 3, 7)
    expected = reference_choice(4, 3, pixels)
    for source in (pixels, bytearray(pixels), memoryview(pixels)):
        assert choose_filters(4, 3, source) == expected
    assert choose_filters(width=4, height=3, pixels=pixels, alpha=None) == expected


@pytest.mark.parametrize("args, error, message", [
    ((2, 2, bytes(11)), ValueError, "Pixel data length does not match image dimensions"),
    ((2, 2, bytes(13)), ValueError, "Pixel data length does not match image dimensions"),
    ((2, 2, bytes(12), bytes(3)), ValueError, "Alpha channel length does not match image dimensions"),
    ((-1, -1, bytes(3)), ValueError, "Image dimensions must not be negative"),
    ((2, -2, b""), ValueError, "Image dimensions must not be negative"),
    ((2**31, 1, b""), OverflowError, None),
    (("2", 2, bytes(12)), TypeError, "an integer is required"),
    ((2, 2, [0] * 12), TypeError, None),  # no buffer: a list is not copied here
    ((2, 2, memoryview(bytes(24))[::2]), BufferError, None),
    ((1, 1), TypeError, "choose_filters() takes at least 3 positional arguments (2 given)"),
])
def test_refusals(args, error, message):
    with pytest.raises(error) as info:
        choose_filters(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("call, result", [
    ("len(choose_filters(2**31 - 1, 0, b'', b''))", 0),
    ("write_png(sys.argv[2], 2**31 - 1, 0, b'', None, None, None)", None),
    ("write_png(sys.argv[2], 2**31 - 1, 0, b'', bytearray(), [], bytearray())", None),
])
def test_a_wide_image_without_rows_allocates_nothing(call, result, tmp_path):
    out = run_isolated(f"""
        import sys
        from Quorvex._convert import choose_filters, write_png
        report({call})
    """, tmp_path / "out.png", address_space=512 << 20)
    assert not out.crashed and out.value == result, out.describe()


def test_sizes_are_read_after_the_dimensions_run_python():
    """A width whose conversion empties the pixel buffer: the length check sees the empty buffer."""
    out = run_isolated("""
        from Quorvex._convert import choose_filters
        pixels = bytearray(300 * 300 * 3)
        class Width:
            def __index__(self):
                pixels.clear()
                return 300
        try:
            choose_filters(Width(), 300, pixels)
        except ValueError as exc:
            report(str(exc))
    """)
    assert not out.crashed and out.value == "Pixel data length does not match image dimensions", out.describe()


def test_pixel_buffer_is_pinned_while_threads_choose():
    """The chooser runs without the GIL on an exported buffer: a resize meanwhile is refused,
    never a read of moved memory. A call that starts while a byte is appended sees the wrong
    length and is refused; every other call gets the single-thread answer."""
    width, height = 512, 64
    pixels = bytearray(noise(width * height * 3, 3))
    expected = choose_filters(width, height, pixels)
    results = []

    def choose():
        for _ in range(20):
            try:
                results.append(choose_filters(width, height, pixels))
            except ValueError:
                pass

    def resize():
        for _ in range(2000):
            try:
                pixels.append(0)
            except BufferError:
                continue
            while True:  # the byte must go again, whenever a chooser lets go of the buffer
                try:
                    pixels.pop()
                    break
                except BufferError:
                    pass

    threads = [threading.Thread(target=choose) for _ in range(2)] + [threading.Thread(target=resize)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(pixels) == width * height * 3
    assert results and all(r == expected for r in results)


def image_data(path):
    """The IDAT data of a file the plain writer wrote: signature, IHDR, one IDAT, IEND."""
    data = path.read_bytes()
    (length,) = struct.unpack(">I", data[33:37])
    assert data[37:41] == b"IDAT" and len(data) == 33 + 12 + length + 12
    return data[41:41 + length]


@pytest.mark.parametrize("with_alpha", [False, True], ids=["rgb", "rgba"])
@pytest.mark.parametrize("width, height, kind", SHAPES)
def test_converter_compression_inflates_to_the_filtered_rows(width, height, kind, with_alpha, tmp_path):
    pixels = make_samples(width, height, 3, kind, seed=width * 7 + height)
    alpha = bytearray(make_samples(width, height, 1, kind, seed=height + 1)) if with_alpha else None
    filters = bytearray((y * 3 + 1) % 5 for y in range(height))
    write_png(tmp_path / "out.png", width, height, pixels, alpha, None, filters)
    compressed = image_data(tmp_path / "out.png")
    samples = join_rgba(pixels, alpha) if with_alpha else pixels
    raw = scanlines(width, height, samples, 4 if with_alpha else 3, filters)
    assert zlib.decompress(compressed) == raw


NOT_THE_IMAGE_MODULE = "Quorvex.simpleImage_ext is not the image module"


# (filters, what is bound as Quorvex.simpleImage_ext, error, message): the writer runs on the
# image module's state, so nothing else bound under its name may be taken for it.
@pytest.mark.parametrize("filters, module, error, message", [
    (bytearray([0, 5]), None, ValueError, "Unsupported PNG filter: 5"),
    (bytearray([0]), None, ValueError, "PNG filter count does not match image height"),
    (bytearray(2), types.ModuleType("Quorvex.simpleImage_ext"), TypeError, NOT_THE_IMAGE_MODULE),
    (bytearray(2), zlib, TypeError, NOT_THE_IMAGE_MODULE),
    (bytearray(2), 42, TypeError, NOT_THE_IMAGE_MODULE),
])
def test_converter_refusals(filters, module, error, message, tmp_path, monkeypatch):
    if module is not None:
        monkeypatch.setitem(sys.modules, "Quorvex.simpleImage_ext", module)
    with pytest.raises(error) as caught:
        write_png(tmp_path / "out.png", 1, 2, bytes(6), None, None, filters)
    assert str(caught.value) == message
    assert not (tmp_path / "out.png").exists()

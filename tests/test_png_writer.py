import io
import random
import struct
import zlib
from pathlib import Path

import numpy as np
import png
import pytest
from PIL import Image

from Quorvex import simpleImage_ext as ext
from imagefiles import IEND, PNG_SIG, ihdr_data, pattern, scanlines


def chunks_of(data):
    """(type, data) of every chunk after the signature, each CRC checked."""
    assert data[:8] == PNG_SIG
    out, pos = [], 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        ctype, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        assert data[pos + 8 + length:pos + 12 + length] == struct.pack(">I", zlib.crc32(ctype + body))
        out.append((ctype, body))
        pos += 12 + length
    return out


def idat_of(data):
    return b"".join(body for ctype, body in chunks_of(data) if ctype == b"IDAT")


def rgba(pixels, alpha):
    return b"".join(pixels[i * 3:i * 3 + 3] + alpha[i:i + 1] for i in range(len(alpha)))


def write(tmp_path, *args, **kwargs):
    path = tmp_path / "out.png"
    assert ext._writePng(str(path), *args, **kwargs) is None
    return path.read_bytes()


@pytest.mark.parametrize("alpha, colour, crc", [
    (None, 2, [0x90, 0x77, 0x53, 0xDE]),
    (bytearray([255]), 6, [0x1F, 0x15, 0xC4, 0x89]),
])
def test_one_pixel_file(tmp_path, alpha, colour, crc):
    data = write(tmp_path, 1, 1, bytes([10, 20, 30]), alpha)
    ihdr = b"\x00\x00\x00\x0dIHDR" + ihdr_data(1, 1, color_type=colour) + bytes(crc)
    assert data.startswith(PNG_SIG + ihdr)
    assert data.endswith(IEND)
    assert [t for t, _ in chunks_of(data)] == [b"IHDR", b"IDAT", b"IEND"]
    idat = idat_of(data)
    assert idat[:2] == b"\x78\x9c"
    assert len(data) == 8 + 25 + 12 + len(idat) + 12


@pytest.mark.parametrize("width, height, pixels, alpha, filters, raw", [
    (1, 1, [10, 20, 30], None, None, [0, 10, 20, 30]),
    (1, 1, [10, 20, 30], None, [1], [1, 10, 20, 30]),
    (1, 1, [10, 20, 30], None, [2], [2, 10, 20, 30]),
    (1, 1, [10, 20, 30], None, [3], [3, 10, 20, 30]),
    (1, 1, [10, 20, 30], None, [4], [4, 10, 20, 30]),
    (2, 1, [10, 20, 30, 15, 25, 40], None, [1], [1, 10, 20, 30, 5, 5, 10]),
    (1, 2, [200, 0, 0, 100, 0, 0], None, [0, 2], [0, 200, 0, 0, 2, 156, 0, 0]),
    # RGBA: alpha follows blue, and Sub looks 4 bytes back.
    (2, 1, [10, 20, 30, 15, 25, 40], [7, 9], [1], [1, 10, 20, 30, 7, 5, 5, 10, 2]),
    # Average of the first row halves the left byte; Paeth there is Sub.
    (2, 1, [200, 0, 0, 250, 0, 0], None, [3], [3, 200, 0, 0, 150, 0, 0]),
    (2, 1, [200, 0, 0, 250, 0, 0], None, [4], [4, 200, 0, 0, 50, 0, 0]),
    (0, 3, [], None, None, [0, 0, 0]),
    (0, 3, [], None, [1, 2, 3], [1, 2, 3]),
    (3, 0, [], None, None, []),
])
def test_scanline_data(tmp_path, width, height, pixels, alpha, filters, raw):
    data = write(tmp_path, width, height, bytes(pixels),
                 None if alpha is None else bytearray(alpha), None if filters is None else bytearray(filters))
    assert zlib.decompress(idat_of(data)) == bytes(raw)


@pytest.mark.parametrize("width, height", [(13, 11), (300, 200)])
@pytest.mark.parametrize("channels", [3, 4])
def test_compressed_stream_equals_zlib(tmp_path, width, height, channels):
    pixels = pattern(width, height, seed=1)
    alpha = bytearray(pattern(width, height, 1, seed=2)) if channels == 4 else None
    filters = bytearray(y % 5 for y in range(height))
    samples = pixels if alpha is None else rgba(pixels, alpha)
    raw = scanlines(width, height, samples, channels, filters)
    assert idat_of(write(tmp_path, width, height, pixels, alpha, filters)) == zlib.compress(raw)


def large_image(width, height, channels):
    """Photo-like samples over a mebibyte, with a run of identical rows, and their filtered data
    (filter types 0, 1, 2 in turn, computed here)."""
    rng = np.random.default_rng(width)
    y, x = np.mgrid[0:height, 0:width * channels]
    samples = ((x // 5 + y // 3) % 251 + rng.integers(0, 6, size=x.shape)).astype(np.int16)
    samples[height // 3:height // 3 + 60] = samples[height // 3]
    types = np.arange(height) % 3
    left = np.hstack([np.zeros((height, channels), np.int16), samples[:, :-channels]])
    above = np.vstack([np.zeros((1, width * channels), np.int16), samples[:-1]])
    filtered = np.where(types[:, None] == 1, samples - left, np.where(types[:, None] == 2, samples - above, samples))
    raw = np.hstack([types[:, None], filtered & 0xFF]).astype(np.uint8).tobytes()
    pixels = samples.astype(np.uint8).reshape(height, width, channels)
    alpha = bytearray(pixels[:, :, 3].tobytes()) if channels == 4 else None
    return bytearray(pixels[:, :, :3].tobytes()), alpha, bytearray(types.astype(np.uint8).tobytes()), raw


# QUORVEX_THREADS: unset (every CPU), a count, and values that are not one (ignored).
@pytest.mark.parametrize("threads", [None, "1", "2", "5", "0", "lots"])
@pytest.mark.parametrize("channels", [3, 4])
def test_large_images_compress_exactly_like_zlib_on_any_thread_count(tmp_path, monkeypatch, threads, channels):
    if threads is None:
        monkeypatch.delenv("QUORVEX_THREADS", raising=False)
    else:
        monkeypatch.setenv("QUORVEX_THREADS", threads)
    width, height = 700, 520
    pixels, alpha, filters, raw = large_image(width, height, channels)
    assert idat_of(write(tmp_path, width, height, pixels, alpha, filters)) == zlib.compress(raw)


@pytest.mark.parametrize("filter_type", [0, 1, 2, 3, 4, None])
@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("width, height", [(1, 1), (7, 5), (33, 17)])
def test_read_back_by_pillow_and_pypng(tmp_path, filter_type, channels, width, height):
    pixels = bytearray(pattern(width, height, seed=width))
    alpha = bytearray(pattern(width, height, 1, seed=height)) if channels == 4 else None
    filters = bytearray(y % 5 for y in range(height)) if filter_type is None else bytearray([filter_type] * height)
    data = write(tmp_path, width, height, pixels, alpha, filters)
    expected = bytes(pixels) if alpha is None else rgba(pixels, alpha)
    with Image.open(io.BytesIO(data)) as im:
        assert (im.mode, im.size) == ("RGB" if channels == 3 else "RGBA", (width, height))
        assert im.tobytes() == expected
    w, h, flat, info = png.Reader(bytes=data).read_flat()
    assert (w, h, info["planes"], bytes(flat)) == (width, height, channels, expected)


@pytest.mark.parametrize("pixels", [
    bytes(pattern(4, 3)), bytearray(pattern(4, 3)), memoryview(pattern(4, 3)), list(pattern(4, 3)),
])
def test_pixel_sources(tmp_path, pixels):
    data = write(tmp_path, 4, 3, pixels)
    assert zlib.decompress(idat_of(data)) == scanlines(4, 3, pattern(4, 3), 3)


class LyingLength(bytearray):
    def __len__(self):
        return 3


OLD = b"previous content"
ok = dict(width=1, height=1, pixels=bytes(3), alpha=None, filter_types=None)


@pytest.mark.parametrize("changes, exc, message", [
    (dict(pixels=bytes(2)), ValueError, "Pixel data length does not match image dimensions"),
    (dict(pixels=bytes(2), alpha=bytearray(5)), ValueError, "Pixel data length does not match image dimensions"),
    (dict(alpha=bytearray(2)), ValueError, "Alpha channel length does not match image dimensions"),
    (dict(width=65536, height=65536, pixels=b""), ValueError, "Pixel data length does not match image dimensions"),
    (dict(width=2**31), OverflowError, None),
    (dict(width="1"), TypeError, "an integer is required"),
    (dict(pixels=None), TypeError, "object of type 'NoneType' has no len()"),
    (dict(pixels=[0, 0, 256]), ValueError, "byte must be in range(0, 256)"),
    (dict(pixels=LyingLength()), ValueError, "Pixel data length does not match image dimensions"),
    (dict(width=2, alpha=LyingLength(), pixels=bytes(6)), ValueError,
     "Alpha channel length does not match image dimensions"),
    (dict(width=-1, height=-1), struct.error, None),
    (dict(width=0, height=-1, pixels=b""), struct.error, None),
    (dict(alpha=b"\xff"), BufferError, None),
    (dict(alpha=[255]), TypeError, None),
    (dict(filter_types=bytearray(2)), ValueError, "PNG filter count does not match image height"),
    (dict(filter_types=b"\x00"), BufferError, None),
    (dict(alpha=b"\xff", filter_types=bytearray(2)), BufferError, None),
    (dict(height=3, pixels=bytes(9), filter_types=bytearray([0, 1, 5])), ValueError, "Unsupported PNG filter: 5"),
    (dict(filter_types=bytearray([255])), ValueError, "Unsupported PNG filter: 255"),
])
def test_refused_writes_leave_the_file_alone(tmp_path, changes, exc, message):
    path = tmp_path / "kept.png"
    path.write_bytes(OLD)
    with pytest.raises(exc) as info:
        ext._writePng(str(path), **{**ok, **changes})
    if message is not None:
        assert str(info.value) == message
    assert path.read_bytes() == OLD


@pytest.mark.parametrize("make_path", [str, Path, lambda p: str(p).encode()])
def test_path_kinds(tmp_path, make_path):
    ext._writePng(make_path(tmp_path / "p.png"), 1, 1, bytes(3))
    assert (tmp_path / "p.png").read_bytes()[:8] == PNG_SIG


def test_signature_is_looked_up_at_each_call(tmp_path, monkeypatch):
    monkeypatch.setattr(ext, "PNG_SIGNATURE", b"NOTAPNG!")
    assert write(tmp_path, 1, 1, bytes(3))[:8] == b"NOTAPNG!"
    monkeypatch.setattr(ext, "PNG_SIGNATURE", "text")
    path = tmp_path / "kept.png"
    path.write_bytes(OLD)
    with pytest.raises(TypeError):
        ext._writePng(str(path), 1, 1, bytes(3))
    assert path.read_bytes() == OLD


def test_large_idat_written_from_the_buffer(tmp_path):
    pixels = random.Random(5).randbytes(200 * 200 * 3)  # incompressible: IDAT > 64 KiB
    data = write(tmp_path, 200, 200, pixels)
    assert chunks_of(data)[1:] == [(b"IDAT", zlib.compress(scanlines(200, 200, pixels, 3))), (b"IEND", b"")]

"""Fuzz target: SimpleImage.open on arbitrary bytes.

Every input must either open or be refused with one of the decoders' exception types. An
image that opens must hold consistent buffers and survive a save and a reopen unchanged.
Run through scripts/fuzz (the extension has to be built with the sanitizers and coverage).
"""

import contextlib
import io
import os
import struct
import sys
import zlib

import atheris

from Quorvex import simpleImage_ext as ext

REFUSALS = (ValueError, TypeError, zlib.error, struct.error, OverflowError)
SCRATCH = os.environ.get("QUORVEX_FUZZ_SCRATCH", "/dev/shm")
TARGET = os.path.join(SCRATCH, f"open-{os.getpid()}")
SINK = io.StringIO()


def quiet_open(source):
    SINK.seek(0)
    SINK.truncate()
    with contextlib.redirect_stdout(SINK):
        return ext.SimpleImage.open(source)


def check_image(image):
    width, height = image.size
    # A BMP may keep a negative width when it has no rows.
    assert height >= 0 and (width >= 0 or height == 0), (width, height)
    assert len(image._pixels) == width * height * 3
    if image._alpha is not None:
        assert len(image._alpha) == width * height
    if image._png_filters is not None:
        assert len(image._png_filters) == height
        assert all(f <= 4 for f in image._png_filters)
    if width > 0 and height > 0:
        # The last pixel is addressable, one further is refused.
        image.getPixel((width - 1, height - 1))
        try:
            image.getPixel((width, height - 1))
        except ValueError:
            pass
        else:
            raise AssertionError("pixel outside the image was readable")


def check_round_trip(image):
    """save() picks the writer that matches the source; reopening gives the same pixels."""
    try:
        image.save(TARGET)
    except struct.error:
        return  # a BMP with a negative resolution: the writer packs it unsigned and refuses
    except ValueError as exc:
        # Two IHDR chunks that disagree: the pixels follow the last one, and the writer
        # refuses to keep a header that contradicts them.
        if str(exc) != "IHDR chunk does not match image dimensions or alpha channel":
            raise
        assert sum(record[0] == b"IHDR" for record in image._png_chunks) > 1
        return
    again = quiet_open(TARGET)
    assert again.size == image.size
    assert again._pixels == image._pixels
    assert again._alpha == image._alpha
    if image._png_filters is not None:
        assert again._png_filters == image._png_filters


def TestOneInput(data):
    try:
        image = quiet_open(data)
    except REFUSALS:
        return
    check_image(image)
    # bytes and bytearray sources decode alike
    twin = quiet_open(bytearray(data))
    assert twin._pixels == image._pixels and twin.size == image.size
    check_round_trip(image)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

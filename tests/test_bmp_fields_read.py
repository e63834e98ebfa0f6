"""BMP header fields that a stream hands back in odd shapes: the error is the struct module's
for the bytes the reader saw, whatever the object shows on a later look."""
import io
import struct
import sys

import pytest

from imagefiles import bmp_file
from Quorvex.simpleImage_ext import SimpleImage

ONE = bmp_file(1, 1, b"\x01\x02\x03")


class Shifting:
    """Bytes whose buffer shows `first` on the first export and `later` after that."""

    def __init__(self, first, later):
        self.exports, self.first, self.later = 0, first, later

    def __buffer__(self, flags):
        self.exports += 1
        return memoryview(self.first if self.exports == 1 else self.later)


class Stream(io.BytesIO):
    """A BMP stream whose read of `size` bytes at `at` returns `make(data)` instead."""

    def __init__(self, data, at, size, make):
        super().__init__(data)
        self.at, self.size, self.make, self.made = at, size, make, []

    def read(self, n=-1):
        pos = self.tell()
        data = super().read(n)
        if pos == self.at and n == self.size:
            self.made.append(self.make(data))
            return self.made[-1]
        return data


def struct_message(fmt, data):
    with pytest.raises(struct.error) as info:
        struct.unpack(fmt, data)
    return str(info.value)


needs_buffer_method = pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ on Python classes needs 3.12")

CASES = [
    # (read replaced: offset, size), what it returns, error, message
    pytest.param(14, 4, lambda d: d + b"\x00" * 4, struct.error, struct_message("<I", bytes(8)), id="size field long"),
    pytest.param(18, 36, lambda d: d[:-1], struct.error, struct_message("<iiHHIIiiII", bytes(35)), id="fields short"),
    pytest.param(18, 36, lambda d: d + b"\x00", struct.error, struct_message("<iiHHIIiiII", bytes(37)), id="fields long"),
    pytest.param(18, 36, lambda d: d.decode("latin-1"), TypeError, "a bytes-like object is required, not 'str'",
                 id="fields as str"),
    pytest.param(18, 36, lambda d: None, TypeError, "a bytes-like object is required, not 'NoneType'",
                 id="fields as None"),
    # Objects that show the right size only on a second look are refused for what was seen.
    pytest.param(14, 4, lambda d: Shifting(d + d, d), struct.error, struct_message("<I", bytes(8)),
                 marks=needs_buffer_method, id="size field shifting"),
    pytest.param(18, 36, lambda d: Shifting(d[:20], d), struct.error, struct_message("<iiHHIIiiII", bytes(20)),
                 marks=needs_buffer_method, id="fields shifting"),
]


@pytest.mark.parametrize("at, size, make, error, message", CASES)
def test_odd_header_reads(at, size, make, error, message):
    stream = Stream(ONE, at, size, make)
    with pytest.raises(error) as info:
        SimpleImage._streamToImage(stream)
    assert str(info.value) == message
    assert stream.made  # the replaced read was the one refused


@needs_buffer_method
def test_shifting_fields_are_exported_once():
    stream = Stream(ONE, 18, 36, lambda d: Shifting(d[:20], d))
    with pytest.raises(struct.error):
        SimpleImage._streamToImage(stream)
    assert stream.made[0].exports == 1

import io

import pytest

from imagefiles import make_png
from Quorvex.simpleImage_ext import SimpleImage

ABOVE = bytes([10, 200, 30, 40, 250, 60])
FILTERED = bytes([5, 100, 7, 8, 9, 250])


@pytest.mark.parametrize("ftype, expected", [
    (0, [5, 100, 7, 8, 9, 250]),
    (1, [5, 100, 7, 13, 109, 1]),
    (2, [15, 44, 37, 48, 3, 54]),
    (3, [10, 200, 22, 33, 234, 35]),
    (4, [15, 44, 37, 48, 53, 54]),
])
def test_worked_row_through_the_decoder(ftype, expected):
    raw = b"\x00" + ABOVE + bytes([ftype]) + FILTERED
    result = SimpleImage._streamToImage(io.BytesIO(make_png(2, 2, None, raw=raw)))
    assert result[2] == ABOVE + bytes(expected)
    assert result[7] == bytes([0, ftype])


import array
import io
import struct

import pytest

from conftest import skip_if_sanitized
from imagefiles import IEND, PNG_SIG, png_chunk
from Quorvex.simpleImage_ext import _readChunk

TEXT = png_chunk(b"tEXt", b"Comment\x00hello")


class RecordingStream:
    """Serves `data` and records every read size; `wrap` turns each result into another type."""

    def __init__(self, data, wrap=bytes):
        self.stream = io.BytesIO(data)
        self.wrap = wrap
        self.sizes = []
        self.results = []

    def read(self, n):
        self.sizes.append(n)
        self.results.append(self.wrap(self.stream.read(n)))
        return self.results[-1]


def flip(data, index):
    return data[:index] + bytes([data[index] ^ 0x01]) + data[index + 1:]


@pytest.mark.parametrize("data, message", [
    (b"\x00", "Unexpected EOF while reading chunk length"),
    (b"\x00\x00\x00", "Unexpected EOF while reading chunk length"),
    (b"\x00\x00\x00\x05IE", "Unexpected EOF while reading chunk type"),
    (b"\x00\x00\x00\x05IEND1234", "Unexpected EOF while reading chunk data"),
    (b"\xff\xff\xff\xffIDATshort", "Unexpected EOF while reading chunk data"),
    (IEND[:-1], "Unexpected EOF while reading chunk CRC"),
    (flip(TEXT, 4), "Corrupted PNG chunk detected"),    # type
    (flip(TEXT, 12), "Corrupted PNG chunk detected"),   # data
    (flip(TEXT, len(TEXT) - 1), "Corrupted PNG chunk detected"),  # stored CRC
    (b"\x00\x00\x00\x0c" + TEXT[4:], "Corrupted PNG chunk detected"),  # shorter length, fields shift
])
def test_refused_chunks(data, message):
    with pytest.raises(ValueError) as info:
        _readChunk(io.BytesIO(data))
    assert str(info.value) == message


@pytest.mark.parametrize("data, expected", [
    (b"", (b"", b"")),
    (IEND, (b"IEND", b"")),
    (png_chunk(b"1234", b"\x00\xff"), (b"1234", b"\x00\xff")),
    (png_chunk(b"aBcD", b"x" * 70000), (b"aBcD", b"x" * 70000)),
])
def test_chunk_and_end_of_stream(data, expected):
    assert _readChunk(io.BytesIO(data)) == expected


def test_four_reads_a_chunk_one_at_the_end_and_the_objects_read_returned():
    stream = RecordingStream(TEXT, wrap=bytearray)
    chunk_type, data = _readChunk(stream)
    assert chunk_type is stream.results[1] and data is stream.results[2]
    assert data == b"Comment\x00hello"
    assert _readChunk(stream) == (b"", b"")
    assert stream.sizes == [4, 4, len(TEXT) - 12, 4, 4]


def test_stream_and_host_errors_pass_through():
    class Failing:
        def read(self, n):
            raise OSError("disk on fire")

    with pytest.raises(OSError, match="disk on fire"):
        _readChunk(Failing())
    # Four items but eight bytes: the host's struct error for the length field.
    wide = RecordingStream(IEND, wrap=lambda b: array.array("H", b * 2) if len(b) == 4 else b)
    with pytest.raises(struct.error) as info:
        _readChunk(wide)
    with pytest.raises(struct.error) as host:
        struct.unpack(">I", array.array("H", bytes(8)))
    assert str(info.value) == str(host.value)


OPEN_BY_PATH = """
import resource, sys
from Quorvex.simpleImage_ext import SimpleImage
resource.setrlimit(resource.RLIMIT_AS, (300 << 20, 300 << 20))
try:
    SimpleImage.open(sys.argv[1])
except Exception as e:
    print(type(e).__name__, e)
"""


@skip_if_sanitized
def test_a_huge_claimed_length_in_a_small_file_costs_no_huge_allocation(tmp_path):
    # A file object sets aside what it is asked for: the data is read in growing pieces.
    import subprocess
    import sys
    path = tmp_path / "claims-4gib.png"
    path.write_bytes(PNG_SIG + b"\xff\xff\xff\xfftEXt" + bytes(100))
    out = subprocess.run([sys.executable, "-c", OPEN_BY_PATH, str(path)], capture_output=True, text=True,
                         timeout=60)
    assert out.stdout == "ValueError Unexpected EOF while reading chunk data\n", out.stderr


def test_large_chunks_read_in_pieces_come_back_whole(tmp_path):
    data = bytes(range(256)) * (80 * 1024 + 3)  # just over 20 MiB
    path = tmp_path / "big-chunk.bin"
    path.write_bytes(png_chunk(b"zzZz", data) + png_chunk(b"zzZz", data)[:-1])
    with open(path, "rb") as stream:
        assert _readChunk(stream) == (b"zzZz", data)
        with pytest.raises(ValueError, match="^Unexpected EOF while reading chunk CRC$"):
            _readChunk(stream)

import zlib

import pytest

from Quorvex.simpleImage_ext import _makeChunk
from imagefiles import IEND, ihdr_data, png_chunk


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("ctype, data", [
    (b"IEND", b""),
    (b"IHDR", ihdr_data(1, 1)),
    (b"tEXt", b"Comment\x00hello"),
    (b"tEX", b"abc"),                 # type length is not checked
    (b"tEXtX", b"abc"),
    (b"", b"x"),
    (b"IDAT", bytes(range(256)) * 1024),
])
def test_chunk_matches_reference(ctype, data):
    chunk = _makeChunk(ctype, data)
    assert type(chunk) is bytes
    assert chunk == png_chunk(ctype, data)
    assert len(chunk) == 8 + len(ctype) + len(data)


def test_known_chunks():
    assert _makeChunk(b"IEND", b"") == IEND
    ihdr = _makeChunk(chunkType=b"IHDR", data=ihdr_data(1, 1))
    assert ihdr[:8] == b"\x00\x00\x00\x0dIHDR"
    assert ihdr[-4:] == bytes([0x90, 0x77, 0x53, 0xDE])
    # The CRC is that of type and data, continued from the type's own CRC.
    assert int.from_bytes(ihdr[-4:], "big") == zlib.crc32(ihdr_data(1, 1), zlib.crc32(b"IHDR"))


@pytest.mark.parametrize("ctype, data, message", [
    (bytearray(b"IEND"), b"", "Argument 'chunkType' has incorrect type (expected bytes, got bytearray)"),
    (b"IEND", bytearray(), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (BytesSubclass(b"IEND"), b"", "Argument 'chunkType' has incorrect type (expected bytes, got BytesSubclass)"),
])
def test_refuses_other_types(ctype, data, message):
    with pytest.raises(TypeError) as exc:
        _makeChunk(ctype, data)
    assert str(exc.value) == message

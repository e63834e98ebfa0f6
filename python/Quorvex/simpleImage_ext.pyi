"""SimpleImage, a small RGB(A) image with its own PNG and BMP codecs, and the module-level
chunk and writer functions behind it."""

import struct as struct
import sys
import zlib as zlib
from io import BytesIO as BytesIO
from pathlib import Path as Path
from typing import Any, List as List, Sequence as Sequence, Tuple as Tuple, Union as Union

from typing_extensions import Self, TypeAlias, disjoint_base

PNG_SIGNATURE: bytes
"""The 8-byte PNG file signature; read from this module at each use, so rebinding it changes
what is recognised and written."""

ImageInput: TypeAlias = Union[str, Path, bytes, bytearray, "SimpleImage"]
"""What SimpleImage.open accepts: a path, the bytes of a file, or an image (returned as is)."""

# (chunk type, data or None for IDAT, data length)
_ChunkRecord: TypeAlias = Tuple[bytes, bytes | None, int]

@disjoint_base
class SimpleImage:
    """Minimal RGB image helper with an optional alpha plane, PNG and BMP codecs, and
    round-trip preservation of the data kept from the file it was opened from.

    The pixels are also a buffer: numpy.asarray(img) and memoryview(img) are writable
    height x width x 3 views of `_pixels` itself (no copy)."""

    width: int
    """Number of columns. Assigning it changes nothing else (the pixels are not resized)."""
    height: int
    """Number of rows. Assigning it changes nothing else (the pixels are not resized)."""
    _pixels: bytearray | None
    """RGB bytes, 3 per pixel, rows top to bottom; the stored array itself (changes show)."""
    _alpha: Any
    """The alpha plane, one byte per pixel (a bytearray), or None for an RGB image."""
    _png_chunks: Any
    """Chunk records (type, data or None for IDAT, length) kept from a PNG, or None."""
    _png_filters: Any
    """The PNG filter type (0 to 4) of each row, as a bytearray, or None."""
    _bmp_header: Any
    """The xppm, yppm, clrUsed and clrImportant fields kept from a BMP, or None."""
    def __new__(
        cls,
        width: int,
        height: int,
        pixels: Any,
        alpha: Any = None,
        png_chunks: Any = None,
        bmp_header: Any = None,
        png_filters: Any = None,
    ) -> Self:
        """An image of width x height from RGB bytes (width * height * 3 of them) and an
        optional alpha plane (width * height bytes); every argument is copied."""
    @property
    def size(self) -> Tuple[int, int]:
        """(width, height)."""
    @staticmethod
    def _streamToImage(stream: Any) -> Tuple[Any, ...]:
        """Decodes a binary stream holding a PNG or BMP into the decoder's 8-tuple."""
    @classmethod
    def open(cls, source: ImageInput) -> Self:
        """Opens a PNG (8-bit RGB or RGBA) or 24-bit BMP from a path or the file's bytes,
        recognised by its first bytes; prints one line. An image is returned as it is."""
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]:
        """The (r, g, b) of the pixel at (x, y); the alpha plane is `_alpha`."""
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None:
        """Sets the pixel at (x, y) to (r, g, b); each value wraps modulo 256."""
    def copy(self) -> SimpleImage:
        """An independent SimpleImage with copies of the pixels and all kept data."""
    def save(self, path: str) -> None:
        """Writes the image where it came from: as that PNG again (same chunks, filters and
        IDAT split), as a BMP if opened from one, else as a plain PNG."""
    def saveBmp(self, path: str) -> None:
        """Writes a 24-bit BMP (the alpha plane is not written)."""
    def __reduce__(self) -> Any:
        """Refuses pickling (TypeError); use copy() to duplicate an image."""
    def __setstate__(self, state: Any) -> None:
        """Refuses restoring from pickled state (TypeError)."""
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview:
            """A writable height x width x 3 view of the pixels; the stored array cannot be
            resized while it lives."""
        def __release_buffer__(self, buffer: memoryview, /) -> None:
            """Releases a view made by __buffer__."""

def _readChunk(stream: Any) -> Tuple[bytes, bytes]:
    """Reads one PNG chunk from a stream, checks its CRC, returns (type, data)."""
def _makeChunk(chunkType: bytes, data: bytes) -> bytes:
    """One PNG chunk: length, type, data and CRC-32."""
def _writePng(
    path: Any, width: int, height: int, pixels: Any, alpha: Any = None, filter_types: Any = None
) -> None:
    """Writes a plain PNG (IHDR, one IDAT, IEND) from RGB bytes and an optional alpha plane."""
def _split_idat_payload(data: bytes | None, lengths: List[int] | None) -> List[bytes]:
    """Cuts compressed image data along the given IDAT lengths; the last piece takes the rest."""
def _writePngWithChunks(
    path: Any, width: int, height: int, pixels: Any, alpha: Any, chunks: Any, filter_types: Any = None
) -> None:
    """Writes a PNG that keeps every chunk record but IDAT, with the new image data cut along
    the old IDAT lengths at the place of the first IDAT."""
def _writeBmp(path: Any, width: int, height: int, pixels: Any, meta: Any = None) -> None:
    """Writes a bottom-up 24-bit BMP, with the header fields in `meta` if given."""

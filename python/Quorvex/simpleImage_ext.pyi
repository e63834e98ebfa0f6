import struct as struct
import zlib as zlib
from io import BytesIO as BytesIO
from pathlib import Path as Path
from typing import Any, List as List, Sequence as Sequence, Tuple as Tuple, Union as Union

from typing_extensions import Self, TypeAlias, disjoint_base

PNG_SIGNATURE: bytes
ImageInput: TypeAlias = Union[str, Path, bytes, bytearray, "SimpleImage"]

# (chunk type, data or None for IDAT, data length)
_ChunkRecord: TypeAlias = Tuple[bytes, bytes | None, int]

@disjoint_base
class SimpleImage:
    width: int
    height: int
    _pixels: bytearray | None
    _alpha: Any
    _png_chunks: Any
    _png_filters: Any
    _bmp_header: Any
    def __new__(
        cls,
        width: int,
        height: int,
        pixels: Any,
        alpha: Any = None,
        png_chunks: Any = None,
        bmp_header: Any = None,
        png_filters: Any = None,
    ) -> Self: ...
    @property
    def size(self) -> Tuple[int, int]: ...
    @staticmethod
    def _streamToImage(stream: Any) -> Tuple[Any, ...]: ...
    @classmethod
    def open(cls, source: ImageInput) -> Self: ...
    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]: ...
    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None: ...
    def copy(self) -> SimpleImage: ...
    def save(self, path: str) -> None: ...
    def saveBmp(self, path: str) -> None: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any) -> None: ...

def _readChunk(stream: Any) -> Tuple[bytes, bytes]: ...
def _makeChunk(chunkType: bytes, data: bytes) -> bytes: ...
def _writePng(
    path: Any, width: int, height: int, pixels: Any, alpha: Any = None, filter_types: Any = None
) -> None: ...
def _split_idat_payload(data: bytes | None, lengths: List[int] | None) -> List[bytes]: ...
def _writePngWithChunks(
    path: Any, width: int, height: int, pixels: Any, alpha: Any, chunks: Any, filter_types: Any = None
) -> None: ...
def _writeBmp(path: Any, width: int, height: int, pixels: Any, meta: Any = None) -> None: ...

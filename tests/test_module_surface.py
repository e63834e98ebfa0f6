"""The module as the interpreter sees it: names, constants, callables and their annotations."""

import pathlib
import struct
import typing
import zlib

import pytest

import Quorvex.simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage


def test_host_names_and_constants():
    assert ext.struct is struct and ext.zlib is zlib
    assert ext.Path is pathlib.Path
    assert (ext.List, ext.Sequence, ext.Tuple, ext.Union) == (
        typing.List, typing.Sequence, typing.Tuple, typing.Union)
    assert type(ext.PNG_SIGNATURE) is bytes
    assert ext.PNG_SIGNATURE == b"\x89PNG\r\n\x1a\n"
    assert ext.ImageInput == typing.Union[str, pathlib.Path, bytes, bytearray, "SimpleImage"]
    assert ext.__doc__ is None
    assert SimpleImage.__module__ == "Quorvex.simpleImage_ext"
    assert SimpleImage.__qualname__ == "SimpleImage"
    assert SimpleImage.__doc__.startswith("Minimal RGB image helper")


MODULE_FUNCTIONS = [
    ("_readChunk", {"return": "Tuple[bytes, bytes]"}),
    ("_makeChunk", {"chunkType": "bytes", "data": "bytes", "return": "bytes"}),
    ("_writePng", {"return": "None"}),
    ("_split_idat_payload", {}),
    ("_writePngWithChunks", {}),
    ("_writeBmp", {"return": "None"}),
]

CLASS_CALLABLES = [
    ("_streamToImage", {}),
    ("open", {"source": "ImageInput", "return": "SimpleImage"}),
    ("getPixel", {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"}),
    ("putPixel", {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"}),
    ("copy", {"return": "SimpleImage"}),
    ("save", {"path": "str", "return": "None"}),
    ("saveBmp", {"path": "str", "return": "None"}),
]


@pytest.mark.parametrize("name, annotations", MODULE_FUNCTIONS)
def test_module_function_metadata(name, annotations):
    fn = getattr(ext, name)
    assert fn.__annotations__ == annotations
    assert list(fn.__annotations__) == list(annotations)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
        name, name, "Quorvex.simpleImage_ext", None)


@pytest.mark.parametrize("name, annotations", CLASS_CALLABLES)
def test_class_callable_metadata(name, annotations):
    fn = getattr(SimpleImage, name)
    assert fn.__annotations__ == annotations
    assert fn.__qualname__ == "SimpleImage." + name
    assert fn.__doc__ is None


def test_class_callables_are_defined_in_order():
    names = [n for n in vars(SimpleImage) if n in {c for c, _ in CLASS_CALLABLES}]
    assert names == [c for c, _ in CLASS_CALLABLES]


def test_static_and_class_methods_bind_as_declared():
    assert isinstance(vars(SimpleImage)["_streamToImage"], staticmethod)
    assert isinstance(vars(SimpleImage)["open"], classmethod)

    class Sub(SimpleImage):
        pass

    img = Sub(1, 1, b"abc")
    assert Sub.open.__self__ is Sub and img.open.__self__ is Sub
    assert img._streamToImage is SimpleImage._streamToImage
    # A method binds like a Python function; looked up on the class it is the plain callable.
    assert img.getPixel.__self__ is img
    assert SimpleImage.getPixel(img, (0, 0)) == (97, 98, 99)


def test_methods_refuse_a_foreign_self():
    with pytest.raises(TypeError):
        SimpleImage.getPixel(5, (0, 0))
    with pytest.raises(TypeError, match="needs an argument"):
        SimpleImage.getPixel()


def test_the_class_cannot_be_patched():
    with pytest.raises(TypeError):
        SimpleImage.getPixel = None


@pytest.mark.parametrize("fn, text", [
    (lambda: SimpleImage.open, "(source: 'ImageInput') -> 'SimpleImage'"),
    (lambda: SimpleImage._streamToImage, "(stream)"),
    (lambda: SimpleImage.getPixel, "(self, coords: 'Tuple[int, int]') -> 'Tuple[int, int, int]'"),
    (lambda: SimpleImage(1, 1, b"abc").putPixel, "(coords: 'Tuple[int, int]', value: 'Sequence[int]') -> 'None'"),
    (lambda: ext._writePng, "(path, width, height, pixels, alpha=None, filter_types=None) -> 'None'"),
    (lambda: ext._writePngWithChunks, "(path, width, height, pixels, alpha, chunks, filter_types=None)"),
    (lambda: ext._split_idat_payload, "(data, lengths)"),
])
def test_signatures_come_from_the_parameter_tables(fn, text):
    import inspect
    assert str(inspect.signature(fn())) == text

"""The source layers include downward only: image -> png, bmp -> interop -> codec, and the
converter module -> png -> interop -> codec. A header included against the arrows fails here."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.MULTILINE)

# What each folder may include, besides itself.
ALLOWED = {
    "codec": set(),
    "interop": {"codec"},
    "png": {"interop", "codec"},
    "bmp": {"interop", "codec"},
    "convert": {"png", "interop", "codec"},
    "image": {"png", "bmp", "interop", "codec"},
}


@pytest.mark.skipif(not SRC.is_dir(), reason="the source tree is not beside the tests")
@pytest.mark.parametrize("layer", sorted(ALLOWED))
def test_includes_point_down(layer):
    wrong = []
    for path in sorted((SRC / layer).rglob("*.[ch]pp")):
        text = path.read_text()
        bad = {folder for folder in INCLUDE.findall(text) if folder != layer} - ALLOWED[layer]
        if layer == "codec" and "Python.h" in text:
            bad.add("Python.h")
        wrong += [f"{path.relative_to(SRC)} -> {folder}" for folder in sorted(bad)]
    assert not wrong

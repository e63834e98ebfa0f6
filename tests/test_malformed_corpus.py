"""Every file of tests/malformed is opened from its path and from its bytes and must give the
outcome of manifest.tsv: the exact exception type and message, or an image of the listed size.
No case may allocate much: a few bytes never buy a large buffer."""

import contextlib
import io
import os
import struct
import tracemalloc
import zlib

import pytest

from Quorvex.simpleImage_ext import SimpleImage

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "malformed")
EXCEPTIONS = {
    "ValueError": ValueError,
    "OverflowError": OverflowError,
    "struct.error": struct.error,
    "zlib.error": zlib.error,
}
# Chunk data is asked of the stream up to 16 MiB at a time, whatever the length field claims.
PEAK_LIMIT = 24 << 20


def manifest():
    with open(os.path.join(HERE, "manifest.tsv"), encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]
    return [pytest.param(name, outcome, message, id=name) for name, outcome, message in rows]


def quiet_open(source):
    with contextlib.redirect_stdout(io.StringIO()):
        return SimpleImage.open(source)


@pytest.mark.parametrize("source_kind", ["path", "bytes"])
@pytest.mark.parametrize("name, outcome, message", manifest())
def test_corpus_file_gives_its_listed_outcome(name, outcome, message, source_kind):
    path = os.path.join(HERE, name)
    if source_kind == "path":
        source = path
    else:
        with open(path, "rb") as f:
            source = f.read()
    tracemalloc.start()
    try:
        if outcome == "ok":
            image = quiet_open(source)
            assert "%dx%d" % image.size == message
        else:
            with pytest.raises(EXCEPTIONS[outcome]) as caught:
                quiet_open(source)
            assert type(caught.value) is EXCEPTIONS[outcome]
            assert str(caught.value) == message
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < PEAK_LIMIT, f"{name} allocated {peak} bytes"


def test_corpus_files_are_those_the_script_makes():
    import importlib.util

    spec = importlib.util.spec_from_file_location("make_corpus", os.path.join(HERE, "make_corpus.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    table = module.cases()
    listed = {row.values[0] for row in manifest()}
    assert listed == set(table)
    for name, (data, _, _) in table.items():
        with open(os.path.join(HERE, name), "rb") as f:
            assert f.read() == data, f"{name} is stale: run tests/malformed/make_corpus.py"

"""Resident memory of opening a large PNG, measured in a child process: at its peak the open
holds the outputs, the compressed data and little more, and afterwards the image holds its
outputs only, whichever way the image data were decoded."""

import pytest

from conftest import SANITIZED
from isolated import run_isolated

pytestmark = pytest.mark.skipif(SANITIZED, reason="the sanitizer's own memory hides the decoder's")

# The child writes the file, drops everything but its bytes, resets the peak and opens it.
CHILD = """
import gc, io, os, re, sys, zlib, contextlib
from Quorvex.simpleImage_ext import SimpleImage
width, height, channels, source, path = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6]

def chunk(kind, data):
    return len(data).to_bytes(4, "big") + kind + data + zlib.crc32(kind + data).to_bytes(4, "big")

row = bytes(range(256)) * (width * channels // 256)
body = b"".join(bytes((y % 5,)) + row for y in range(height))
ihdr = width.to_bytes(4, "big") + height.to_bytes(4, "big") + bytes((8, 6 if channels == 4 else 2, 0, 0, 0))
data = b"\\x89PNG\\r\\n\\x1a\\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(body, 1)) + chunk(b"IEND", b"")
compressed = len(data)
del body
with open(path, "wb") as f:
    f.write(data)
if source == "path":
    del data

def status(field):
    with open("/proc/self/status") as f:
        return int(re.search(field + r":\\s+(\\d+)", f.read()).group(1)) * 1024

gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
resident = status("VmRSS")
with contextlib.redirect_stdout(io.StringIO()):
    img = SimpleImage.open(data if source == "bytes" else path)
peak = status("VmHWM") - resident
lasting = status("VmRSS") - resident
ok = len(img._pixels) == width * height * 3 and (channels == 3 or len(img._alpha) == width * height)
report([peak, lasting, compressed, ok])
"""

SHAPES = [(2048, 2048, channels, source) for channels in (3, 4) for source in ("bytes", "path")]


@pytest.mark.parametrize("width, height, channels, source", SHAPES,
                         ids=[f"{'RGBA' if c == 4 else 'RGB'}-{s}" for _, _, c, s in SHAPES])
def test_open_holds_the_outputs_and_the_compressed_data_only(tmp_path, width, height, channels, source):
    # The debug allocator that -X dev installs fills new memory, which would count every
    # buffer as touched the moment it is made.
    outcome = run_isolated(CHILD, width, height, channels, source, tmp_path / "big.png", timeout=120,
                           env={"PYTHONMALLOC": "malloc"})
    assert outcome.value is not None, outcome.describe()
    peak, lasting, compressed, ok = outcome.value
    assert ok
    outputs = width * height * channels + height
    allowance = 2 << 20
    assert peak <= outputs + compressed + allowance, (peak - outputs - compressed) >> 10
    assert lasting <= outputs + allowance, (lasting - outputs) >> 10

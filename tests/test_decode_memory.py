"""Resident memory of opening a PNG, measured in a child process: at its peak the open holds
the outputs, the compressed data and little more, and afterwards the image holds its outputs
only, whichever way the image data were decoded."""

import zlib

import pytest

from conftest import SANITIZED
from imagefiles import IEND, PNG_SIG, ihdr_data, png_chunk
from isolated import run_isolated

pytestmark = pytest.mark.skipif(SANITIZED, reason="the sanitizer's own memory hides the decoder's")

# The file is made by the test, so that the child's heap holds nothing freed that the open
# could reuse: its buffers come as fresh pages, which count once they are touched.
CHILD = """
import gc, io, re, sys, contextlib
from Quorvex.simpleImage_ext import SimpleImage
path, source = sys.argv[2], sys.argv[3]

def status(field):
    with open("/proc/self/status") as f:
        return int(re.search(field + r":\\s+(\\d+)", f.read()).group(1)) * 1024

data = open(path, "rb").read() if source == "bytes" else path
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
resident, anonymous = status("VmRSS"), status("RssAnon")
with contextlib.redirect_stdout(io.StringIO()):
    img = SimpleImage.open(data)
peak = status("VmHWM") - resident
lasting = status("RssAnon") - anonymous
report([peak, lasting, bytes(img._pixels[-6:]).hex(), len(img._pixels), len(img._alpha or b"")])
img._pixels.extend(b"xyz")  # the buffer cut back is an ordinary bytearray
report(bytes(img._pixels[-6:]).hex())
"""

# A row of every byte value, stored with filter type None: pixels and alpha are known.
def write_png(path, width, height, channels):
    row = bytes(range(256)) * (width * channels // 256)
    body = zlib.compress((b"\x00" + row) * height, 1)
    color_type = 6 if channels == 4 else 2
    path.write_bytes(PNG_SIG + png_chunk(b"IHDR", ihdr_data(width, height, color_type=color_type))
                     + png_chunk(b"IDAT", body) + IEND)
    rgb = row if channels == 3 else bytes(b for i, b in enumerate(row) if i % 4 != 3)
    return rgb[-6:], len(body) + 100


# The debug hooks that -X dev installs fill new memory, which touches every buffer the moment
# it is made: the peak is checked under the host's default allocator only. Rows without pixels
# are their filter types alone, and those are all the outputs hold.
CASES = [(width, height, channels, source, allocator)
         for width, height, channels in ((2048, 2048, 3), (2048, 2048, 4), (768, 768, 4), (0, 8_000_000, 3))
         for source in ("bytes", "path") for allocator in ("pymalloc", "debug")]


@pytest.mark.parametrize("width, height, channels, source, allocator", CASES,
                         ids=[f"{w}x{h}-{'RGBA' if c == 4 else 'RGB'}-{src}-{a}" for w, h, c, src, a in CASES])
def test_open_holds_the_outputs_and_the_compressed_data_only(tmp_path, width, height, channels, source, allocator):
    path = tmp_path / "image.png"
    last_pixels, compressed = write_png(path, width, height, channels)
    outcome = run_isolated(CHILD, path, source, timeout=120, env={"PYTHONMALLOC": allocator})
    assert len(outcome.reports) == 2, outcome.describe()
    (peak, lasting, tail, pixels, alpha), extended = outcome.reports
    assert (tail, pixels, alpha) == (last_pixels.hex(), width * height * 3, width * height if channels == 4 else 0)
    assert extended == (last_pixels[-3:] + b"xyz").hex()
    outputs = width * height * channels + height
    if allocator == "pymalloc":
        assert peak <= outputs + compressed + (2 << 20), (peak - outputs - compressed) >> 10
    # What stays is counted in anonymous memory: the code and files an open first touches
    # (which pages of them the kernel maps around each fault varies from build to build) are
    # not the image's. Beside the outputs the interpreter keeps under 200 KiB; the room an
    # RGBA image of 768 x 768 leaves behind is 577 KiB.
    assert lasting <= outputs + (256 << 10), (lasting - outputs) >> 10

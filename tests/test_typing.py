"""The type stubs describe exactly the runtime surface, and the command-line tool type-checks."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def run(*args):
    # From outside the source tree, so that the installed package is what mypy sees.
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd="/", timeout=300)


def test_stubs_match_the_runtime():
    result = run("mypy.stubtest", "Quorvex.simpleImage_ext")
    assert result.returncode == 0, result.stdout + result.stderr


def test_cli_type_checks_strictly():
    result = run("mypy", "--strict", "--no-incremental", "-m", "Quorvex.cli")
    assert result.returncode == 0, result.stdout + result.stderr


BUFFER_USERS = """
import numpy as np
from Quorvex.simpleImage_ext import SimpleImage

img = SimpleImage(1, 1, b"abc")
with memoryview(img) as m:
    shape: tuple[int, ...] = m.shape or ()
arr: np.ndarray = np.asarray(img)
data: bytes = bytes(img)
"""


def test_images_type_check_as_buffers(tmp_path):
    pytest.importorskip("numpy")
    source = tmp_path / "uses_buffer.py"
    source.write_text(BUFFER_USERS)
    # From 3.12 on, a buffer is whatever has __buffer__: the stub must say the image has one.
    result = run("mypy", "--strict", "--no-incremental", "--python-version", "3.12", str(source))
    assert result.returncode == 0, result.stdout + result.stderr

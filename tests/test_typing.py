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

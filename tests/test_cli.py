"""The command-line tool, run as users run it: in a subprocess, checking output, exit codes and files."""

import json
import os
import subprocess
import sys

import pytest

from Quorvex.simpleImage_ext import SimpleImage
from imagefiles import bmp_file, make_png, pattern

KEPT = [(b"tEXt", b"Title\x00cli"), (b"zzPr", b"\x09")]


def quorvex(*args, cwd=None, tmpdir=None):
    env = dict(os.environ, TMPDIR=str(tmpdir)) if tmpdir else None
    return subprocess.run([sys.executable, "-P", "-m", "Quorvex", *map(str, args)], capture_output=True,
                          text=True, timeout=120, cwd=cwd, env=env)


@pytest.fixture
def files(tmp_path):
    png = tmp_path / "a.png"
    png.write_bytes(make_png(6, 5, pattern(6, 5, 4), 4, [0, 1, 2, 3, 4], idat_lengths=[20, 1], before=KEPT))
    bmp = tmp_path / "b.bmp"
    bmp.write_bytes(bmp_file(3, 2, pattern(3, 2), xppm=1000))
    return png, bmp


def test_info_text_and_json(files):
    png, bmp = files
    out = quorvex("info", png, bmp)
    assert out.returncode == 0, out.stderr
    assert f"{png}: PNG 6x5, RGBA" in out.stdout and "IDAT x2" in out.stdout
    assert "row filters: None 1, Sub 1, Up 1, Average 1, Paeth 1" in out.stdout
    assert "xppm: 1000" in out.stdout
    facts = json.loads(quorvex("info", "--json", png).stdout)
    assert [c["type"] for c in facts["chunks"]] == ["IHDR", "tEXt", "zzPr", "IDAT", "IEND"]
    assert facts["chunks"][3]["count"] == 2 and facts["channels"] == 4


def test_convert_keeps_chunks_and_writes_bmp(files, tmp_path):
    png, bmp = files
    assert quorvex("convert", png, tmp_path / "c.png").returncode == 0
    again = SimpleImage.open(str(tmp_path / "c.png"))
    assert [(t, d) for t, d, _ in again._png_chunks if t in (b"tEXt", b"zzPr")] == KEPT
    assert quorvex("convert", png, tmp_path / "c.out", "--to", "bmp").returncode == 0
    assert (tmp_path / "c.out").read_bytes()[:2] == b"BM"
    assert quorvex("convert", bmp, tmp_path / "d.png").returncode == 0
    assert (tmp_path / "d.png").read_bytes()[:4] == b"\x89PNG"


def test_check_reports_each_file_and_fails_on_loss(files, tmp_path):
    png, bmp = files
    out = quorvex("check", "--jobs", "2", png, bmp)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.splitlines() == [f"OK    {png}", f"OK    {bmp}"]
    # A source whose IDAT data splits into more pieces than the new data can fill.
    tiny = tmp_path / "split.png"
    tiny.write_bytes(make_png(4, 4, bytes(48), 3, idat_lengths=[1] * 30, level=1))
    out = quorvex("check", tiny, png)
    assert out.returncode == 1
    assert out.stdout.splitlines()[0].startswith(f"LOST  {tiny}: IDAT count (30 -> ")


@pytest.mark.parametrize("args, message", [
    (["info", "missing.png"], "quorvex: error: missing.png: no such file"),
    (["info", "junk.bin"], "quorvex: error: junk.bin: Unsupported image format"),
    (["convert", "junk.bin", "x.png"], "quorvex: error: junk.bin: Unsupported image format"),
])
def test_errors_are_one_line_without_traceback(tmp_path, args, message):
    (tmp_path / "junk.bin").write_bytes(b"GIF89a")
    out = quorvex(*args, cwd=tmp_path)
    assert out.returncode == 1
    assert out.stderr.strip() == message


def test_demo_runs_end_to_end(tmp_path):
    out = quorvex("demo", "--out", tmp_path / "demo")
    assert out.returncode == 0, out.stderr
    assert "kept every other chunk in place: True, each row's filter type: True" in out.stdout
    assert sorted(p.name for p in (tmp_path / "demo").iterdir()) == ["sample-edited.bmp", "sample-edited.png"]
    assert quorvex(tmpdir=tmp_path).stdout.startswith("Bundled sample:")  # no subcommand runs the demo

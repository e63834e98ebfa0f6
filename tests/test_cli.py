"""The command-line tool, run as users run it: in a subprocess, checking output, exit codes and files."""

import importlib.metadata
import io
import json
import os
import pathlib
import pty
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import zlib

import pytest
from PIL import Image

from Quorvex._convert import choose_filters
from Quorvex.simpleImage_ext import SimpleImage
from imagefiles import bmp_file, make_png, pattern, scanlines

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


# ---- every file reported, directories walked, formats by name, errors without tracebacks ----

def test_version_comes_from_the_package_metadata():
    out = quorvex("--version")
    assert (out.returncode, out.stdout, out.stderr) == (0, f"quorvex {importlib.metadata.version('Quorvex')}\n", "")


def test_info_reports_every_file_and_fails_at_the_end(files, tmp_path):
    png, bmp = files
    (tmp_path / "junk.bin").write_bytes(b"GIF89a")
    out = quorvex("info", png, "missing.png", bmp, "junk.bin", cwd=tmp_path)
    assert out.returncode == 1
    assert f"{png}: PNG 6x5, RGBA" in out.stdout and f"{bmp}: BMP 3x2, RGB" in out.stdout
    assert out.stderr.splitlines() == ["quorvex: error: missing.png: no such file",
                                       "quorvex: error: junk.bin: Unsupported image format"]
    # --json: one object a line, whether one file is given or many.
    many = quorvex("info", "--json", png, "missing.png", bmp, cwd=tmp_path)
    assert many.returncode == 1 and many.stderr == "quorvex: error: missing.png: no such file\n"
    objects = [json.loads(line) for line in many.stdout.splitlines()]
    assert [o["file"] for o in objects] == [str(png), str(bmp)]
    one = quorvex("info", "--json", png)
    assert one.returncode == 0 and one.stdout.count("\n") == 1 and json.loads(one.stdout) == objects[0]


def test_check_of_one_file_many_times_in_parallel(files, tmp_path):
    _, bmp = files
    # Large enough that the round trips overlap: each needs a saved copy of its own.
    png = tmp_path / "big.png"
    png.write_bytes(make_png(256, 256, pattern(256, 256), filters=[4] * 256))
    work = tmp_path / "tmp"
    work.mkdir()
    out = quorvex("check", "-j", "8", *[png] * 48, bmp, tmpdir=work)
    assert (out.returncode, out.stderr) == (0, ""), out.stdout + out.stderr
    assert out.stdout.splitlines() == [f"OK    {png}"] * 48 + [f"OK    {bmp}"]
    assert list(work.iterdir()) == []  # every saved copy and the work folder are gone


def make_tree(root, png_bytes, bmp_bytes):
    """Images found by their first bytes whatever their names; other files passed over."""
    layout = {"b.png": png_bytes, "a/z.bmp": bmp_bytes, "a/notes.txt": b"hello", "a/image.dat": png_bytes,
              "a/fake.png": b"not a png", "c/Photo.PNG": png_bytes, "c/d/e.bmp": bmp_bytes, "a2.bmp": bmp_bytes}
    for name, data in layout.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return [root / n for n in ("a/image.dat", "a/z.bmp", "a2.bmp", "b.png", "c/Photo.PNG", "c/d/e.bmp")]


def test_check_walks_directories_in_sorted_order(files, tmp_path):
    png, bmp = files
    tree = tmp_path / "tree"
    expected = make_tree(tree, png.read_bytes(), bmp.read_bytes())
    (tmp_path / "empty").mkdir()
    out = quorvex("check", tree, png, tmp_path / "empty")
    assert out.returncode == 1 and out.stderr == ""
    assert out.stdout.splitlines() == [f"OK    {p}" for p in expected] + [
        f"OK    {png}", f"ERROR {tmp_path / 'empty'}: no PNG or BMP files"]


def test_check_shows_progress_on_a_terminal(files, tmp_path):
    png, bmp = files
    tree = tmp_path / "tree"
    make_tree(tree, png.read_bytes(), bmp.read_bytes())
    master, slave = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-P", "-m", "Quorvex", "check", str(tree), str(png), str(bmp)],
                              stdout=subprocess.PIPE, stderr=slave, text=True, timeout=120)
    finally:
        os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal's other end is closed: everything has been read
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    assert proc.returncode == 0 and len(proc.stdout.splitlines()) == 8
    assert b"] 8/8" in shown and b"Traceback" not in shown


@pytest.mark.parametrize("src, dst, extra, magic, message", [
    ("a.png", "c.PNG", [], b"\x89PNG", None),
    ("a.png", "c.Bmp", [], b"BM", None),
    ("b.bmp", "d.png", [], b"\x89PNG", None),
    ("b.bmp", "noext", ["--to", "png"], b"\x89PNG", None),
    ("a.png", "out.jpg", [], None, "out.jpg: cannot tell the output format from the name "
                                   "(use .png or .bmp, or --to png|bmp)"),
    ("a.png", "noext", [], None, "noext: cannot tell the output format from the name "
                                 "(use .png or .bmp, or --to png|bmp)"),
    ("b.bmp", "y.bmp", ["--to", "png"], None, "y.bmp: --to png contradicts the .bmp extension"),
    ("a.png", "y.PNG", ["--to", "bmp"], None, "y.PNG: --to bmp contradicts the .PNG extension"),
])
def test_convert_takes_the_format_from_to_or_the_name(files, src, dst, extra, magic, message):
    folder = files[0].parent
    out = quorvex("convert", src, dst, *extra, cwd=folder)
    if message is None:
        assert out.returncode == 0, out.stderr
        assert (folder / dst).read_bytes()[:len(magic)] == magic
    else:
        assert (out.returncode, out.stderr, out.stdout) == (1, f"quorvex: error: {message}\n", "")
        assert not (folder / dst).exists()


def test_convert_warns_when_bmp_drops_alpha(files, tmp_path):
    png, bmp = files
    out = quorvex("convert", png, tmp_path / "x.bmp")
    assert out.returncode == 0
    assert out.stderr == f"quorvex: warning: {png}: the alpha channel is dropped (BMP output is 24-bit RGB)\n"
    rgb = tmp_path / "rgb.png"
    rgb.write_bytes(make_png(3, 2, pattern(3, 2)))
    out = quorvex("convert", rgb, tmp_path / "y.bmp")
    assert (out.returncode, out.stderr) == (0, "")


# (arguments, exit code, stderr lines for exit 1 / the start of the last stderr line for exit 2
# (argparse's wording of the rest differs between versions), stdout).
# In the working folder: junk.bin (not an image), cut.png (a PNG cut short), file (a plain file),
# folder/ (a directory), a.png (a good image).
USER_ERRORS = [
    (["info", "missing.png"], 1, ["missing.png: no such file"], ""),
    (["info", "folder"], 1, ["folder: is a directory"], ""),
    (["info", "cut.png"], 1, ["cut.png: Unexpected EOF while reading chunk type"], ""),
    (["info"], 2, "quorvex info: error: the following arguments are required: files", ""),
    (["convert", "missing.png", "x.png"], 1, ["missing.png: no such file"], ""),
    (["convert", "folder", "x.png"], 1, ["folder: is a directory"], ""),
    (["convert", "junk.bin", "x.bmp"], 1, ["junk.bin: Unsupported image format"], ""),
    (["convert", "a.png", "folder"], 1, ["folder: cannot tell the output format from the name "
                                         "(use .png or .bmp, or --to png|bmp)"], ""),
    (["convert", "a.png", "folder", "--to", "png"], 1, ["folder: Is a directory"], ""),
    (["convert", "a.png", "nowhere/x.png"], 1, ["nowhere/x.png: No such file or directory"], ""),
    (["convert", "a.png", "file/x.bmp"], 1, ["file/x.bmp: Not a directory"], ""),
    (["convert", "a.png", "x.png", "--to", "gif"], 2, "quorvex convert: error: argument --to: invalid choice: "
                                                     "'gif'", ""),
    (["check", "missing.png", "junk.bin"], 1, [], "ERROR missing.png: no such file\n"
                                                  "ERROR junk.bin: Unsupported image format\n"),
    (["check", "--jobs", "0", "a.png"], 2, "quorvex check: error: argument --jobs/-j: must be at least 1: '0'", ""),
    (["check", "-j", "many", "a.png"], 2, "quorvex check: error: argument --jobs/-j: invalid int value: 'many'", ""),
    (["demo", "--out", "file"], 1, ["file: not a directory"], ""),
    (["demo", "--out", "file/sub"], 1, ["file/sub: Not a directory"], ""),
    (["frobnicate"], 2, None, ""),
]


def test_user_errors_are_one_line_without_traceback(files):
    folder = files[0].parent
    (folder / "junk.bin").write_bytes(b"GIF89a")
    (folder / "cut.png").write_bytes(files[0].read_bytes()[:60])
    (folder / "file").write_bytes(b"x")
    (folder / "folder").mkdir()
    failures = []
    for args, code, err, stdout in USER_ERRORS:
        out = quorvex(*args, cwd=folder)
        if code == 1:
            expected_err = "".join(f"quorvex: error: {line}\n" for line in err)
            ok = (out.returncode, out.stderr, out.stdout) == (1, expected_err, stdout)
        else:
            ok = out.returncode == 2 and "Traceback" not in out.stderr and out.stdout == stdout and (
                err is None or out.stderr.splitlines()[-1].startswith(err))
        if not ok:
            failures.append(f"{args}: exit {out.returncode}\n{out.stdout}{out.stderr}")
    assert not failures, "\n".join(failures)
    assert sorted(p.name for p in folder.iterdir()) == ["a.png", "b.bmp", "cut.png", "file", "folder", "junk.bin"]
    assert list((folder / "folder").iterdir()) == []


# On an ASCII-only output, names print with '?' for what it cannot show, and nothing else
# changes: (arguments, exit code, stdout, stderr). "é.png" and "\udcff.png" (the byte 0xff,
# which never was text) are copies of a.png (RGBA).
UNSHOWN = "\udcff.png"
UNSHOWABLE_NAMES = [
    (["info", "é.png", UNSHOWN], 0, "?.png: PNG 6x5, RGBA", ""),
    (["check", "é.png", UNSHOWN], 0, "OK    ?.png\nOK    ?.png\n", ""),
    (["convert", UNSHOWN, "ü.bmp"], 0, "?.png -> ?.bmp\n",
     "quorvex: warning: ?.png: the alpha channel is dropped (BMP output is 24-bit RGB)\n"),
    (["convert", "é.png", "ü.gif"], 1, "", "quorvex: error: ?.gif: cannot tell the output format from the name "
                                         "(use .png or .bmp, or --to png|bmp)\n"),
    (["info", "é.png", "missing-é.png"], 1, "?.png: PNG 6x5, RGBA", "quorvex: error: missing-?.png: no such file\n"),
]


def test_names_the_output_cannot_show(files):
    folder = files[0].parent
    for name in ("é.png", UNSHOWN):
        (folder / name).write_bytes(files[0].read_bytes())
    failures = []
    for args, code, stdout, stderr in UNSHOWABLE_NAMES:
        out = subprocess.run([sys.executable, "-P", "-m", "Quorvex", *args], capture_output=True, text=True,
                             timeout=120, cwd=folder, env=dict(os.environ, PYTHONIOENCODING="ascii"))
        if (out.returncode, out.stderr) != (code, stderr) or not out.stdout.startswith(stdout):
            failures.append(f"{args}: exit {out.returncode}\n{out.stdout}{out.stderr}")
    assert not failures, "\n".join(failures)


# ---- converted PNG files: filters chosen per row, kept ones kept ----

def chunks_of(path):
    data, pos, chunks = path.read_bytes(), 8, []
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        chunks.append((data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]))
        pos += 12 + length
    return chunks


def decoded(path):
    """Pixels as an independent decoder sees them: RGB or RGBA bytes."""
    with Image.open(path) as im:
        im.load()
        return im.mode, im.tobytes()


def rgba_bytes(pixels, alpha):
    return b"".join(pixels[3 * i:3 * i + 3] + alpha[i:i + 1] for i in range(len(alpha)))


def test_convert_from_bmp_chooses_each_rows_filter(tmp_path):
    width, height = 40, 30
    pixels = pattern(width, height)
    src = tmp_path / "photo.bmp"
    src.write_bytes(bmp_file(width, height, pixels))
    out = quorvex("convert", src, tmp_path / "photo.png")
    assert out.returncode == 0, out.stderr
    written = SimpleImage.open(str(tmp_path / "photo.png"))
    assert written._png_filters == choose_filters(width, height, pixels)
    assert set(written._png_filters) != {0}
    assert decoded(tmp_path / "photo.png") == ("RGB", pixels)
    # Compressed by libdeflate where the build has it (loaded with the module), else by zlib.
    idat = b"".join(data for ctype, data in chunks_of(tmp_path / "photo.png") if ctype == b"IDAT")
    raw = scanlines(width, height, pixels, 3, written._png_filters)
    with open("/proc/self/maps") as maps:
        assert (idat != zlib.compress(raw)) == ("libdeflate" in maps.read())
    # What save() writes (every row filter 0) is larger.
    plain = tmp_path / "plain.png"
    SimpleImage(width, height, pixels).save(str(plain))
    assert set(SimpleImage.open(str(plain))._png_filters) == {0}
    assert (tmp_path / "photo.png").stat().st_size < plain.stat().st_size


def test_convert_keeps_a_kept_filter_list_unless_refilter(files, tmp_path):
    png, _ = files
    source = SimpleImage.open(str(png))
    kept = quorvex("convert", png, tmp_path / "kept.png")
    fresh = quorvex("convert", png, tmp_path / "fresh.png", "--refilter")
    assert kept.returncode == 0 and fresh.returncode == 0, kept.stderr + fresh.stderr
    chosen = choose_filters(6, 5, source._pixels, source._alpha)
    assert chosen != bytearray([0, 1, 2, 3, 4])  # else the two cases below could not differ
    for name, filters in (("kept.png", bytearray([0, 1, 2, 3, 4])), ("fresh.png", chosen)):
        again = SimpleImage.open(str(tmp_path / name))
        assert again._png_filters == filters
        assert [(t, d) for t, d, _ in again._png_chunks if t in (b"tEXt", b"zzPr")] == KEPT
        assert decoded(tmp_path / name) == ("RGBA", rgba_bytes(source._pixels, source._alpha))


# `quorvex convert` run in a child that may first lower its file-size limit or give up root.
CONVERT_AS = """
import os, resource, signal, sys
from Quorvex.cli import build_parser, main
build_parser().parse_args(["convert", "a", "b"])  # what argparse imports late, while the files are ours to read
limit, user = int(sys.argv[1]), int(sys.argv[2])
if limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
if user:
    os.setgroups([])
    os.setgid(user)
    os.setuid(user)
sys.exit(main(["convert", *sys.argv[3:]]))
"""
OLD = b"old" * 23

# A converted file is written as save() writes it: (case, name written to, the file there
# before (None: no file), file-size limit, run as an ordinary user, error after "<name>: ").
CONVERT_WRITES = [
    ("a regular file is replaced, keeping its mode", "plain.png", {"mode": 0o640}, 0, False, None),
    ("a new file", "fresh.png", None, 0, False, None),
    ("a hard-linked file keeps its inode", "linked.png", {"hard link": "other.png"}, 0, False, None),
    ("a symbolic link stays a link", "link.png", {"link to": "target.png"}, 0, False, None),
    ("the owner is kept", "owned.png", {"owner": (1234, 2345)}, 0, False, None),
    ("a failed write to a long name keeps the old file", "n" * 246 + ".png", {}, 100_000, False,
     "File too large"),
    ("a read-only file is refused", "read-only.png", {"mode": 0o444}, 0, True, "Permission denied"),
]


@pytest.mark.parametrize("case, name, before, limit, ordinary_user, error", CONVERT_WRITES,
                         ids=[c[0] for c in CONVERT_WRITES])
def test_convert_writes_files_as_save_does(case, name, before, limit, ordinary_user, error):
    if (ordinary_user or "owner" in (before or {})) and os.getuid() != 0:
        pytest.skip("needs root")
    folder = pathlib.Path(tempfile.mkdtemp(prefix="quorvex-convert-"))  # where an ordinary user gets in
    try:
        folder.chmod(0o777)
        pixels = random.Random(7).randbytes(300 * 200 * 3)  # a PNG larger than the file-size limit
        SimpleImage(300, 200, pixels).save(str(folder / "source.png"))
        written = folder / (before or {}).get("link to", name)
        if before is not None:
            written.write_bytes(OLD)
            written.chmod(before.get("mode", 0o644))
            os.chown(written, *before.get("owner", (os.getuid(), os.getgid())))
            if "hard link" in before:
                os.link(written, folder / before["hard link"])
            if "link to" in before:
                (folder / name).symlink_to(before["link to"])
            old = os.stat(written)

        out = subprocess.run([sys.executable, "-P", "-c", CONVERT_AS, str(limit), str(65534 * ordinary_user),
                              "source.png", name], capture_output=True, text=True, timeout=120, cwd=folder)
        if error is not None:
            assert (out.returncode, out.stderr) == (1, f"quorvex: error: {name}: {error}\n")
            assert written.read_bytes() == OLD
        else:
            assert (out.returncode, out.stderr) == (0, "")
            assert SimpleImage._streamToImage(io.BytesIO(written.read_bytes()))[2] == pixels
        if before is not None:
            now = os.stat(written)
            assert (stat.S_IMODE(now.st_mode), now.st_uid, now.st_gid) == (
                stat.S_IMODE(old.st_mode), old.st_uid, old.st_gid)
            assert (now.st_ino == old.st_ino) == ("hard link" in before or error is not None)
            if "hard link" in before:
                assert (folder / before["hard link"]).read_bytes() == written.read_bytes()
            if "link to" in before:
                assert os.readlink(folder / name) == before["link to"]
        assert not [p for p in os.listdir(folder) if p.endswith(".tmp")]
    finally:
        shutil.rmtree(folder)

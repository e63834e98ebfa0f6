"""Saving under attack: failing disks, odd targets, threads, fork, signals, re-entrant
callbacks and allocation failures. Every writer must leave either the old file or the whole
new one, never hang the process or another thread, and report the host's own errors.

Cases that could crash or hang run in a child interpreter with a timeout (tests/isolated.py).
"""

import contextlib
import errno
import io
import os
import stat
import struct
import sys
import tempfile
import zlib

import pytest

from conftest import SANITIZED
from imagefiles import IEND, PNG_SIG, ihdr_data, make_png, pattern, png_chunk, scanlines
from isolated import run_isolated
from Quorvex import _convert, simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage

W, H = 8, 6
PIXELS = bytearray(pattern(W, H))
FILTERS = bytearray(y % 5 for y in range(H))
SOURCE = make_png(W, H, bytes(PIXELS), filters=list(FILTERS), idat_lengths=[20, 20],
                  before=[(b"tEXt", b"k\x00v")])
OLD = b"old contents, not an image\n" * 3


def quiet_open(source):
    with contextlib.redirect_stdout(io.StringIO()):
        return SimpleImage.open(source)


IMAGE = quiet_open(SOURCE)
CHUNKS = IMAGE._png_chunks

# The five writers, and the converter's, each writing the same image to a path.
WRITERS = {
    "_writePng": lambda p: ext._writePng(p, W, H, PIXELS, None, FILTERS),
    "_writePngWithChunks": lambda p: ext._writePngWithChunks(p, W, H, PIXELS, None, CHUNKS, FILTERS),
    "_writeBmp": lambda p: ext._writeBmp(p, W, H, PIXELS),
    "save": lambda p: IMAGE.save(p),
    "saveBmp": lambda p: IMAGE.saveBmp(p),
    "convert": lambda p: _convert.write_png(p, W, H, PIXELS, None, CHUNKS, FILTERS),
}
MODULE_WRITERS = ["_writePng", "_writePngWithChunks", "_writeBmp", "convert"]  # any path open() takes


def expected_output(name, tmp_path):
    path = str(tmp_path / f"reference-{name}")
    WRITERS[name](path)
    with open(path, "rb") as f:
        data = f.read()
    os.unlink(path)
    return data


def leftovers(folder, *keep):
    """Names in `folder` other than `keep`: a temporary file left behind shows here."""
    return sorted(set(os.listdir(folder)) - set(keep))


# The same image and writers, for child interpreters.
CHILD_SETUP = f"""
import contextlib, io, os, sys, threading
from Quorvex import _convert, simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage
W, H = {W}, {H}
PIXELS = bytearray({bytes(PIXELS)!r})
FILTERS = bytearray({bytes(FILTERS)!r})
with contextlib.redirect_stdout(io.StringIO()):
    IMAGE = SimpleImage.open({SOURCE!r})
CHUNKS = IMAGE._png_chunks
WRITERS = {{
    "_writePng": lambda p: ext._writePng(p, W, H, PIXELS, None, FILTERS),
    "_writePngWithChunks": lambda p: ext._writePngWithChunks(p, W, H, PIXELS, None, CHUNKS, FILTERS),
    "_writeBmp": lambda p: ext._writeBmp(p, W, H, PIXELS),
    "save": lambda p: IMAGE.save(p),
    "saveBmp": lambda p: IMAGE.saveBmp(p),
    "convert": lambda p: _convert.write_png(p, W, H, PIXELS, None, CHUNKS, FILTERS),
}}
"""


def isolated(source, *args, timeout=30):
    outcome = run_isolated(CHILD_SETUP + "\n" + source, *args, timeout=timeout)
    assert not outcome.crashed and outcome.returncode == 0, outcome.describe()
    return outcome.value


# ---- Replacing a regular file ------------------------------------------------------------

@pytest.mark.parametrize("name", WRITERS)
def test_existing_file_is_replaced_whole_keeping_its_mode_and_owner(name, tmp_path):
    target = tmp_path / "image"
    target.write_bytes(OLD)
    os.chmod(target, 0o640)
    owner = (1234, 2345) if os.getuid() == 0 else (os.getuid(), os.getgid())
    os.chown(target, *owner)
    old_inode = os.stat(target).st_ino
    WRITERS[name](str(target))
    assert target.read_bytes() == expected_output(name, tmp_path)
    after = os.stat(target)
    assert (stat.S_IMODE(after.st_mode), after.st_uid, after.st_gid) == (0o640, *owner)
    assert after.st_ino != old_inode  # a new file took its place
    assert leftovers(tmp_path, "image") == []


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
@pytest.mark.parametrize("name", WRITERS)
def test_new_file_gets_the_mode_open_would_give(name, umask, tmp_path):
    old = os.umask(umask)
    try:
        WRITERS[name](str(tmp_path / "new"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new").st_mode) == 0o666 & ~umask
    assert leftovers(tmp_path, "new") == []


# (links to make: name -> what it points to), the path saved to, the file that gets the image
LINK_CASES = [
    ("relative link", {"link": "real"}, "link", "real"),
    ("absolute link", {"link": "{dir}/real"}, "link", "real"),
    ("chain of links", {"a": "b", "b": "sub/real"}, "a", "sub/real"),
    ("link into a folder", {"sub/link": "../real"}, "sub/link", "real"),
    ("dangling link", {"link": "missing"}, "link", "missing"),
]


@pytest.mark.parametrize("name", WRITERS)
@pytest.mark.parametrize("case, links, saved, written", LINK_CASES, ids=[c[0] for c in LINK_CASES])
def test_symbolic_link_stays_a_link_and_its_target_is_replaced(name, case, links, saved, written, tmp_path):
    (tmp_path / "sub").mkdir()
    for real in ("real", "sub/real"):
        (tmp_path / real).write_bytes(OLD)
        os.chmod(tmp_path / real, 0o604)
    for link, points_to in links.items():
        os.symlink(points_to.format(dir=tmp_path), tmp_path / link)
    WRITERS[name](str(tmp_path / saved))
    for link, points_to in links.items():
        assert os.readlink(tmp_path / link) == points_to.format(dir=tmp_path)
    assert (tmp_path / written).read_bytes() == expected_output(name, tmp_path)
    if written != "missing":
        assert stat.S_IMODE(os.stat(tmp_path / written).st_mode) == 0o604
    for real in {"real", "sub/real"} - {written}:
        assert (tmp_path / real).read_bytes() == OLD
    assert leftovers(tmp_path / "sub", "real", "link") == []
    assert leftovers(tmp_path, "sub", "real", "missing", *links) == []


@pytest.mark.parametrize("name", WRITERS)
def test_hard_linked_file_is_written_in_place(name, tmp_path):
    target = tmp_path / "image"
    target.write_bytes(OLD * 1000)  # longer than the image: it must be truncated
    os.link(target, tmp_path / "other-name")
    inode = os.stat(target).st_ino
    WRITERS[name](str(target))
    assert os.stat(target).st_ino == inode
    assert (tmp_path / "other-name").read_bytes() == expected_output(name, tmp_path)


# character devices are written in place: (device, errno of the failure or None)
DEVICES = [("/dev/null", None), ("/dev/full", errno.ENOSPC)]


@pytest.mark.parametrize("name", WRITERS)
@pytest.mark.parametrize("device, error", DEVICES)
def test_devices_are_written_in_place(name, device, error):
    if not os.path.exists(device):
        pytest.skip(f"no {device}")
    if error is None:
        WRITERS[name](device)
    else:
        with pytest.raises(OSError) as caught:
            WRITERS[name](device)
        assert caught.value.errno == error
    assert stat.S_ISCHR(os.stat(device).st_mode)


# ---- Errors as open(path, "wb") raises them ----------------------------------------------

class PathLike:
    def __init__(self, path):
        self.path = path
        self.calls = 0

    def __fspath__(self):
        self.calls += 1
        return self.path


@pytest.mark.parametrize("name", MODULE_WRITERS)
@pytest.mark.parametrize("form", ["bytes", "path-like", "path-like to bytes"])
def test_other_path_forms_are_accepted(name, form, tmp_path):
    target = tmp_path / "image"
    target.write_bytes(OLD)
    path = {"bytes": os.fsencode(target), "path-like": PathLike(str(target)),
            "path-like to bytes": PathLike(os.fsencode(target))}[form]
    WRITERS[name](path)
    assert target.read_bytes() == expected_output(name, tmp_path)
    if isinstance(path, PathLike):
        assert path.calls == 1
    assert leftovers(tmp_path, "image") == []


# What open(path, "wb") refuses, and so must every writer, with the same error: (case,
# path made from the test's folder, writers that take such a path).
BAD_PATHS = [
    ("missing folder", lambda d: f"{d}/no/such/folder/file", WRITERS),
    ("a folder", lambda d: str(d), WRITERS),
    ("trailing slash", lambda d: f"{d}/new/", WRITERS),
    ("file as folder", lambda d: f"{d}/plain/file", WRITERS),
    ("empty path", lambda d: "", WRITERS),
    ("embedded null", lambda d: f"{d}/a\0b", WRITERS),
    ("path-like to a missing folder", lambda d: PathLike(f"{d}/no/such/file"), MODULE_WRITERS),
    ("bytes to a missing folder", lambda d: os.fsencode(f"{d}/no/such/file"), MODULE_WRITERS),
    ("path-like to a folder", lambda d: PathLike(str(d)), MODULE_WRITERS),
    ("path-like returning a number", lambda d: PathLike(3), MODULE_WRITERS),
    ("float", lambda d: 1.5, MODULE_WRITERS),
    ("None", lambda d: None, MODULE_WRITERS),
    ("negative descriptor", lambda d: -1, MODULE_WRITERS),
    ("closed descriptor", lambda d: 999_999, MODULE_WRITERS),
]
BAD_PATH_CASES = [(name, case, make) for case, make, writers in BAD_PATHS for name in writers]


@pytest.mark.parametrize("name, case, make", BAD_PATH_CASES, ids=[f"{n}-{c}" for n, c, _ in BAD_PATH_CASES])
def test_bad_paths_raise_what_open_raises(name, case, make, tmp_path):
    (tmp_path / "plain").write_bytes(OLD)
    try:
        open(make(tmp_path), "wb").close()
        raise AssertionError("open() took it")
    except (OSError, TypeError, ValueError) as exc:
        expected = exc
    with pytest.raises(type(expected)) as caught:
        WRITERS[name](make(tmp_path))
    got = caught.value
    assert (str(got), getattr(got, "errno", None), getattr(got, "filename", None)) == \
        (str(expected), getattr(expected, "errno", None), getattr(expected, "filename", None))
    assert leftovers(tmp_path, "plain") == []
    assert (tmp_path / "plain").read_bytes() == OLD


@pytest.mark.parametrize("name", MODULE_WRITERS)
def test_file_descriptor_is_written_in_place_and_closed(name, tmp_path):
    target = tmp_path / "image"
    target.write_bytes(OLD * 100)
    fd = os.open(target, os.O_WRONLY | os.O_TRUNC)
    inode = os.fstat(fd).st_ino
    WRITERS[name](fd)
    with pytest.raises(OSError):  # closed, as open(fd, "wb") closes it
        os.fstat(fd)
    assert os.stat(target).st_ino == inode
    assert target.read_bytes() == expected_output(name, tmp_path)


AUDITED = """
folder = sys.argv[2]
seen = []
def hook(event, args):
    if event == "open" and str(args[0]).startswith(folder):
        seen.append(os.path.basename(args[0]))
        if "veto" in args[0]:
            raise PermissionError("vetoed")
sys.addaudithook(hook)
refused = []
for name, write in WRITERS.items():
    write(os.path.join(folder, name))
    try:
        write(os.path.join(folder, "veto-" + name))
    except PermissionError:
        refused.append(name)
report({"seen": seen, "refused": refused})
"""


def test_audit_hooks_see_each_save_as_one_open(tmp_path):
    result = isolated(AUDITED, tmp_path)
    assert result == {"seen": [n for name in WRITERS for n in (name, "veto-" + name)], "refused": list(WRITERS)}
    assert leftovers(tmp_path, *WRITERS) == []


# ---- Failing writes keep the old file ----------------------------------------------------

FILE_SIZE_LIMIT = """
import resource, signal, struct
folder, limit = sys.argv[2], int(sys.argv[3])
big = SimpleImage(300, 200, bytearray(os.urandom(300 * 200 * 3)))  # larger than the limit
records = [(b"IHDR", struct.pack(">IIBBBBB", 300, 200, 8, 2, 0, 0, 0), 13), (b"IDAT", None, 10)]
writers = {
    "_writePng": lambda p: ext._writePng(p, 300, 200, big._pixels),
    "_writePngWithChunks": lambda p: ext._writePngWithChunks(p, 300, 200, big._pixels, None, records),
    "_writeBmp": lambda p: ext._writeBmp(p, 300, 200, big._pixels),
    "save": lambda p: big.save(p),
    "saveBmp": lambda p: big.saveBmp(p),
    "convert": lambda p: _convert.write_png(p, 300, 200, big._pixels, None, records, None),
}
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
results = {}
for name, write in writers.items():
    try:
        write(os.path.join(folder, name + sys.argv[4]))
        results[name] = "saved"
    except OSError as exc:
        results[name] = [type(exc).__name__, exc.errno]
report(results)
"""


# (file-size limit, what follows each writer's name in the file's name)
SIZE_LIMITS = [(100, ""), (5000, ""), (60000, ""), (60000, "." + "n" * 230)]  # up to 250 bytes a name


@pytest.mark.parametrize("limit, suffix", SIZE_LIMITS, ids=["100", "5000", "60000", "long name"])
def test_file_size_limit_keeps_the_old_file(limit, suffix, tmp_path):
    names = [name + suffix for name in WRITERS]
    for name in names:
        (tmp_path / name).write_bytes(OLD)
    results = isolated(FILE_SIZE_LIMIT, tmp_path, limit, suffix)
    assert results == {name: ["OSError", errno.EFBIG] for name in WRITERS}
    for name in names:
        assert (tmp_path / name).read_bytes() == OLD
    assert leftovers(tmp_path, *names) == []


ALLOCATION_FAILURES = """
import gc, warnings
import _testcapi
folder, name, mode = sys.argv[2], sys.argv[3], sys.argv[4]
target = os.path.join(folder, "target")
old = b"old" * 10
WRITERS[name](os.path.join(folder, "expected"))
with open(os.path.join(folder, "expected"), "rb") as f:
    expected = f.read()
os.unlink(os.path.join(folder, "expected"))
problems, failures, successes = [], 0, 0
for n in range(1, 2000):
    with open(target, "wb") as f:
        f.write(old)
    if mode == "in place" and not os.path.exists(os.path.join(folder, "link")):
        os.link(target, os.path.join(folder, "link"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _testcapi.set_nomemory(n, n + 1)
        try:
            WRITERS[name](target)
            failed = False
        except Exception:
            failed = True
        finally:
            _testcapi.remove_mem_hooks()
        gc.collect()
    unclosed = [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)]
    with open(target, "rb") as f:
        now = f.read()
    extra = sorted(set(os.listdir(folder)) - {"target", "link"})
    torn = mode == "replacing" and now not in (old, expected)  # in place has no such promise
    if unclosed or extra or torn:
        problems.append([n, unclosed, extra, now == old])
    failures += failed
    successes = 0 if failed else successes + 1
    if successes == 30:  # past the last allocation a save makes
        break
report({"problems": problems[:5], "failures": failures, "finished": successes == 30})
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator ignores the injected failures")
@pytest.mark.parametrize("mode", ["replacing", "in place"])
@pytest.mark.parametrize("name", WRITERS)
def test_each_allocation_failure_closes_the_file_and_keeps_the_target_whole(name, mode, tmp_path):
    pytest.importorskip("_testcapi")
    result = isolated(ALLOCATION_FAILURES, tmp_path, name, mode, timeout=60)
    assert result["finished"] and result["failures"] >= 2, result
    assert result["problems"] == [], result


# ---- Odd targets and blocking ------------------------------------------------------------

FIFO_DOES_NOT_BLOCK_OTHERS = """
folder, stage = sys.argv[2], sys.argv[3]
fifo = os.path.join(folder, "fifo")
os.mkfifo(fifo)
big = bytearray(os.urandom(200 * 200 * 3))  # more than a pipe holds
reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK) if stage == "write" else None
blocked = threading.Thread(target=ext._writeBmp, args=(fifo, 200, 200, big), daemon=True)
blocked.start()
blocked.join(0.3)
assert blocked.is_alive()
for i, (name, write) in enumerate(WRITERS.items()):  # all finish while it waits
    write(os.path.join(folder, name))
if reader is None:
    reader = os.open(fifo, os.O_RDONLY)
else:
    os.set_blocking(reader, True)
data = bytearray()
while chunk := os.read(reader, 1 << 16):
    data += chunk
blocked.join(10)
report({"alive": blocked.is_alive(), "size": len(data), "head": data[:2].decode()})
"""


@pytest.mark.parametrize("stage", ["open", "write"])
def test_save_blocked_on_a_fifo_does_not_stop_other_saves(stage, tmp_path):
    result = isolated(FIFO_DOES_NOT_BLOCK_OTHERS, tmp_path, stage)
    assert result == {"alive": False, "size": 54 + 200 * 200 * 3, "head": "BM"}
    for name in WRITERS:
        assert (tmp_path / name).read_bytes() == expected_output(name, tmp_path)


WORKING_DIRECTORY_CHANGING = """
folder = sys.argv[2]
a, b = os.path.join(folder, "a"), os.path.join(folder, "b")
os.mkdir(a)
os.mkdir(b)
stop = threading.Event()
def wander():
    while not stop.is_set():
        os.chdir(a)
        os.chdir(b)
os.chdir(a)
sys.setswitchinterval(1e-6)
thread = threading.Thread(target=wander)
thread.start()
names = list(WRITERS)
try:
    for i in range(300):
        WRITERS[names[i % len(names)]](names[i % len(names)])  # a name relative to the working directory
finally:
    stop.set()
    thread.join()
report("saved")
"""


def test_working_directory_changing_while_saving_to_a_relative_name(tmp_path):
    """Each save resolves the folder once: it lands whole in one folder and leaves nothing behind."""
    assert isolated(WORKING_DIRECTORY_CHANGING, tmp_path) == "saved"
    landed = set()
    for folder in (tmp_path / "a", tmp_path / "b"):
        assert leftovers(folder, *WRITERS) == []
        for name in os.listdir(folder):
            assert (folder / name).read_bytes() == expected_output(name, tmp_path)
            landed.add(name)
    assert landed == set(WRITERS)


CTRL_C_ON_FIFO = """
import signal, time
folder, stage = sys.argv[2], sys.argv[3]
fifo = os.path.join(folder, "fifo")
os.mkfifo(fifo)
reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK) if stage == "write" else None
main = threading.get_ident()
def interrupt():
    time.sleep(0.3)
    signal.pthread_kill(main, signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
try:
    ext._writeBmp(fifo, 200, 200, bytearray(200 * 200 * 3))
    report("saved")
except KeyboardInterrupt:
    report("interrupted")
"""


@pytest.mark.parametrize("stage", ["open", "write"])
def test_ctrl_c_breaks_a_save_blocked_on_a_fifo(stage, tmp_path):
    assert isolated(CTRL_C_ON_FIFO, tmp_path, stage) == "interrupted"


DAEMONS_AT_EXIT = """
import time
folder, pause = sys.argv[2], float(sys.argv[3])
fifo = os.path.join(folder, "fifo")
os.mkfifo(fifo)
big = bytearray(os.urandom(1000 * 1000 * 3))
def loop(i):
    while True:
        ext._writePng(os.path.join(folder, f"busy{i}"), 1000, 1000, big)
for _ in range(2):  # blocked opening a FIFO nobody reads
    threading.Thread(target=ext._writePng, args=(fifo, 1000, 1000, big), daemon=True).start()
for i in range(2):  # compressing and writing, mostly without the GIL
    threading.Thread(target=loop, args=(i,), daemon=True).start()
# Much to tear down: the interpreter finalises for longer, while the savers come back.
garbage = [[i] for i in range(300_000)]
for a, b in zip(garbage, garbage[1:]):
    a.append(b)
time.sleep(pause)
report("exiting")
"""


@pytest.mark.parametrize("pause", [0.05, 0.15, 0.3, 0.45, 0.6])
def test_daemon_threads_inside_saves_at_exit(pause, tmp_path):
    assert isolated(DAEMONS_AT_EXIT, tmp_path, pause) == "exiting"


FORK_WHILE_SAVING = """
import time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
folder = sys.argv[2]
stop = threading.Event()
def loop(i):
    names = list(WRITERS)
    while not stop.is_set():
        WRITERS[names[i % len(names)]](os.path.join(folder, f"parent{i}"))
threads = [threading.Thread(target=loop, args=(i,)) for i in range(3)]
for t in threads:
    t.start()
hung = 0
for n in range(20):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        try:
            for name, write in WRITERS.items():
                write(os.path.join(folder, f"child{n}-{name}"))
            os._exit(0)
        except BaseException:
            os._exit(3)
    deadline = time.monotonic() + 5
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            hung += os.waitstatus_to_exitcode(status) != 0
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            hung += 1
            break
        time.sleep(0.005)
stop.set()
for t in threads:
    t.join()
report(hung)
"""


def test_fork_while_other_threads_save(tmp_path):
    assert isolated(FORK_WHILE_SAVING, tmp_path, timeout=120) == 0
    for n in range(20):
        for name in WRITERS:
            assert (tmp_path / f"child{n}-{name}").read_bytes() == expected_output(name, tmp_path)


# ---- Re-entry from the caller's own code -------------------------------------------------

REENTRY = """
folder, case = sys.argv[2], sys.argv[3]
target = os.path.join(folder, "target")
def save_in_thread():  # a save on another thread, waited for
    t = threading.Thread(target=ext._writePng, args=(target, W, H, PIXELS))
    t.start()
    t.join(10)
    assert not t.is_alive(), "the nested save never finished"
class Path:
    def __fspath__(self):
        save_in_thread()
        return target
class Width:
    def __index__(self):
        save_in_thread()
        return W
class Pixels(list):
    def __len__(self):
        save_in_thread()
        return super().__len__()
class Exporter:  # a buffer that saves when exported
    def __init__(self, data):
        self.data = data
    def __len__(self):
        return len(self.data)
    def __buffer__(self, flags):
        save_in_thread()
        return memoryview(self.data)
calls = {
    "fspath png": lambda: ext._writePng(Path(), W, H, PIXELS),
    "fspath chunks": lambda: ext._writePngWithChunks(Path(), W, H, PIXELS, None, CHUNKS),
    "fspath bmp": lambda: ext._writeBmp(Path(), W, H, PIXELS),
    "index png": lambda: ext._writePng(target, Width(), H, PIXELS),
    "index bmp": lambda: ext._writeBmp(target, Width(), H, PIXELS),
    "len png": lambda: ext._writePng(target, W, H, Pixels(PIXELS)),
    "buffer pixels": lambda: ext._writePng(target, W, H, Exporter(bytes(PIXELS))),
    "buffer filters": lambda: ext._writePng(target, W, H, PIXELS, None, Exporter(bytearray(FILTERS))),
    "buffer chunk data": lambda: ext._writePngWithChunks(
        target, W, H, PIXELS, None, [c if c[0] != b"tEXt" else (b"tEXt", Exporter(b"k\\x00v"), 3) for c in CHUNKS]),
}
try:
    calls[case]()
    report("saved")
except TypeError as exc:  # objects the writer does not take may be refused, never hang
    report("refused: " + str(exc))
"""
REENTRY_CASES = ["fspath png", "fspath chunks", "fspath bmp", "index png", "index bmp", "len png",
                 "buffer pixels", "buffer filters", "buffer chunk data"]


@pytest.mark.parametrize("case", REENTRY_CASES)
def test_reentrant_save_from_the_arguments_own_code(case, tmp_path):
    if case.startswith("buffer") and sys.version_info < (3, 12):
        pytest.skip("__buffer__ needs Python 3.12")
    assert isolated(REENTRY, tmp_path, case) == "saved"
    assert quiet_open(str(tmp_path / "target")).size == (W, H)
    assert leftovers(tmp_path, "target") == []


PIXELS_CHANGING = """
folder = sys.argv[2]
image = SimpleImage(W, H, bytearray(PIXELS))
stop = threading.Event()
def meddle():
    while not stop.is_set():
        image._pixels = bytearray(PIXELS)
        try:
            image._pixels.extend(b"123")  # refused while exported
            del image._pixels[-3:]
        except BufferError:
            pass
        image._pixels = bytearray(len(PIXELS) - 3)
        image._pixels = bytearray(PIXELS)
sys.setswitchinterval(1e-6)
threads = [threading.Thread(target=meddle) for _ in range(2)]
for t in threads:
    t.start()
outcomes = set()
for i in range(300):
    for method in ("save", "saveBmp"):
        try:
            getattr(image, method)(os.path.join(folder, method))
            outcomes.add("saved")
        except (ValueError, IndexError, BufferError) as exc:
            outcomes.add(type(exc).__name__)
stop.set()
for t in threads:
    t.join()
image._pixels = bytearray(PIXELS)  # settled again: saves as before
image.save(os.path.join(folder, "after"))
report(sorted(outcomes))
"""


def test_threads_replacing_and_resizing_pixels_while_saving(tmp_path):
    outcomes = isolated(PIXELS_CHANGING, tmp_path, timeout=60)
    assert set(outcomes) <= {"saved", "ValueError", "IndexError", "BufferError"}
    for method in ("save", "saveBmp"):
        if (tmp_path / method).exists():  # whatever was saved is a whole image
            assert quiet_open(str(tmp_path / method)).size == (W, H)
    assert quiet_open(str(tmp_path / "after"))._pixels == PIXELS
    assert leftovers(tmp_path, "save", "saveBmp", "after") == []


# ---- Permissions, as a user without root's rights ----------------------------------------

UNPRIVILEGED = """
folder, case = sys.argv[2], sys.argv[3]
target = os.path.join(folder, "target")
inode = os.stat(target).st_ino
if os.getuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
try:
    WRITERS[sys.argv[4]](target)
except OSError as exc:
    report({"error": [type(exc).__name__, exc.errno, exc.filename]})
else:
    report({"same inode": os.stat(target).st_ino == inode})
"""

# (folder mode, file mode, outcome)
PERMISSION_CASES = [
    ("read-only folder, writable file", 0o555, 0o666, {"same inode": True}),
    ("sticky folder, file of another user", 0o1777, 0o666, {"same inode": True}),
    ("writable folder, read-only file", 0o777, 0o444, "PermissionError"),
]


@pytest.mark.parametrize("name", WRITERS)
@pytest.mark.parametrize("case, folder_mode, file_mode, outcome", PERMISSION_CASES,
                         ids=[c[0] for c in PERMISSION_CASES])
def test_without_root_rights(name, case, folder_mode, file_mode, outcome, tmp_path):
    """Root passes every permission check, so the child gives up root first (uid 65534);
    the folder and file belong to root."""
    if os.getuid() != 0:
        pytest.skip("needs root, to make files of another user")
    folder = tempfile.mkdtemp(prefix="hostile-save-")
    try:
        target = os.path.join(folder, "target")
        with open(target, "wb") as f:
            f.write(OLD)
        os.chmod(target, file_mode)
        os.chmod(folder, folder_mode)
        if outcome == "PermissionError":
            outcome = {"error": ["PermissionError", errno.EACCES, target]}
        result = isolated(UNPRIVILEGED, folder, case, name)
        assert result == outcome
        with open(target, "rb") as f:
            data = f.read()
        assert data == (OLD if "error" in outcome else expected_output(name, tmp_path))
        assert sorted(os.listdir(folder)) == ["target"]
    finally:
        os.chmod(folder, 0o700)
        for entry in os.listdir(folder):
            os.unlink(os.path.join(folder, entry))
        os.rmdir(folder)


# ---- Kept data exported once; the IHDR that is honoured ----------------------------------

class ChangingBuffer:
    """A bytes-like object whose every export shows different bytes."""

    def __init__(self, *versions):
        self.versions = versions
        self.exports = 0

    def __buffer__(self, flags):
        data = self.versions[self.exports % len(self.versions)]
        self.exports += 1
        return memoryview(data)


def read_chunks(data):
    chunks, pos = [], 8
    while pos < len(data):
        length = struct.unpack(">I", data[pos:pos + 4])[0]
        ctype, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        assert crc == zlib.crc32(ctype + body), f"bad CRC in {ctype}"
        chunks.append((ctype, body))
        pos += 12 + length
    assert pos == len(data)
    return chunks


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ needs Python 3.12")
@pytest.mark.parametrize("size", [10, 70000, 2_000_000])
def test_chunk_data_written_is_the_data_measured(size, tmp_path):
    first, later = b"a" * size, b"b" * 100
    data = ChangingBuffer(first, later)
    chunks = [c if c[0] != b"tEXt" else (b"zzZz", data, 0) for c in CHUNKS]
    ext._writePngWithChunks(str(tmp_path / "out"), W, H, PIXELS, None, chunks)
    kept = dict(read_chunks((tmp_path / "out").read_bytes()))
    assert kept[b"zzZz"] == first
    assert data.exports == 1


def two_headers(first, last):
    body = scanlines(W, H, bytes(PIXELS), 3)
    out = [PNG_SIG, png_chunk(b"IHDR", first), png_chunk(b"tEXt", b"a\x00b"), png_chunk(b"IHDR", last),
           png_chunk(b"IDAT", zlib.compress(body)), IEND]
    return b"".join(out)


REAL = ihdr_data(W, H)
OTHER = ihdr_data(W + 5, H * 2, color_type=6)


def test_image_with_two_headers_saves_unchanged(tmp_path):
    source = two_headers(OTHER, REAL)
    image = quiet_open(source)
    assert image.size == (W, H)
    image.save(str(tmp_path / "out"))
    saved = (tmp_path / "out").read_bytes()
    assert [c for c in read_chunks(saved) if c[0] != b"IDAT"] == \
        [c for c in read_chunks(source) if c[0] != b"IDAT"]
    assert quiet_open(saved)._pixels == PIXELS


# kept records -> whether the header check lets them through
HEADER_CASES = [
    ("only the honoured one matches", [OTHER, REAL], None),
    ("the honoured one differs", [REAL, OTHER], ValueError),
    ("a header after the end is not read", [REAL, None, OTHER], None),
    ("the last before the end differs", [REAL, OTHER, None, REAL], ValueError),
]


@pytest.mark.parametrize("case, headers, error", HEADER_CASES, ids=[c[0] for c in HEADER_CASES])
def test_only_the_honoured_header_is_compared(case, headers, error, tmp_path):
    records = []
    for header in headers:
        records.append((b"IEND", b"", 0) if header is None else (b"IHDR", header, 13))
    records.insert(1, (b"IDAT", None, 10))
    target = tmp_path / "out"
    if error is None:
        ext._writePngWithChunks(str(target), W, H, PIXELS, None, records)
        assert target.exists()
    else:
        with pytest.raises(error, match="IHDR chunk does not match"):
            ext._writePngWithChunks(str(target), W, H, PIXELS, None, records)
        assert not target.exists()


# ---- Absurd shapes cost what their bytes cost --------------------------------------------

TALL_AND_WIDE = """
folder = sys.argv[2]
ext._writePng(os.path.join(folder, "tall"), 0, 2**31 - 1, b"")
ext._writePng(os.path.join(folder, "column"), 1, 2**24, bytearray(3 * 2**24), None, bytearray(2**24))
ext._writePng(os.path.join(folder, "wide"), 2**31 - 1, 0, b"")
report("saved")
"""


def image_data(path):
    return b"".join(body for ctype, body in read_chunks(path.read_bytes()) if ctype == b"IDAT")


def adler32_of_zeros(count):
    block, value = bytes(1 << 24), 1
    while count:
        n = min(count, len(block))
        value = zlib.adler32(block[:n] if n < len(block) else block, value)
        count -= n
    return value


def inflated_size_and_zeros(compressed):
    stream, size, zeros = zlib.decompressobj(), 0, 0
    while compressed:
        out = stream.decompress(compressed, 1 << 26)
        size += len(out)
        zeros += out.count(0)
        compressed = stream.unconsumed_tail
    assert stream.eof
    return size, zeros


def test_absurd_shapes_save_quickly(tmp_path):
    # The subprocess timeout is the ceiling: a deflate call per row took minutes.
    assert isolated(TALL_AND_WIDE, tmp_path, timeout=25) == "saved"
    # Inflating two gigabytes of zeros takes zlib longer than deflating them: the stream's
    # own checksum of its contents stands in for it (the exact bytes are checked on narrow
    # images below).
    tall = image_data(tmp_path / "tall")
    assert tall[:2] == b"\x78\x9c" and tall[-4:] == struct.pack(">I", adler32_of_zeros(2**31 - 1))
    assert inflated_size_and_zeros(image_data(tmp_path / "column")) == (4 * 2**24, 4 * 2**24)
    assert zlib.decompress(image_data(tmp_path / "wide")) == b""


# width, height, channels, filter types by row
NARROW_SHAPES = [
    ("no columns, every filter type", 0, 100_000, 3, lambda y: y % 5),
    ("no columns, no filters", 0, 70_000, 3, None),
    ("one column", 1, 50_000, 3, lambda y: (y * 7) % 5),
    ("one column with alpha", 1, 40_000, 4, lambda y: (y * 3) % 5),
    ("two columns", 2, 30_000, 3, lambda y: y % 5),
    ("three rows a block", 10_922, 7, 4, lambda y: y % 5),
]


@pytest.mark.parametrize("case, width, height, channels, types", NARROW_SHAPES, ids=[c[0] for c in NARROW_SHAPES])
def test_narrow_images_compress_exactly_like_zlib(case, width, height, channels, types, tmp_path):
    samples = bytes(pattern(width, height, channels, seed=height)) if width else b""
    filters = None if types is None else [types(y) for y in range(height)]
    rgb = bytearray(b"".join(samples[i:i + 3] for i in range(0, len(samples), channels)))
    alpha = bytearray(samples[3::4]) if channels == 4 else None
    ext._writePng(str(tmp_path / "out"), width, height, rgb, alpha, None if filters is None else bytearray(filters))
    assert image_data(tmp_path / "out") == zlib.compress(scanlines(width, height, samples, channels, filters))


def test_bad_filter_type_in_a_block_of_empty_rows_is_refused(tmp_path):
    filters = bytearray(100_000)
    filters[77_777] = 9
    with pytest.raises(ValueError, match="^Unsupported PNG filter: 9$"):
        ext._writePng(str(tmp_path / "out"), 0, 100_000, b"", None, filters)
    assert not (tmp_path / "out").exists()

"""Several threads opening, changing and saving images at once, on separate and on shared
images and paths: no crash, and every result equal to what one thread alone produces."""

import io
import os
import sys
import threading

import pytest

from imagefiles import bmp_file, make_png, pattern
from Quorvex import simpleImage_ext as ext
from Quorvex.simpleImage_ext import SimpleImage

THREADS = 8
ROUNDS = 25
W, H = 24, 16

SOURCES = {
    "rgb": make_png(W, H, pattern(W, H, 3), 3, filters=[y % 5 for y in range(H)], idat_lengths=[40, 40],
                    between=[(b"tEXt", b"a\x00b")]),
    "rgba": make_png(W, H, pattern(W, H, 4, seed=2), 4, filters=[(y + 1) % 5 for y in range(H)]),
    "bmp": bmp_file(W, H, pattern(W, H, 3, seed=3), xppm=1234, clr_used=5),
}


@pytest.fixture(autouse=True)
def busy_switching():
    """Switch threads as often as the interpreter allows, so that calls interleave."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.fixture
def folder(tmp_path):
    return str(tmp_path)


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    """One sink for the line every open prints, set before the threads start: on 3.11 `print`
    holds sys.stdout without a reference, so threads that each swapped it in and out would
    free one another's stream under a print."""
    monkeypatch.setattr(sys, "stdout", io.StringIO())


def edit(image, seed):
    """The same change for the same seed: a diagonal stroke and one filled row."""
    width, height = image.size
    for i in range(min(width, height)):
        image.putPixel((i, (i + seed) % height), (seed & 0xFF, i, 255 - i))
    for x in range(width):
        image.putPixel((x, seed % height), (x, seed, 7))


def open_edit_save(kind, seed, path):
    image = SimpleImage.open(SOURCES[kind])
    edit(image, seed)
    image.save(path)
    with open(path, "rb") as f:
        return f.read()


def run_threads(work, count=THREADS):
    """Runs work(i) on `count` threads started together; re-raises the first failure."""
    barrier = threading.Barrier(count)
    errors = []
    results = [None] * count

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


@pytest.mark.parametrize("kind", sorted(SOURCES))
def test_separate_images_and_paths_match_one_thread(kind, folder):
    expected = [open_edit_save(kind, seed, os.path.join(folder, f"alone{seed}")) for seed in range(THREADS)]

    def work(i):
        path = os.path.join(folder, f"t{i}")
        return [open_edit_save(kind, i, path) for _ in range(ROUNDS)]

    for i, outputs in enumerate(run_threads(work)):
        assert all(out == expected[i] for out in outputs)


def test_shared_image_read_and_saved_by_all(folder):
    image = SimpleImage.open(SOURCES["rgba"])
    pixels = [image.getPixel((x, y)) for y in range(H) for x in range(W)]
    image.save(os.path.join(folder, "png"))
    image.saveBmp(os.path.join(folder, "bmp"))
    expected = {}
    for name in ("png", "bmp"):
        with open(os.path.join(folder, name), "rb") as f:
            expected[name] = f.read()

    def work(i):
        for r in range(ROUNDS):
            assert [image.getPixel((x, y)) for y in range(H) for x in range(W)] == pixels
            twin = image.copy()
            path = os.path.join(folder, f"t{i}")
            (twin if r % 2 else image).save(path)
            with open(path, "rb") as f:
                assert f.read() == expected["png"]
            image.saveBmp(path)
            with open(path, "rb") as f:
                assert f.read() == expected["bmp"]

    run_threads(work)


def test_shared_image_edited_in_disjoint_rows(folder):
    """Each thread writes its own rows of one image while the others write and save theirs."""
    reference = SimpleImage.open(SOURCES["rgb"])
    for row in range(H):
        for x in range(W):
            reference.putPixel((x, row), (row, x, 99))
    reference.save(os.path.join(folder, "expected"))

    image = SimpleImage.open(SOURCES["rgb"])

    def work(i):
        for _ in range(ROUNDS):
            for row in range(i, H, THREADS):
                for x in range(W):
                    image.putPixel((x, row), (row, x, 99))
            path = os.path.join(folder, f"t{i}")
            image.save(path)  # a snapshot taken while others write: it must still decode
            assert SimpleImage.open(path).size == (W, H)

    run_threads(work)
    assert image._pixels == reference._pixels
    image.save(os.path.join(folder, "final"))
    with open(os.path.join(folder, "final"), "rb") as f, open(os.path.join(folder, "expected"), "rb") as g:
        assert f.read() == g.read()


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_shared_path_ends_as_one_valid_output(method, folder):
    """Threads write different images to one path; what is left is one of them, whole."""
    images = []
    for i in range(THREADS):
        image = SimpleImage.open(SOURCES["rgb"])
        edit(image, i)
        images.append(image)
    outputs = set()
    for i, image in enumerate(images):
        path = os.path.join(folder, f"alone{i}")
        getattr(image, method)(path)
        with open(path, "rb") as f:
            outputs.add(f.read())
    target = os.path.join(folder, "shared")

    def work(i):
        for _ in range(ROUNDS):
            getattr(images[i], method)(target)

    for _ in range(4):
        run_threads(work)
        with open(target, "rb") as f:
            assert f.read() in outputs


def test_decoding_runs_alongside_other_threads(folder):
    """Decoders drop the interpreter lock while they inflate: the others keep going and every
    decode still gives the one-thread result."""
    big = make_png(256, 256, pattern(256, 256, 3, seed=9), 3, filters=[y % 5 for y in range(256)])
    expected = ext.SimpleImage._streamToImage(io.BytesIO(big))

    def work(i):
        for _ in range(6):
            got = ext.SimpleImage._streamToImage(io.BytesIO(big))
            assert got[:4] == expected[:4] and got[7] == expected[7]

    run_threads(work)


def test_a_save_started_while_opening_the_target_does_not_deadlock(folder):
    """Opening a path object runs its own code, which may save another file first."""
    inner = os.path.join(folder, "inner")
    outer = os.path.join(folder, "outer")
    pixels = bytearray(pattern(2, 2))

    class SavingPath:
        def __fspath__(self):
            ext._writePng(inner, 2, 2, pixels)
            return outer

    worker = threading.Thread(target=ext._writeBmp, args=(SavingPath(), 2, 2, pixels))
    worker.start()
    worker.join(timeout=20)
    assert not worker.is_alive(), "the nested save never finished"
    assert SimpleImage.open(inner)._pixels == pixels
    assert SimpleImage.open(outer)._pixels == pixels

"""Round trips through our own codecs: what a PNG or BMP opened and saved again keeps."""

import os
import tempfile

import pytest
from hypothesis import given, settings, strategies as st
from PIL import Image

from Quorvex.simpleImage_ext import SimpleImage
from imagefiles import bmp_file, make_png, pattern

ANCILLARY = [(b"gAMA", b"\x00\x00\xb1\x8f"), (b"tEXt", b"Comment\x00kept"), (b"zzPr", b"\x01\x02\x03")]


def non_idat(img):
    return [(t, d) for t, d, _ in img._png_chunks if t != b"IDAT"]


def idat_lengths(img):
    return [n for t, _, n in img._png_chunks if t == b"IDAT"]


def resave(img, tmp_path, name="again.png"):
    path = tmp_path / name
    img.save(str(path))
    return path, SimpleImage.open(str(path))


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("layout", ["before", "between", "after"])
def test_png_keeps_chunks_filters_and_idat_split(tmp_path, channels, layout):
    w, h = 37, 23
    filters = [y % 5 for y in range(h)]
    kwargs = {layout: ANCILLARY}
    src = make_png(w, h, pattern(w, h, channels), channels, filters, idat_lengths=[100, 200, 1], **kwargs)
    before = SimpleImage.open(src)
    _, after = resave(before, tmp_path)
    assert after._pixels == before._pixels and after._alpha == before._alpha
    assert after._png_filters == bytes(filters)
    assert non_idat(after) == non_idat(before)
    # The new compressed data is cut along the kept lengths (the last piece takes the rest).
    assert len(idat_lengths(after)) == 3 and idat_lengths(after)[:2] == [100, 200]


def test_edited_pixels_survive_and_pillow_agrees(tmp_path):
    src = make_png(16, 9, pattern(16, 9, 4), 4, [4] * 9, before=ANCILLARY)
    img = SimpleImage.open(src)
    img.putPixel((3, 4), (255, 0, 0))
    path, again = resave(img, tmp_path)
    assert again.getPixel((3, 4)) == (255, 0, 0)
    ref = Image.open(path)
    assert ref.convert("RGB").tobytes() == bytes(again._pixels)
    assert ref.getchannel("A").tobytes() == bytes(again._alpha)


def test_saving_is_idempotent(tmp_path):
    src = make_png(20, 20, pattern(20, 20), 3, [1, 2, 3, 4, 0] * 4, idat_lengths=[50, 60], after=ANCILLARY)
    first, _ = resave(SimpleImage.open(src), tmp_path, "first.png")
    second, _ = resave(SimpleImage.open(str(first)), tmp_path, "second.png")
    assert first.read_bytes() == second.read_bytes()


def test_bmp_keeps_its_header_fields(tmp_path):
    src = bmp_file(5, 3, pattern(5, 3), top_down=True, xppm=3780, yppm=1234, clr_used=7, clr_important=2,
                   gap=b"\x00" * 16)
    before = SimpleImage.open(src)
    path = tmp_path / "again.png"  # save() follows the origin, not the extension
    before.save(str(path))
    assert path.read_bytes()[:2] == b"BM"
    after = SimpleImage.open(str(path))
    assert after._pixels == before._pixels
    assert after._bmp_header == {"xppm": 3780, "yppm": 1234, "clrUsed": 7, "clrImportant": 2}
    assert Image.open(path).convert("RGB").tobytes() == bytes(after._pixels)


def test_save_dispatch_follows_what_the_image_kept(tmp_path):
    png = SimpleImage.open(make_png(3, 2, pattern(3, 2, 4), 4, before=ANCILLARY))
    png.save(str(tmp_path / "from-png.bmp"))
    assert (tmp_path / "from-png.bmp").read_bytes()[:4] == b"\x89PNG"
    png.saveBmp(str(tmp_path / "as.bmp"))
    as_bmp = SimpleImage.open(str(tmp_path / "as.bmp"))
    assert as_bmp._alpha is None and as_bmp._pixels == png._pixels
    assert as_bmp._bmp_header == {"xppm": 2835, "yppm": 2835, "clrUsed": 0, "clrImportant": 0}

    built = SimpleImage(3, 2, pattern(3, 2), bytes(6))
    built.save(str(tmp_path / "built.png"))
    again = SimpleImage.open(str(tmp_path / "built.png"))
    assert [t for t, _, _ in again._png_chunks] == [b"IHDR", b"IDAT", b"IEND"]
    assert again._alpha == bytes(6)

    both = SimpleImage(1, 1, b"abc", None, [], {"xppm": 1})  # an empty record list still means PNG
    both.save(str(tmp_path / "both"))
    assert (tmp_path / "both").read_bytes()[:4] == b"\x89PNG"

    dup = png.copy()
    dup.save(str(tmp_path / "copy.png"))
    assert non_idat(SimpleImage.open(str(tmp_path / "copy.png"))) == non_idat(png)


def test_save_refuses_a_path_object_and_writes_nothing(tmp_path):
    img = SimpleImage(1, 1, b"abc")
    with pytest.raises(TypeError, match="expected str, got PosixPath"):
        img.save(tmp_path / "x.png")
    assert not (tmp_path / "x.png").exists()


@settings(max_examples=40, deadline=None)
@given(st.data())
def test_any_png_round_trips(data):
    w, h = data.draw(st.integers(0, 12)), data.draw(st.integers(0, 8))
    channels = data.draw(st.sampled_from([3, 4]))
    samples = data.draw(st.binary(min_size=w * h * channels, max_size=w * h * channels))
    filters = data.draw(st.lists(st.integers(0, 4), min_size=h, max_size=h))
    splits = data.draw(st.lists(st.integers(1, 40), max_size=3))
    src = make_png(w, h, samples, channels, filters, splits + [1] if splits else None, between=ANCILLARY[:1])
    before = SimpleImage.open(src)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "again.png")
        before.save(path)
        after = SimpleImage.open(path)
    assert (after.size, after._pixels, after._alpha, after._png_filters) == (
        before.size, before._pixels, before._alpha, before._png_filters)
    assert non_idat(after) == non_idat(before)

"""Writes the fuzzers' seed corpus: small valid PNG and BMP files of every supported kind,
plus near-misses, under fuzz/seeds/open; and a few argument streams under fuzz/seeds/write.
scripts/fuzz adds tests/malformed to the open seeds, so every refusal is reached at once.

Run from the repository root: python fuzz/make_corpus.py
"""

import os
import random
import shutil
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from imagefiles import PNG_SIG, bmp_file, ihdr_data, make_png, pattern, png_chunk  # noqa: E402


def open_seeds():
    seeds = {}
    for w, h in [(1, 1), (3, 2), (5, 4)]:
        for channels in (3, 4):
            filters = [y % 5 for y in range(h)]
            seeds[f"rgb{channels}_{w}x{h}.png"] = make_png(w, h, pattern(w, h, channels), channels, filters)
    seeds["split_idat.png"] = make_png(4, 4, pattern(4, 4), idat_lengths=[5, 3, 2, 100],
                                       before=[(b"tEXt", b"k\x00v")], between=[(b"zzZz", b"")],
                                       after=[(b"tIME", bytes(7))])
    seeds["no_iend.png"] = make_png(2, 2, pattern(2, 2), end=False)
    seeds["empty.png"] = PNG_SIG + png_chunk(b"IHDR", ihdr_data(0, 0)) + png_chunk(b"IDAT", zlib.compress(b""))
    seeds["zero_width.png"] = make_png(0, 3, b"", raw=b"\x00\x01\x02")
    seeds["grey.png"] = make_png(2, 2, pattern(2, 2), color_type=0)
    seeds["bad_filter.png"] = make_png(2, 2, b"", raw=b"\x05" + bytes(6) + b"\x00" + bytes(6))
    for w, h in [(1, 1), (2, 3), (4, 2), (5, 1)]:
        seeds[f"bottom_up_{w}x{h}.bmp"] = bmp_file(w, h, pattern(w, h))
        seeds[f"top_down_{w}x{h}.bmp"] = bmp_file(w, h, pattern(w, h), top_down=True)
    seeds["gap.bmp"] = bmp_file(2, 2, pattern(2, 2), gap=bytes(8), xppm=-1, clr_used=7)
    seeds["zero_height.bmp"] = bmp_file(3, 0, b"")
    seeds["short.bmp"] = bmp_file(3, 3, pattern(3, 3))[:-1]
    return seeds


def write_seeds():
    rng = random.Random(7)
    return {f"args{i}": bytes(rng.randrange(256) for _ in range(64 + 32 * i)) for i in range(8)}


def main():
    for name, seeds in (("open", open_seeds()), ("write", write_seeds())):
        folder = os.path.join(ROOT, "fuzz", "seeds", name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for file_name, data in sorted(seeds.items()):
            with open(os.path.join(folder, file_name), "wb") as f:
                f.write(data)

if __name__ == "__main__":
    main()

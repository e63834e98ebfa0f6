"""Synthetic benchmark images, written by the module itself (numpy makes the samples)."""

import os

from Quorvex.simpleImage_ext import SimpleImage

import numpy as np

# (name, width, height, kind, alpha, filter cycle)
FULL_SET = [
    ("icon-rgba", 32, 32, "graphic", True, (0, 1)),
    ("photo-512x768", 512, 768, "photo", False, (4, 1, 4, 2, 4, 3)),
    ("photo-1mp", 1024, 1024, "photo", False, (4, 1, 4, 2, 4, 3)),
    ("photo-1mp-paeth", 1024, 1024, "photo", False, (4,)),
    ("flat-graphic", 1024, 768, "graphic", False, (0, 1)),
    ("rgba-transparency", 800, 600, "photo", True, (4, 1, 2)),
    ("tall", 64, 4096, "photo", False, (1, 4)),
    ("wide", 4096, 64, "photo", False, (1, 4)),
    ("photo-24mp", 6000, 4000, "photo", False, (4, 1, 4, 2, 4, 3)),
]
QUICK_SET = [s for s in FULL_SET if s[0] in ("icon-rgba", "photo-1mp", "flat-graphic", "rgba-transparency")]


def samples(width, height, kind, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    if kind == "photo":
        base = np.stack([128 + 90 * np.sin(x / 97 + c) * np.cos(y / 131 - c) for c in range(3)], axis=-1)
        base += rng.normal(0, 6, size=base.shape)
    else:
        base = np.zeros((height, width, 3), np.float32)
        for _ in range(40):
            x0, y0 = rng.integers(0, width), rng.integers(0, height)
            base[y0:y0 + rng.integers(8, 300), x0:x0 + rng.integers(8, 300)] = rng.integers(0, 256, 3)
    rgb = np.clip(base, 0, 255).astype(np.uint8)
    r = np.hypot(x - width / 2, y - height / 2) / max(width, height)
    alpha = np.clip(255 * (1.2 - 2 * r), 0, 255).astype(np.uint8)
    return rgb.tobytes(), alpha.tobytes()


def write_set(folder, quick=False):
    paths = []
    for i, (name, w, h, kind, with_alpha, cycle) in enumerate(QUICK_SET if quick else FULL_SET):
        rgb, alpha = samples(w, h, kind, i)
        filters = bytes(cycle[y % len(cycle)] for y in range(h))
        img = SimpleImage(w, h, rgb, alpha if with_alpha else None, png_filters=filters)
        path = os.path.join(folder, name + ".png")
        img.save(path)
        paths.append(path)
        if name == "photo-512x768":
            bmp = os.path.join(folder, name + ".bmp")
            img.saveBmp(bmp)
            paths.append(bmp)
    return paths


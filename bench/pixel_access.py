"""Per-call cost of getPixel / putPixel, beside the peer's pixel-access object.

    python -P bench/pixel_access.py [--rounds N] [--calls N] [--size WxH]

Run it with the optimised build (scripts/bench makes one in .venv/bench). Each round times
every contender once over the same coordinates, in turn, so that drift in the machine's load
falls on all of them alike; the figure printed is the median over the rounds, in ns per call.
Calls go through a bound method kept in a local (`g = img.getPixel; g(xy)`), the peer through
its access object (`px[xy]`), with the coordinates as a ready tuple; the "(x, y)" rows pack
them at the call instead (`g((x, y))` against `px[x, y]`).
"""

import argparse
import statistics
import sys
import time

from Quorvex.simpleImage_ext import SimpleImage

try:
    from PIL import Image as PILImage
except ImportError:  # the peer is optional
    PILImage = None


def make_image(w, h):
    pixels = bytes((i * 37 + 11) & 0xFF for i in range(w * h * 3))
    return SimpleImage(w, h, pixels), pixels


def contenders(w, h, calls):
    img, pixels = make_image(w, h)
    coords = [((i * 7919) % w, (i * 104729) % h) for i in range(calls)]
    value = (1, 2, 3)

    def ours_get():
        g = img.getPixel
        for xy in coords:
            g(xy)

    def ours_put():
        p = img.putPixel
        for xy in coords:
            p(xy, value)

    def ours_get_xy():  # the coordinates packed at the call, as in g((x, y))
        g = img.getPixel
        for x, y in coords:
            g((x, y))

    def baseline():  # the loop alone, subtracted from nothing: shown for scale
        for xy in coords:
            pass

    have_peer = PILImage is not None
    if have_peer:
        px = PILImage.frombytes("RGB", (w, h), pixels).load()

        def peer_get():
            for xy in coords:
                px[xy]

        def peer_get_xy():
            for x, y in coords:
                px[x, y]

        def peer_put():
            for xy in coords:
                px[xy] = value

    c = {"getPixel": ours_get}
    if have_peer:
        c["peer px[xy]"] = peer_get
    c["getPixel((x, y))"] = ours_get_xy
    if have_peer:
        c["peer px[x, y]"] = peer_get_xy
    c["putPixel"] = ours_put
    if have_peer:
        c["peer px[xy] = v"] = peer_put
    c["empty loop"] = baseline
    return c


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--calls", type=int, default=20000)
    ap.add_argument("--size", default="512x512")
    args = ap.parse_args(argv)
    w, h = (int(v) for v in args.size.split("x"))
    c = contenders(w, h, args.calls)
    times = {name: [] for name in c}
    for fn in c.values():  # warm-up: specialised bytecode, caches
        fn()
    for _ in range(args.rounds):
        for name, fn in c.items():
            t0 = time.perf_counter_ns()
            fn()
            times[name].append((time.perf_counter_ns() - t0) / args.calls)
    print(f"Python {sys.version.split()[0]}, {w}x{h}, {args.calls} calls, median of {args.rounds} rounds")
    for name, ts in times.items():
        print(f"  {name:18s} {statistics.median(ts):6.1f} ns/call")
    if PILImage is None:
        print("  (peer not installed: left out)")
        return 0
    # The ratio is taken within each round, where both ran under the same load.
    for ours, peer in (("getPixel", "peer px[xy]"), ("getPixel((x, y))", "peer px[x, y]"),
                       ("putPixel", "peer px[xy] = v")):
        ratio = statistics.median(a / b for a, b in zip(times[ours], times[peer]))
        print(f"  {ours} / {peer}: {ratio:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

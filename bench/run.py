"""Benchmark: Quorvex against the libraries users would pick instead, and against zlib alone.

    scripts/bench [--images DIR] [--reps N] [--quick] [--chart FILE.png] [--markdown FILE]

(scripts/bench builds the extension into .venv/bench with the peers and runs this file.)
Prints a markdown table per measurement and a summary of the performance targets. Peers that
are not installed are skipped with a note. Every timing is the median of N interleaved
repetitions in this one process; the slowest peers (pure Python) and the largest images get
fewer repetitions. The "zlib limit" is zlib alone on the same data: inflating the file's IDAT
data, or deflating (level 6) the filtered scanlines that the encoder produces. The
"libdeflate limit" is libdeflate's one-shot inflate of the same IDAT data, told the exact size.
"""

import argparse
import contextlib
import io
import os
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from pathlib import Path

# numpy (used to make the synthetic images) would otherwise leave BLAS worker threads that
# compete with the decoding threads for the CPUs.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

from Quorvex.simpleImage_ext import SimpleImage

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import synthetic  # noqa: E402

try:
    import numpy as np
except ImportError:  # pragma: no cover
    np = None


def optional(name):
    try:
        return __import__(name)
    except ImportError:
        return None


PIL = optional("PIL")
if PIL is not None:
    from PIL import Image as PILImage
png = optional("png")
pyspng = optional("pyspng")
cv2 = optional("cv2")
imagecodecs = optional("imagecodecs")
deflate = optional("deflate")  # libdeflate, for the "libdeflate limit" beside zlib's

class NullOut(io.TextIOBase):
    """Swallows the line that every open prints, at the cost of one method call."""

    def write(self, text):
        return len(text)


NULL_OUT = NullOut()


def quiet_open(data):
    # Standard output is swapped once around all measurements (see main), so this is the
    # public call alone; outside main it redirects by itself.
    if sys.stdout is NULL_OUT:
        return SimpleImage.open(data)
    with contextlib.redirect_stdout(NULL_OUT):
        return SimpleImage.open(data)


def png_idat(data):
    """The joined IDAT data and the IHDR fields of a PNG file."""
    pos, idat, ihdr = 8, [], None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        ctype = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        if ctype == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif ctype == b"IDAT":
            idat.append(body)
        elif ctype == b"IEND":
            break
        pos += 12 + length
    return b"".join(idat), ihdr


SLOW = {"pypng"}  # pure Python: seconds per megapixel
SLOW_REPS = 3


CLOCK = time.perf_counter  # --clock cpu: time.process_time, for a machine shared with other work


def median_times(contenders, reps, clock=None):
    """Runs every contender once per repetition, interleaved; returns medians in seconds."""
    samples = {name: [] for name in contenders}
    for rep in range(reps):
        for name, fn in contenders.items():
            if name in SLOW and rep >= SLOW_REPS:
                continue
            t0 = (clock or CLOCK)()
            fn()
            samples[name].append((clock or CLOCK)() - t0)
    return {name: statistics.median(s) for name, s in samples.items()}


def decode_contenders(data, is_png):
    c = {"quorvex": lambda: quiet_open(data)}
    if is_png:
        idat, _ = png_idat(data)
        c["zlib limit"] = lambda: zlib.decompress(idat)
        if deflate:
            size = len(zlib.decompress(idat))
            c["libdeflate limit"] = lambda: deflate.zlib_decompress(idat, size)
    if PIL:
        c["pillow"] = lambda: PILImage.open(io.BytesIO(data)).load()
    if png and is_png and len(data) < 4 << 20:  # pure Python: minutes on the largest images
        c["pypng"] = lambda: png.Reader(bytes=data).read_flat()
    if pyspng and is_png:
        c["pyspng"] = lambda: pyspng.load(data)
    if cv2 and np is not None:
        buf = np.frombuffer(data, np.uint8)
        c["opencv"] = lambda: cv2.imdecode(buf, cv2.IMREAD_UNCHANGED)
    if imagecodecs and is_png:
        if imagecodecs.PNG.available:
            c["imagecodecs png"] = lambda: imagecodecs.png_decode(data)
        if imagecodecs.SPNG.available:
            c["imagecodecs spng"] = lambda: imagecodecs.spng_decode(data)
    return c


def with_threads(count, fn):
    """fn() with QUORVEX_THREADS set to `count` (the module reads it at every save)."""
    def run():
        os.environ["QUORVEX_THREADS"] = str(count)
        try:
            fn()
        finally:
            del os.environ["QUORVEX_THREADS"]
    return run


def encode_contenders(img, data, is_png, workdir):
    target = os.path.join(workdir, "out")
    save = lambda: img.save(target + (".png" if is_png else ".bmp"))  # noqa: E731
    c = {"quorvex": save, "quorvex 1 thread": with_threads(1, save)}
    if is_png:
        # A PNG saved again keeps each row's filter type, so the file's own inflated data is
        # exactly what our encoder compresses.
        raw = zlib.decompress(png_idat(data)[0])
        c["zlib limit"] = lambda: zlib.compress(raw)
    if PIL:
        pil = PILImage.open(io.BytesIO(data))
        pil.load()
        fmt = "PNG" if is_png else "BMP"
        c["pillow"] = lambda: pil.save(target + ".pil", fmt, compress_level=6)
    if cv2 and np is not None:
        arr = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
        ext = ".png" if is_png else ".bmp"
        params = [cv2.IMWRITE_PNG_COMPRESSION, 6] if is_png else []
        c["opencv"] = lambda: cv2.imwrite(target + ".cv" + ext, arr, params)
    if imagecodecs and is_png and imagecodecs.PNG.available:
        pixels = imagecodecs.png_decode(data)

        def codecs_save():
            with open(target + ".ic.png", "wb") as f:
                f.write(imagecodecs.png_encode(pixels, level=6))

        c["imagecodecs png"] = codecs_save
    return c


def pixel_contenders(img, data):
    w, h = img.size
    coords = [((i * 7919) % w, (i * 104729) % h) for i in range(2000)]
    c = {}

    def ours_get():
        g = img.getPixel
        for xy in coords:
            g(xy)

    def ours_put():
        p = img.putPixel
        for xy in coords:
            p(xy, (1, 2, 3))

    c["quorvex getPixel"] = ours_get
    c["quorvex putPixel"] = ours_put
    if PIL:
        pil = PILImage.open(io.BytesIO(data)).convert("RGB")
        acc = pil.load()

        def pil_get():
            g = pil.getpixel
            for xy in coords:
                g(xy)

        def pil_put():
            p = pil.putpixel
            for xy in coords:
                p(xy, (1, 2, 3))

        def acc_get():
            for xy in coords:
                acc[xy]

        def acc_put():
            for xy in coords:
                acc[xy] = (1, 2, 3)

        c.update({"pillow getpixel": pil_get, "pillow putpixel": pil_put,
                  "pillow load()[x,y] get": acc_get, "pillow load()[x,y] set": acc_put})
    return c, len(coords)


PEAK_SCRIPT = r"""
import contextlib, io, re, resource, sys
from Quorvex.simpleImage_ext import SimpleImage

def status(field):
    with open("/proc/self/status") as f:
        return int(re.search(field + r":\s+(\d+)", f.read()).group(1))

def reset_peak():
    # Writing 5 to clear_refs resets the peak RSS (Linux); otherwise measure against the
    # lifetime peak so far.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return status("VmRSS")
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

path, mode, out = sys.argv[1:4]
data = open(path, "rb").read()
with contextlib.redirect_stdout(io.StringIO()):
    img = SimpleImage.open(data) if mode == "save" else None
sink = io.StringIO()
base = reset_peak()
with contextlib.redirect_stdout(sink):
    if mode == "open":
        img = SimpleImage.open(data)
    else:
        img.save(out)
try:
    peak = status("VmHWM")
except OSError:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(peak - base)
"""


def peak_kib(path, mode, workdir):
    """Growth of the peak resident memory (KiB) over one open or save, in a fresh process."""
    out = os.path.join(workdir, "peak" + Path(path).suffix)
    result = subprocess.run([sys.executable, "-P", "-c", PEAK_SCRIPT, str(path), mode, out],
                            capture_output=True, text=True, check=True)
    return int(result.stdout.strip())


def batch_speedup(datas, reps, decode=None):
    """Decoding every file of `datas` on 1 thread, then on 2 threads taking the next file from
    one queue (largest first), so that neither waits for the other at the end."""
    decode = decode or quiet_open_nolock
    datas = sorted(datas, key=len, reverse=True)

    def work(items):
        for d in items:  # a list iterator hands out each item once, whichever thread asks
            decode(d)

    def one_thread():
        work(datas)

    def two_threads():
        queue = iter(datas)
        ts = [threading.Thread(target=work, args=(queue,)) for _ in range(2)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    t = median_times({"1": one_thread, "2": two_threads}, reps, clock=time.perf_counter)  # wall time here
    return t["1"], t["2"]


def quiet_open_nolock(data):
    # _streamToImage is the decode without the printed line (print would serialise threads).
    return SimpleImage._streamToImage(io.BytesIO(data))


def ms(t):
    return f"{t * 1e3:.2f}"


def table(title, header, rows):
    lines = [f"\n### {title}\n", "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines)


PEER_ORDER = ["zlib limit", "libdeflate limit", "pillow", "pypng", "pyspng", "opencv", "imagecodecs png",
              "imagecodecs spng"]
LIMITS = ("zlib limit", "libdeflate limit")


def fastest_peer(times):
    peers = {k: v for k, v in times.items() if k != "quorvex" and k not in LIMITS}
    return min(peers.values()) if peers else None


SAVE_PEERS = ["imagecodecs png", "pillow", "opencv"]


def save_row(name, times):
    ours, one, zl = times["quorvex"], times["quorvex 1 thread"], times.get("zlib limit")
    cells = [name, ms(ours), f"{ours / zl:.2f}" if zl else "-", ms(one), f"{one / zl:.2f}" if zl else "-",
             f"{one / ours:.2f}", ms(zl) if zl else "-"]
    return cells + [ms(times[k]) if k in times else "-" for k in SAVE_PEERS]


def ratio_row(name, times):
    ours, fastest = times["quorvex"], fastest_peer(times)
    cells = [name, ms(ours)]
    cells += [f"{ours / times[k]:.2f}" if k in times else "-" for k in LIMITS]
    cells.append(f"{ours / fastest:.2f}" if fastest else "-")
    cells += [ms(times[k]) if k in times else "-" for k in PEER_ORDER]
    return cells


class Targets:
    """Collects the measurements that the performance targets are judged on."""

    def __init__(self):
        self.decode_zlib = []      # (label, ratio) on photo-like PNGs
        self.real_zlib = []        # (label, ratio) on the given images of 300 x 300 and up
        self.real_libdeflate = []  # (label, ratio) on every given PNG
        self.decode_peers = []     # (label, ratio to the fastest peer library)
        self.encode_zlib = []      # (label, ratio) with the default threads, images of 0.25 MP and up
        self.encode_one = []       # (label, ratio) on one thread, the same images
        self.encode_scaling = []   # (label, speed-up of the default threads over one)
        self.open_memory = []      # (label, KiB over the allowance)
        self.save_memory = []
        self.pixel = {}
        self.batch = None

    @staticmethod
    def verdict(name, pairs, limit):
        if not pairs:
            return [name, "-", "no data"]
        label, worst = max(pairs, key=lambda p: p[1])
        met = "met" if worst <= limit else "missed"
        return [name, f"{worst:.2f} (worst: {label})", met]

    @staticmethod
    def median_verdict(name, pairs, limit):
        if not pairs:
            return [name, "-", "no data"]
        middle = statistics.median(ratio for _, ratio in pairs)
        return [name, f"{middle:.2f} (median of {len(pairs)})", "met" if middle <= limit else "missed"]

    def rows(self):
        rows = [self.verdict("decode <= 1.15 x zlib.decompress (photo-like)", self.decode_zlib, 1.15),
                self.verdict("decode <= 0.75 x zlib inflate alone (given images, 300 x 300 and up)",
                             self.real_zlib, 0.75),
                self.median_verdict("median decode <= 0.5 x zlib inflate alone (same images)", self.real_zlib, 0.5),
                self.median_verdict("median decode <= 1.6 x libdeflate inflate alone (given PNGs)",
                                    self.real_libdeflate, 1.6),
                self.verdict("decode faster than the fastest peer (ratio < 1)", self.decode_peers, 1.0),
                self.median_verdict("median save <= 0.55 x zlib.compress (0.25 MP and up)", self.encode_zlib, 0.55),
                self.verdict("save <= 0.65 x zlib.compress (each, 0.25 MP and up)", self.encode_zlib, 0.65),
                self.verdict("save on one thread <= 1.0 x zlib.compress (same images)", self.encode_one, 1.0)]
        if self.encode_scaling:
            threads = save_threads()
            label, worst = min(self.encode_scaling, key=lambda p: p[1])
            middle = statistics.median(r for _, r in self.encode_scaling)
            rows.append([f"save, {threads} threads >= 1.75 x one thread (worst / median; per thread)",
                         f"{worst:.2f} (worst: {label}) / {middle:.2f}; {middle / threads:.2f}",
                         "met" if worst >= 1.75 else "missed"])
        for name, pairs in (("open", self.open_memory), ("save", self.save_memory)):
            label, over = max(pairs, key=lambda p: p[1]) if pairs else ("-", 0)
            rows.append([f"peak memory of {name} within its allowance (KiB over)", f"{over} (worst: {label})",
                         "met" if over <= 0 else "missed"])
        for op, peer in (("getPixel", "pillow load()[x,y] get"), ("putPixel", "pillow load()[x,y] set")):
            ours, theirs = self.pixel.get(f"quorvex {op}"), self.pixel.get(peer)
            if ours and theirs:
                rows.append([f"{op} per call <= pillow access object", f"{ours / theirs:.2f}",
                             "met" if ours <= theirs else "missed"])
        if self.batch:
            rows.append(["batch decode, 2 threads >= 1.7 x 1 thread", f"{self.batch:.2f}",
                         "met" if self.batch >= 1.7 else "missed"])
        return rows


# What a save may use besides the compressed data and 2 MiB, for each thread it compresses on.
SAVE_MIB_PER_THREAD = 4


def save_threads():
    """The threads a save compresses on by default: the CPUs this process may use (up to 16)."""
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    return min(cpus, 16)


def photo_like(data, is_png):
    """Noisy content: the compressed image data are at least a third of the inflated size."""
    if not is_png:
        return False
    idat, _ = png_idat(data)
    return len(idat) >= len(zlib.decompress(idat)) / 3


def measure_image(path, reps, workdir, targets, given=False):
    data = Path(path).read_bytes()
    is_png = data[:8] == b"\x89PNG\r\n\x1a\n"
    img = quiet_open(data)
    w, h = img.size
    rgba = img._alpha is not None
    label = f"{Path(path).name} ({w}x{h}{' RGBA' if rgba else ''})"
    reps = min(reps, 3) if w * h > 8_000_000 else reps
    dt = median_times(decode_contenders(data, is_png), reps)
    # Saves run on several threads: only the wall clock tells what a caller waits.
    et = median_times(encode_contenders(img, data, is_png, workdir), reps, clock=time.perf_counter)
    if photo_like(data, is_png):
        targets.decode_zlib.append((label, dt["quorvex"] / dt["zlib limit"]))
    if given and is_png:
        if w * h >= 300 * 300:
            targets.real_zlib.append((label, dt["quorvex"] / dt["zlib limit"]))
        if "libdeflate limit" in dt:
            targets.real_libdeflate.append((label, dt["quorvex"] / dt["libdeflate limit"]))
    if fastest_peer(dt):
        targets.decode_peers.append((label, dt["quorvex"] / fastest_peer(dt)))
    if "zlib limit" in et and w * h >= 250_000:
        targets.encode_zlib.append((label, et["quorvex"] / et["zlib limit"]))
        targets.encode_one.append((label, et["quorvex 1 thread"] / et["zlib limit"]))
        targets.encode_scaling.append((label, et["quorvex 1 thread"] / et["quorvex"]))

    outputs = (w * h * 3 + (w * h if rgba else 0) + (h if is_png else 0)) // 1024
    compressed = (len(png_idat(data)[0]) if is_png else len(data)) // 1024
    opened, saved = peak_kib(path, "open", workdir), peak_kib(path, "save", workdir)
    # Open: the output buffers, the compressed data (a path's bytes, or a join of IDAT pieces
    # for the one-shot inflate) and 2 MB; save: the compressed data and 2 MB.
    targets.open_memory.append((label, opened - outputs - compressed - 2048))
    targets.save_memory.append((label, saved - compressed - 2048 - SAVE_MIB_PER_THREAD * 1024 * save_threads()))
    mem_row = [label, outputs, opened, compressed, saved]
    return label, img, data, dt, et, mem_row


SWEEP_SIZE = 2048


def sweep_file(filter_type, alpha, workdir):
    """A 2048 x 2048 image of random samples, every row of one filter type, its image data
    stored uncompressed (zlib level 0): decoding it costs inflate's copying plus the rebuild."""
    rng = np.random.default_rng(filter_type + 5 * alpha)
    n = SWEEP_SIZE * SWEEP_SIZE
    rgb = rng.integers(0, 256, n * 3, dtype=np.uint8).tobytes()
    plane = rng.integers(0, 256, n, dtype=np.uint8).tobytes() if alpha else None
    path = os.path.join(workdir, f"sweep-{filter_type}{'-rgba' if alpha else ''}.png")
    SimpleImage(SWEEP_SIZE, SWEEP_SIZE, rgb, plane, png_filters=bytes([filter_type]) * SWEEP_SIZE).save(path)
    data = Path(path).read_bytes()
    filtered = zlib.decompress(png_idat(data)[0])
    ihdr = data[8:33]
    stored = zlib.compress(filtered, 0)
    return (PNG_SIGNATURE + ihdr + chunk(b"IDAT", stored) + chunk(b"IEND", b""), stored, len(filtered),
            n * (4 if alpha else 3))


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(ctype, body):
    return struct.pack(">I", len(body)) + ctype + body + struct.pack(">I", zlib.crc32(ctype + body))


def filter_sweep(reps, workdir):
    """Rebuild throughput per filter type: image bytes / (decode time - inflate alone)."""
    if np is None:
        return []
    names = ["None", "Sub", "Up", "Average", "Paeth"]
    rows = []
    for alpha in (False, True):
        for ftype in range(5):
            data, stored, inflated, raw = sweep_file(ftype, alpha, workdir)
            c = {"quorvex": lambda: quiet_open(data), "zlib limit": lambda: zlib.decompress(stored)}
            if deflate:
                c["libdeflate limit"] = lambda: deflate.zlib_decompress(stored, inflated)
            t = median_times(c, reps)
            inflate_alone = t.get("libdeflate limit", t["zlib limit"])
            rebuild = t["quorvex"] - inflate_alone
            rows.append([f"{names[ftype]} ({'RGBA' if alpha else 'RGB'})", ms(t["quorvex"]), ms(t["zlib limit"]),
                         ms(t["libdeflate limit"]) if "libdeflate limit" in t else "-",
                         f"{raw / rebuild / 1e9:.2f}" if rebuild > 0 else "-"])
    return rows


def batch_files(files):
    """Every PNG up to 4 megapixels, repeated to make at least 24 decodes."""
    datas = []
    for p in files:
        data = Path(p).read_bytes()
        if data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) < 16 << 20:
            w, h = struct.unpack(">II", data[16:24])
            if w * h <= 4_000_000:
                datas.append(data)
    return datas * max(1, -(-24 // max(1, len(datas))))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--images", type=Path, help="a folder of PNG/BMP files to measure too")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="cpu: process CPU time (all threads), steadier when other work shares the CPUs; "
                         "the 2-thread batch is always timed on the wall clock")
    ap.add_argument("--quick", action="store_true", help="small synthetic set, 3 repetitions")
    ap.add_argument("--chart", type=Path, help="write a bar chart (needs matplotlib)")
    ap.add_argument("--markdown", type=Path, help="also write the tables to this file")
    args = ap.parse_args()
    reps = 3 if args.quick else args.reps
    global CLOCK
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter

    notes = [f"missing peer: {n} (skipped)" for n, m in [("pillow", PIL), ("pypng", png), ("pyspng", pyspng),
                                                         ("opencv", cv2), ("imagecodecs", imagecodecs),
                                                         ("deflate", deflate)] if m is None]
    targets = Targets()
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as workdir:
        files = synthetic.write_set(workdir, quick=args.quick)
        given = []
        if args.images:
            given = sorted(p for p in args.images.iterdir() if p.suffix.lower() in (".png", ".bmp"))
            files += given
        dec_rows, enc_rows, mem_rows, chart, pixel_rows = [], [], [], {}, []
        for path in files:
            with contextlib.redirect_stdout(NULL_OUT):
                label, img, data, dt, et, mem_row = measure_image(path, reps, workdir, targets, path in given)
            dec_rows.append(ratio_row(label, dt))
            enc_rows.append(save_row(label, et))
            mem_rows.append(mem_row)
            chart[label] = (dt, et)
            if not pixel_rows and img.size[0] * img.size[1] >= 256 * 256:
                pc, n = pixel_contenders(img, data)
                with contextlib.redirect_stdout(NULL_OUT):
                    pt = median_times(pc, max(reps, 7))
                targets.pixel = pt
                pixel_rows = [[k, f"{v / n * 1e9:.0f}"] for k, v in pt.items()]
        batch = batch_files(files)
        load_before = os.getloadavg()[0]
        one, two = batch_speedup(batch, reps)
        targets.batch = one / two
        # The same split for zlib.decompress of the IDAT data, which runs without the GIL
        # too: what this machine allows at the moment (other processes take CPUs as well).
        idats = [png_idat(d)[0] for d in batch]
        zone, ztwo = batch_speedup(idats, reps, zlib.decompress)
        with contextlib.redirect_stdout(NULL_OUT):
            sweep_rows = filter_sweep(reps, workdir)

    head = ["image", "quorvex ms", "x zlib", "x libdeflate", "x fastest peer"] + [p + " ms" for p in PEER_ORDER]
    save_head = ["image", f"quorvex ms ({save_threads()} threads)", "x zlib", "1 thread ms", "x zlib", "speed-up",
                 "zlib alone ms"] + [p + " ms" for p in SAVE_PEERS]
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    out = [f"Python {sys.version.split()[0]}, {cpus} CPUs, {args.clock} clock, median of {reps} interleaved "
           f"runs (pypng {SLOW_REPS}, images over 8 MP 3).",
           table("Open (decode)", head, dec_rows),
           table("Save (encode, to a file; wall clock, whatever --clock says)", save_head, enc_rows),
           table("Pixel access, ns per call", ["operation", "ns"], pixel_rows),
           table("Peak memory (KiB, fresh process, growth of peak RSS)",
                 ["image", "output buffers", "open", "compressed data", "save"], mem_rows),
           table("Batch decode (load average before: %.2f)" % load_before,
                 ["work", "files", "1 thread ms", "2 threads ms", "speed-up"],
                 [["quorvex", len(batch), ms(one), ms(two), f"{one / two:.2f}"],
                  ["control: zlib.decompress of the IDAT data", len(idats), ms(zone), ms(ztwo),
                   f"{zone / ztwo:.2f}"]]),
           table(f"Filter sweep: {SWEEP_SIZE} x {SWEEP_SIZE} random samples, image data stored (zlib level 0)",
                 ["rows", "decode ms", "zlib inflate alone ms", "libdeflate inflate alone ms",
                  "rebuild GB/s (image bytes / (decode - fastest inflate alone))"], sweep_rows),
           table("Targets", ["target", "ratio", "verdict"], targets.rows())]
    if notes:
        out.append("\n" + "\n".join(notes))
    text = "\n".join(out)
    print(text)
    if args.markdown:
        args.markdown.write_text(text + "\n")
    if args.chart:
        write_chart(args.chart, chart)


def write_chart(path, chart):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart written")
        return
    labels = list(chart)
    fig, axes = plt.subplots(1, 2, figsize=(14, 0.5 * len(labels) + 2))
    for ax, idx, title in ((axes[0], 0, "open"), (axes[1], 1, "save")):
        names = ["quorvex"] + PEER_ORDER
        for k, name in enumerate(names):
            vals = [chart[l][idx].get(name, 0) * 1e3 for l in labels]
            ax.barh([i + k * 0.13 for i in range(len(labels))], vals, height=0.13, label=name)
        ax.set_yticks(range(len(labels)), labels, fontsize=7)
        ax.set_xscale("log")
        ax.set_xlabel("ms (log)")
        ax.set_title(title)
    axes[0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    main()

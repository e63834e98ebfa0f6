"""quorvex: inspect, convert and round-trip-check PNG and BMP files from the command line."""

import argparse
import concurrent.futures
import io
import json
import os
import sys
import tempfile
from collections import Counter
from importlib import resources
from typing import Any

from Quorvex.simpleImage_ext import SimpleImage

PROG = "quorvex"


class CliError(Exception):
    """A failure reported as one line on stderr."""


def decode(source: str | bytes) -> SimpleImage:
    """What SimpleImage.open does, without its printed line (which would go to stdout from
    every worker thread of `check`)."""
    if isinstance(source, str):
        with open(source, "rb") as stream:
            result = SimpleImage._streamToImage(stream)
    else:
        result = SimpleImage._streamToImage(io.BytesIO(source))
    width, height, pixels, _channels, alpha, chunks, bmp_header, filters = result
    return SimpleImage(width, height, pixels, alpha, chunks, bmp_header, filters)


def load(source: str | bytes, label: str = "") -> SimpleImage:
    """Opens a path or bytes; a failure becomes one line naming the file."""
    name = label or (source if isinstance(source, str) else "<bytes>")
    try:
        return decode(source)
    except FileNotFoundError:
        raise CliError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{name}: is a directory") from None
    except OSError as exc:
        raise CliError(f"{name}: {exc.strerror or exc}") from None
    except (ValueError, TypeError) as exc:
        raise CliError(f"{name}: {exc}") from None
    except Exception as exc:  # zlib.error, struct.error
        raise CliError(f"{name}: {type(exc).__module__}.{type(exc).__name__}: {exc}") from None


def describe(img: SimpleImage, name: str) -> dict[str, Any]:
    """The facts `info` reports, as plain data."""
    facts: dict[str, Any] = {"file": name, "width": img.width, "height": img.height,
             "channels": 3 if img._alpha is None else 4}
    if img._png_chunks is not None:
        facts["format"] = "PNG"
        chunks: list[dict[str, Any]] = []
        for ctype, _data, length in img._png_chunks:
            name_ = ctype.decode("latin-1")
            if name_ == "IDAT" and chunks and chunks[-1]["type"] == "IDAT":
                chunks[-1]["count"] += 1
                chunks[-1]["length"] += length
            else:
                chunks.append({"type": name_, "length": length, "count": 1})
        facts["chunks"] = chunks
        counts = Counter(img._png_filters or b"")
        facts["filters"] = {name_: counts.get(i, 0)
                            for i, name_ in enumerate(("None", "Sub", "Up", "Average", "Paeth"))}
    else:
        facts["format"] = "BMP"
        facts["bmp_header"] = dict(img._bmp_header or {})
    return facts


def format_facts(f: dict[str, Any]) -> str:
    lines = [f"{f['file']}: {f['format']} {f['width']}x{f['height']}, "
             f"{'RGBA' if f['channels'] == 4 else 'RGB'}"]
    if f["format"] == "PNG":
        for c in f["chunks"]:
            more = f" x{c['count']}" if c["count"] > 1 else ""
            lines.append(f"  {c['type']}{more}  {c['length']} bytes")
        used = ", ".join(f"{k} {v}" for k, v in f["filters"].items() if v)
        lines.append(f"  row filters: {used or 'none'}")
    else:
        lines += [f"  {k}: {v}" for k, v in f["bmp_header"].items()]
    return "\n".join(lines)


def cmd_info(args: argparse.Namespace) -> int:
    facts = [describe(load(path), path) for path in args.files]
    if args.json:
        print(json.dumps(facts if len(facts) > 1 else facts[0], indent=2))
    else:
        print("\n".join(format_facts(f) for f in facts))
    return 0


def target_format(args: argparse.Namespace) -> str | None:
    if args.to:
        return str(args.to)
    ext = os.path.splitext(args.dst)[1].lower()
    return {".png": "png", ".bmp": "bmp"}.get(ext)


def save_as(img: SimpleImage, path: str, fmt: str | None) -> None:
    """PNG keeps an opened PNG's chunks; a BMP-born image becomes a plain PNG."""
    try:
        if fmt == "bmp":
            img.saveBmp(path)
        elif fmt == "png" and img._png_chunks is None:
            SimpleImage(img.width, img.height, img._pixels, img._alpha, None, None, img._png_filters).save(path)
        else:
            img.save(path)
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror or exc}") from None
    except Exception as exc:
        raise CliError(f"{path}: {exc}") from None


def cmd_convert(args: argparse.Namespace) -> int:
    img = load(args.src)
    save_as(img, args.dst, target_format(args))
    print(f"{args.src} -> {args.dst}")
    return 0


def round_trip(path: str, workdir: str) -> list[str]:
    """Opens, saves, reopens; returns the list of what was not kept."""
    before = load(path)
    out = os.path.join(workdir, f"{os.getpid()}-{abs(hash(path))}-{os.path.basename(path)}")
    save_as(before, out, None)
    after = load(out)
    os.remove(out)
    lost = []
    if after._pixels != before._pixels:
        lost.append("pixels")
    if after._alpha != before._alpha:
        lost.append("alpha")
    if before._png_chunks is not None:
        if kept_chunks(after) != kept_chunks(before):
            lost.append("chunks")
        if after._png_filters != before._png_filters:
            lost.append("filter types")
        if idat_count(after) != idat_count(before):
            lost.append(f"IDAT count ({idat_count(before)} -> {idat_count(after)})")
    elif after._bmp_header != before._bmp_header:
        lost.append("BMP header fields")
    return lost


def kept_chunks(img: SimpleImage) -> list[tuple[bytes, bytes]]:
    """The chunks other than IDAT, with their data, in file order."""
    return [(t, d) for t, d, _ in img._png_chunks if t != b"IDAT"]


def idat_count(img: SimpleImage) -> int:
    return sum(1 for t, _, _ in img._png_chunks if t == b"IDAT")


def progress(done: int, total: int) -> None:
    width = 30
    filled = width * done // total
    sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
    sys.stderr.flush()


def cmd_check(args: argparse.Namespace) -> int:
    failures = 0
    show_bar = sys.stderr.isatty() and len(args.files) >= 8
    with tempfile.TemporaryDirectory(prefix="quorvex-check-") as workdir:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            futures = {pool.submit(round_trip, path, workdir): path for path in args.files}
            results: dict[str, list[str] | CliError] = {}
            for done, fut in enumerate(concurrent.futures.as_completed(futures), 1):
                path = futures[fut]
                try:
                    results[path] = fut.result()
                except CliError as exc:
                    results[path] = exc
                if show_bar:
                    progress(done, len(futures))
    if show_bar:
        sys.stderr.write("\n")
    for path in args.files:
        result = results[path]
        if isinstance(result, CliError):
            failures += 1
            print(f"ERROR {result}")
        elif result:
            failures += 1
            print(f"LOST  {path}: {', '.join(result)}")
        else:
            print(f"OK    {path}")
    return 1 if failures else 0


def cmd_demo(args: argparse.Namespace) -> int:
    sample = resources.files("Quorvex").joinpath("data/sample.png").read_bytes()
    outdir = args.out or tempfile.mkdtemp(prefix="quorvex-demo-")
    os.makedirs(outdir, exist_ok=True)
    img = load(sample, "sample.png")
    print("Bundled sample:")
    print(format_facts(describe(img, "sample.png")))
    print("\nPainting a red diagonal...")
    for i in range(min(img.width, img.height)):
        img.putPixel((i, i), (255, 0, 0))
    png_path = os.path.join(outdir, "sample-edited.png")
    bmp_path = os.path.join(outdir, "sample-edited.bmp")
    save_as(img, png_path, None)
    save_as(img, bmp_path, "bmp")
    print(f"Saved {png_path} and {bmp_path}\n")
    for path in (png_path, bmp_path):
        again = load(path)
        print(format_facts(describe(again, os.path.basename(path))))
        print(f"  pixels equal to the edited image: {again._pixels == img._pixels}")
    again = load(png_path)
    print(f"\nPNG round trip kept every other chunk in place: {kept_chunks(again) == kept_chunks(img)}, "
          f"each row's filter type: {again._png_filters == img._png_filters}")
    print(f"Output directory: {outdir}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__)
    sub = parser.add_subparsers(dest="command")
    p = sub.add_parser("info", help="format, size, channels, chunks and filter use")
    p.add_argument("files", nargs="+")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(run=cmd_info)
    p = sub.add_parser("convert", help="open SRC and save it as DST")
    p.add_argument("src")
    p.add_argument("dst")
    p.add_argument("--to", choices=("png", "bmp"), help="output format (default: by extension, else as opened)")
    p.set_defaults(run=cmd_convert)
    p = sub.add_parser("check", help="round-trip check: does a save keep everything?")
    p.add_argument("files", nargs="+")
    p.add_argument("--jobs", "-j", type=int, default=os.cpu_count() or 1, help="files checked in parallel")
    p.set_defaults(run=cmd_check)
    p = sub.add_parser("demo", help="a tour on the bundled sample image (the default)")
    p.add_argument("--out", help="output directory (default: a new temporary directory)")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        args = parser.parse_args(["demo"])
    try:
        return int(args.run(args))
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return 1

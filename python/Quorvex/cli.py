"""quorvex: inspect, convert and round-trip-check PNG and BMP files from the command line."""

import argparse
import concurrent.futures
import importlib.metadata
import io
import json
import os
import sys
import tempfile
from collections import Counter
from importlib import resources
from typing import Any

from Quorvex._convert import choose_filters, write_png
from Quorvex.simpleImage_ext import SimpleImage

PROG = "quorvex"
FORMAT_BY_EXTENSION = {".png": "png", ".bmp": "bmp"}


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


def warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def report_error(exc: CliError) -> None:
    print(f"{PROG}: error: {exc}", file=sys.stderr)


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
    """Every file is reported: the readable ones on stdout (with --json one object a line, the
    same shape for one file as for many), each failure as one line on stderr."""
    failed = 0
    for path in args.files:
        try:
            facts = describe(load(path), path)
        except CliError as exc:
            failed += 1
            sys.stdout.flush()  # keep the two streams in file order on a terminal
            report_error(exc)
            continue
        print(json.dumps(facts) if args.json else format_facts(facts))
    return 1 if failed else 0


def target_format(args: argparse.Namespace) -> str:
    """--to, else the destination's extension; an unknown extension or a contradiction is refused."""
    ext = os.path.splitext(args.dst)[1]
    by_name = FORMAT_BY_EXTENSION.get(ext.lower())
    if args.to:
        if by_name is not None and by_name != args.to:
            raise CliError(f"{args.dst}: --to {args.to} contradicts the {ext} extension")
        return str(args.to)
    if by_name is None:
        raise CliError(f"{args.dst}: cannot tell the output format from the name "
                       "(use .png or .bmp, or --to png|bmp)")
    return by_name


def save_as(img: SimpleImage, path: str, fmt: str | None, refilter: bool = False) -> None:
    """No format: what save() writes (check and demo look at exactly that). "bmp": saveBmp.
    "png": an opened PNG keeps its chunks and row filters; rows without a kept filter (all
    rows, with `refilter`) get the filter the chooser picks, which a plain save leaves at 0.
    The PNG goes through save()'s own writer and file handling; only its compressor differs
    (libdeflate, where the build has it)."""
    try:
        if fmt is None:
            img.save(path)
        elif fmt == "bmp":
            img.saveBmp(path)
        else:
            filters = img._png_filters
            if refilter or filters is None:
                filters = choose_filters(img.width, img.height, img._pixels, img._alpha)
            write_png(path, img.width, img.height, img._pixels, img._alpha, img._png_chunks, filters)
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror or exc}") from None
    except Exception as exc:
        raise CliError(f"{path}: {exc}") from None


def cmd_convert(args: argparse.Namespace) -> int:
    fmt = target_format(args)  # before reading: a bad name costs nothing
    img = load(args.src)
    save_as(img, args.dst, fmt, args.refilter)
    if fmt == "bmp" and img._alpha is not None:  # after the save: a failed one drops nothing
        warn(f"{args.src}: the alpha channel is dropped (BMP output is 24-bit RGB)")
    print(f"{args.src} -> {args.dst}")
    return 0


def round_trip(path: str, workdir: str) -> list[str]:
    """Opens, saves, reopens; returns the list of what was not kept."""
    before = load(path)
    # A name of its own for every check: the same file may be listed twice and checked at once.
    fd, out = tempfile.mkstemp(dir=workdir, suffix=os.path.splitext(path)[1])
    os.close(fd)
    try:
        save_as(before, out, None)
        after = load(out, f"{path} (saved copy)")
    finally:
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


def is_image_file(path: str) -> bool:
    """Recognised by the first bytes, as open does. A file that cannot be read counts, so that
    the check reports it rather than passing over it."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(8)
    except OSError:
        return True
    return head == b"\x89PNG\r\n\x1a\n" or head[:2] == b"BM"


def walk_images(root: str) -> tuple[list[str], list[CliError]]:
    """The PNG and BMP files under a directory, sorted by path; unreadable folders as errors."""
    found: list[tuple[list[str], str]] = []
    errors: list[CliError] = []

    def unreadable(exc: OSError) -> None:
        errors.append(CliError(f"{exc.filename}: {exc.strerror or exc}"))

    for folder, dirs, names in os.walk(root, onerror=unreadable):
        dirs.sort()
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and is_image_file(path):
                found.append((os.path.relpath(path, root).split(os.sep), path))
    found.sort()
    if not found and not errors:
        errors.append(CliError(f"{root}: no PNG or BMP files"))
    return [path for _, path in found], errors


def check_targets(paths: list[str]) -> list[str | CliError]:
    """Files as given, directories replaced by the images under them."""
    targets: list[str | CliError] = []
    for path in paths:
        if os.path.isdir(path):
            images, errors = walk_images(path)
            targets += errors
            targets += images
        else:
            targets.append(path)
    return targets


def cmd_check(args: argparse.Namespace) -> int:
    failures = 0
    targets = check_targets(args.files)
    files = [(i, t) for i, t in enumerate(targets) if isinstance(t, str)]
    show_bar = sys.stderr.isatty() and len(files) >= 8
    results: dict[int, list[str] | CliError] = {i: t for i, t in enumerate(targets) if isinstance(t, CliError)}
    with tempfile.TemporaryDirectory(prefix="quorvex-check-") as workdir:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = {pool.submit(round_trip, path, workdir): i for i, path in files}
            for done, fut in enumerate(concurrent.futures.as_completed(futures), 1):
                index = futures[fut]
                try:
                    results[index] = fut.result()
                except CliError as exc:
                    results[index] = exc
                except Exception as exc:  # what load and save_as do not name: still one line
                    results[index] = CliError(f"{targets[index]}: {type(exc).__name__}: {exc}")
                if show_bar:
                    progress(done, len(futures))
    if show_bar:
        sys.stderr.write("\n")
    for index, target in enumerate(targets):
        path = str(target)
        result = results[index]
        if isinstance(result, CliError):
            failures += 1
            print(f"ERROR {result}")
        elif result:
            failures += 1
            print(f"LOST  {path}: {', '.join(result)}")
        else:
            print(f"OK    {path}")
    return 1 if failures else 0


def output_directory(out: str | None) -> str:
    """--out (created when missing), else a new temporary directory."""
    try:
        if out is None:
            return tempfile.mkdtemp(prefix="quorvex-demo-")
        if os.path.exists(out) and not os.path.isdir(out):
            raise CliError(f"{out}: not a directory")
        os.makedirs(out, exist_ok=True)
        return out
    except OSError as exc:
        raise CliError(f"{exc.filename or out}: {exc.strerror or exc}") from None


def cmd_demo(args: argparse.Namespace) -> int:
    sample = resources.files("Quorvex").joinpath("data/sample.png").read_bytes()
    outdir = output_directory(args.out)
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


def package_version() -> str:
    try:
        return importlib.metadata.version("Quorvex")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree, not installed
        return "unknown"


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__)
    parser.add_argument("--version", action="version", version=f"{PROG} {package_version()}")
    sub = parser.add_subparsers(dest="command")
    p = sub.add_parser("info", help="format, size, channels, chunks and filter use")
    p.add_argument("files", nargs="+")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(run=cmd_info)
    p = sub.add_parser("convert", help="open SRC and save it as DST")
    p.add_argument("src")
    p.add_argument("dst")
    p.add_argument("--to", choices=("png", "bmp"), help="output format (default: by the extension of DST)")
    p.add_argument("--refilter", action="store_true",
                   help="PNG output: choose every row's filter anew instead of keeping the source's")
    p.set_defaults(run=cmd_convert)
    p = sub.add_parser("check", help="round-trip check: does a save keep everything?")
    p.add_argument("files", nargs="+", help="files, or directories to search for PNG and BMP files")
    p.add_argument("--jobs", "-j", type=positive_int, default=os.cpu_count() or 1, help="files checked in parallel")
    p.set_defaults(run=cmd_check)
    p = sub.add_parser("demo", help="a tour on the bundled sample image (the default)")
    p.add_argument("--out", help="output directory (default: a new temporary directory)")
    p.set_defaults(run=cmd_demo)
    return parser


def show_any_name() -> None:
    """A character the output's encoding cannot show (a name in another script on an ASCII
    terminal, bytes of a name that never were text) prints as '?', as common command-line
    tools print it, instead of ending the command with a traceback."""
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="replace")


def main(argv: list[str] | None = None) -> int:
    show_any_name()
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        args = parser.parse_args(["demo"])
    try:
        return int(args.run(args))
    except CliError as exc:
        report_error(exc)
        return 1
    except BrokenPipeError:
        # The reader went away (| head): say nothing, and keep the exit-time flush quiet too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    except OSError as exc:  # a file error no command named: still one line, no traceback
        report_error(CliError(f"{exc.filename}: {exc.strerror or exc}" if exc.filename else str(exc)))
        return 1

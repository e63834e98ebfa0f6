"""Builds the malformed-file corpus: one small file per way a PNG or BMP can be refused, and
a few limit cases that must still open. Writes the files next to this script together with
manifest.tsv (file name, expected outcome, expected message).

Run from anywhere: python tests/malformed/make_corpus.py
test_malformed_corpus.py rebuilds the files in memory and checks that they are current.
"""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from imagefiles import IEND, PNG_SIG, bmp_file, ihdr_data, make_png, pattern, png_chunk  # noqa: E402

VALUE, STRUCT, ZLIB, OVERFLOW = "ValueError", "struct.error", "zlib.error", "OverflowError"
OK = "ok"  # the message is then the expected size, "WxH"

UNSUPPORTED = "Unsupported image format"
EOF_LENGTH = "Unexpected EOF while reading chunk length"
EOF_TYPE = "Unexpected EOF while reading chunk type"
EOF_DATA = "Unexpected EOF while reading chunk data"
EOF_CRC = "Unexpected EOF while reading chunk CRC"
BAD_CRC = "Corrupted PNG chunk detected"
NO_HEADER = "Incomplete PNG header information"
ONLY_8BIT = "Only 8-bit PNG images are supported"
ONLY_RGB = "Only RGB/RGBA PNG images are supported"
CONFIG = "Unsupported PNG configuration (compression/filter/interlace)"
MALFORMED = "Malformed PNG image data"
TRUNCATED_ZLIB = "Error -5 while decompressing data: incomplete or truncated stream"
BAD_ZLIB_HEADER = "Error -3 while decompressing data: incorrect header check"
BMP_HEADER = "Unsupported BMP header"
BMP_DIB = "Corrupted BMP DIB header"
BMP_INFO = "Only BITMAPINFOHEADER BMP files are supported"
BMP_24BIT = "Only uncompressed 24-bit BMP files are supported"
BMP_PIXELS = "Incomplete BMP pixel data"
TOO_LARGE_INT = "value too large to convert to int"


def chunk(ctype, data):
    return png_chunk(ctype, data)


def bad_crc(ctype, data):
    good = zlib.crc32(ctype + data) & 0xFFFFFFFF
    return png_chunk(ctype, data, crc=good ^ 1)


def png(*chunks, header=None):
    head = [chunk(b"IHDR", header if header is not None else ihdr_data(2, 2))]
    return PNG_SIG + b"".join(head + list(chunks))


def idat_for(width, height, channels=3, raw=None):
    if raw is None:
        raw = b"".join(b"\x00" + bytes(width * channels) for _ in range(height))
    return chunk(b"IDAT", zlib.compress(raw))


def png_cases():
    c = {}
    good = make_png(2, 2, pattern(2, 2))
    ihdr_end = 8 + 25  # signature, then IHDR: 4 length, 4 type, 13 data, 4 CRC
    # Truncation at every structural boundary of the first chunk after the signature.
    for cut in (1, 2, 3):
        c[f"png_cut_in_length_{cut}.png"] = (good[:8 + cut], VALUE, EOF_LENGTH)
    for cut in (4, 5, 7):
        c[f"png_cut_in_type_{cut}.png"] = (good[:8 + cut], VALUE, EOF_TYPE)
    c["png_cut_before_ihdr_data.png"] = (good[:8 + 8], VALUE, EOF_DATA)
    c["png_cut_in_ihdr_data.png"] = (good[:8 + 14], VALUE, EOF_DATA)
    c["png_cut_before_ihdr_crc.png"] = (good[:8 + 21], VALUE, EOF_CRC)
    c["png_cut_in_ihdr_crc.png"] = (good[:8 + 23], VALUE, EOF_CRC)
    c["png_only_signature.png"] = (PNG_SIG, VALUE, NO_HEADER)
    c["png_cut_after_ihdr.png"] = (good[:ihdr_end], ZLIB, TRUNCATED_ZLIB)
    idat_start = ihdr_end
    idat_length = struct.unpack(">I", good[idat_start:idat_start + 4])[0]
    c["png_cut_in_idat_length.png"] = (good[:idat_start + 2], VALUE, EOF_LENGTH)
    c["png_cut_in_idat_type.png"] = (good[:idat_start + 6], VALUE, EOF_TYPE)
    c["png_cut_in_idat_data.png"] = (good[:idat_start + 8 + idat_length // 2], VALUE, EOF_DATA)
    c["png_cut_in_idat_crc.png"] = (good[:idat_start + 8 + idat_length + 3], VALUE, EOF_CRC)
    c["png_cut_in_iend_type.png"] = (good[:-8 + 2], VALUE, EOF_TYPE)
    c["png_cut_in_iend_crc.png"] = (good[:-1], VALUE, EOF_CRC)
    c["png_length_ffffffff.png"] = (png(b"\xff\xff\xff\xffIDAT" + bytes(20)), VALUE, EOF_DATA)

    # A wrong CRC in every chunk position; no chunk is skipped.
    raw = b"".join(b"\x00" + bytes(6) for _ in range(2))
    z = zlib.compress(raw)
    half = len(z) // 2
    positions = {
        "ihdr": PNG_SIG + bad_crc(b"IHDR", ihdr_data(2, 2)) + chunk(b"IDAT", z) + IEND,
        "ancillary": png(bad_crc(b"tEXt", b"a\x00b"), chunk(b"IDAT", z), IEND),
        "idat": png(bad_crc(b"IDAT", z), IEND),
        "second_idat": png(chunk(b"IDAT", z[:half]), bad_crc(b"IDAT", z[half:]), IEND),
        "between_idats": png(chunk(b"IDAT", z[:half]), bad_crc(b"zzZz", b""), chunk(b"IDAT", z[half:]), IEND),
        "after_idat": png(chunk(b"IDAT", z), bad_crc(b"tIME", bytes(7)), IEND),
        "iend": png(chunk(b"IDAT", z), bad_crc(b"IEND", b"")),
        "empty_idat": png(bad_crc(b"IDAT", b""), chunk(b"IDAT", z), IEND),
        # found while reading, before the header is looked at
        "before_bad_depth": PNG_SIG + chunk(b"IHDR", ihdr_data(2, 2, bit_depth=16)) + bad_crc(b"IDAT", z) + IEND,
    }
    for where, data in positions.items():
        c[f"png_crc_{where}.png"] = (data, VALUE, BAD_CRC)

    # IHDR content
    c["png_no_ihdr.png"] = (PNG_SIG + chunk(b"IDAT", z) + IEND, VALUE, NO_HEADER)
    c["png_ihdr_12_bytes.png"] = (PNG_SIG + chunk(b"IHDR", ihdr_data(2, 2)[:12]) + IEND, STRUCT,
                                  "unpack requires a buffer of 13 bytes")
    c["png_ihdr_14_bytes.png"] = (PNG_SIG + chunk(b"IHDR", ihdr_data(2, 2) + b"\x00") + IEND, STRUCT,
                                  "unpack requires a buffer of 13 bytes")
    c["png_width_2_31.png"] = (png(IEND, header=ihdr_data(2**31, 1)), OVERFLOW, TOO_LARGE_INT)
    c["png_height_ffffffff.png"] = (png(IEND, header=ihdr_data(1, 2**32 - 1)), OVERFLOW, TOO_LARGE_INT)
    header_refusals = {
        "depth_16": (dict(bit_depth=16), ONLY_8BIT),
        "depth_1": (dict(bit_depth=1), ONLY_8BIT),
        "depth_16_palette": (dict(bit_depth=16, color_type=3), ONLY_8BIT),
        "grey": (dict(color_type=0), ONLY_RGB),
        "grey_alpha": (dict(color_type=4), ONLY_RGB),
        "palette": (dict(color_type=3), ONLY_RGB),
        "colour_7": (dict(color_type=7), ONLY_RGB),
        "compression_1": (dict(compression=1), CONFIG),
        "filter_method_1": (dict(filter_method=1), CONFIG),
        "interlaced": (dict(interlace=1), CONFIG),
    }
    for name, (fields, message) in header_refusals.items():
        c[f"png_{name}.png"] = (png(idat_for(2, 2), IEND, header=ihdr_data(2, 2, **fields)), VALUE, message)
    c["png_second_ihdr_bad.png"] = (png(chunk(b"IHDR", ihdr_data(2, 2, bit_depth=4)), idat_for(2, 2), IEND),
                                    VALUE, ONLY_8BIT)

    # Image data
    c["png_no_idat.png"] = (png(IEND), ZLIB, TRUNCATED_ZLIB)
    c["png_empty_idat.png"] = (png(chunk(b"IDAT", b""), IEND), ZLIB, TRUNCATED_ZLIB)
    c["png_idat_not_zlib.png"] = (png(chunk(b"IDAT", b"\x00\x01\x02\x03"), IEND), ZLIB, BAD_ZLIB_HEADER)
    c["png_idat_truncated_zlib.png"] = (png(chunk(b"IDAT", z[:-3]), IEND), ZLIB, TRUNCATED_ZLIB)
    c["png_inflates_one_short.png"] = (png(idat_for(2, 2, raw=raw[:-1]), IEND), VALUE, MALFORMED)
    c["png_inflates_one_long.png"] = (png(idat_for(2, 2, raw=raw + b"\x00"), IEND), VALUE, MALFORMED)
    # 2 MiB of zeros behind a 1x1 header: refused, not decoded into a huge buffer
    c["png_inflates_far_beyond.png"] = (png(idat_for(1, 1, raw=bytes(2 << 20)), IEND, header=ihdr_data(1, 1)),
                                        VALUE, MALFORMED)
    # huge claimed dimensions with tiny data
    for w, h in [(2**31 - 1, 2**31 - 1), (100000, 100000), (715827882, 1), (1, 2**31 - 1), (46341, 46341)]:
        c[f"png_claims_{w}x{h}.png"] = (png(idat_for(1, 1), IEND, header=ihdr_data(w, h)), VALUE, MALFORMED)
    c["png_claims_rgba_536870912x1.png"] = (png(idat_for(1, 1), IEND, header=ihdr_data(536870912, 1, color_type=6)),
                                            VALUE, MALFORMED)
    for row, ftype in [(0, 5), (1, 255)]:
        rows = bytearray(raw)
        rows[row * 7] = ftype
        c[f"png_filter_{ftype}_row_{row}.png"] = (png(idat_for(2, 2, raw=bytes(rows)), IEND), VALUE,
                                                  f"Unsupported PNG filter: {ftype}")
    # limit cases that open
    c["png_empty_image.png"] = (png(idat_for(0, 0, raw=b""), IEND, header=ihdr_data(0, 0)), OK, "0x0")
    c["png_zero_width.png"] = (png(idat_for(0, 3, raw=b"\x00\x04\x01"), IEND, header=ihdr_data(0, 3)), OK, "0x3")
    c["png_no_iend.png"] = (make_png(2, 2, pattern(2, 2), end=False), OK, "2x2")
    c["png_garbage_after_iend.png"] = (good + b"\xff" * 9, OK, "2x2")
    return c


def bmp_header_only(dib_size, rest=b""):
    return b"BM" + struct.pack("<IHHI", 0, 0, 0, 54) + struct.pack("<I", dib_size) + rest


def bmp_fields(width, height, planes=1, bits=24, compression=0, pixel_offset=54, data=b""):
    return (b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, pixel_offset) + struct.pack("<I", 40)
            + struct.pack("<iiHHIIiiII", width, height, planes, bits, compression, len(data), 2835, 2835, 0, 0)
            + data)


def bmp_cases():
    c = {}
    good = bmp_file(3, 2, pattern(3, 2))  # stride 12: 9 colour bytes and 3 padding bytes a row
    c["bmp_bm_only.bmp"] = (b"BM", VALUE, BMP_HEADER)
    c["bmp_13_bytes.bmp"] = (good[:13], VALUE, BMP_HEADER)
    c["bmp_14_bytes.bmp"] = (good[:14], VALUE, BMP_DIB)
    c["bmp_17_bytes.bmp"] = (good[:17], VALUE, BMP_DIB)
    c["bmp_18_bytes.bmp"] = (good[:18], STRUCT, "unpack requires a buffer of 36 bytes")
    c["bmp_53_bytes.bmp"] = (good[:53], STRUCT, "unpack requires a buffer of 36 bytes")
    for size in (12, 56, 108, 124, 0, 0xFFFFFFFF):
        c[f"bmp_dib_size_{size}.bmp"] = (bmp_header_only(size, bytes(120)), VALUE, BMP_INFO)
    for name, fields in {"planes_0": dict(planes=0), "planes_2": dict(planes=2), "bits_8": dict(bits=8),
                         "bits_32": dict(bits=32), "rle8": dict(bits=8, compression=1),
                         "bitfields": dict(compression=3), "jpeg": dict(compression=4)}.items():
        c[f"bmp_{name}.bmp"] = (bmp_fields(1, 1, data=bytes(4), **fields), VALUE, BMP_24BIT)
    # pixel data cut short
    c["bmp_cut_in_last_padding.bmp"] = (good[:-1], VALUE, BMP_PIXELS)
    c["bmp_cut_at_row_boundary.bmp"] = (good[:-12], VALUE, BMP_PIXELS)
    c["bmp_no_pixels.bmp"] = (good[:54], VALUE, BMP_PIXELS)
    c["bmp_top_down_cut.bmp"] = (bmp_file(3, 2, pattern(3, 2), top_down=True)[:-5], VALUE, BMP_PIXELS)
    c["bmp_offset_past_end.bmp"] = (bmp_file(3, 2, pattern(3, 2), pixel_offset=1000), VALUE, BMP_PIXELS)
    c["bmp_offset_ffffffff.bmp"] = (bmp_file(3, 2, pattern(3, 2), pixel_offset=0xFFFFFFFF), VALUE, BMP_PIXELS)
    # huge claimed dimensions with tiny data
    for w, h in [(2**31 - 1, 1), (1, 2**31 - 1), (100000, 100000), (1, -(2**31)), (715827883, 1)]:
        c[f"bmp_claims_{w}x{h}.bmp"] = (bmp_fields(w, h, data=bytes(16)), VALUE, BMP_PIXELS)
    # negative, zero and odd sizes
    c["bmp_negative_width.bmp"] = (bmp_fields(-1, 2, data=bytes(16)), VALUE, "negative count")
    c["bmp_negative_width_top_down.bmp"] = (bmp_fields(-3, -1, data=bytes(16)), VALUE, "negative count")
    c["bmp_zero_width_rows_min.bmp"] = (bmp_fields(0, -(2**31)), OVERFLOW, "BMP image dimensions exceed 32-bit sizes")
    c["bmp_negative_width_no_rows.bmp"] = (bmp_fields(-5, 0), OK, "-5x0")
    c["bmp_zero_height.bmp"] = (bmp_fields(7, 0), OK, "7x0")
    c["bmp_zero_width.bmp"] = (bmp_fields(0, 4), OK, "0x4")
    c["bmp_odd_width_1.bmp"] = (bmp_file(1, 3, pattern(1, 3)), OK, "1x3")
    c["bmp_odd_width_5.bmp"] = (bmp_file(5, 1, pattern(5, 1), top_down=True), OK, "5x1")
    c["bmp_offset_below_54.bmp"] = (bmp_fields(1, 1, pixel_offset=2, data=bytes(4)), OK, "1x1")
    return c


def other_cases():
    return {
        "empty.bin": (b"", VALUE, UNSUPPORTED),
        "text.bin": (b"hello, world", VALUE, UNSUPPORTED),
        "png_signature_7_bytes.bin": (PNG_SIG[:7], VALUE, UNSUPPORTED),
        "b_only.bin": (b"B", VALUE, UNSUPPORTED),
        "lower_bm.bin": (b"bm" + bytes(60), VALUE, UNSUPPORTED),
    }


def cases():
    """name -> (file bytes, expected outcome, expected message)"""
    everything = {}
    for group in (other_cases(), png_cases(), bmp_cases()):
        everything.update(group)
    return everything


def main():
    table = cases()
    for name in os.listdir(HERE):
        if name.endswith((".png", ".bmp", ".bin")) and name not in table:
            os.remove(os.path.join(HERE, name))
    lines = []
    for name, (data, outcome, message) in sorted(table.items()):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
        lines.append(f"{name}\t{outcome}\t{message}\n")
    with open(os.path.join(HERE, "manifest.tsv"), "w", newline="\n") as f:
        f.write("# file\texpected outcome\tmessage (for ok: the size WxH)\n")
        f.writelines(lines)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws the launcher's icon and writes it as a Windows .ico file.

    make-icon.py [OUTPUT]      (default: resources/launcher.ico)

Four 32-bit images, in this order so that the resource compiler numbers them
1 to 4: 128, 48 and 32 px stored as PNG (a fraction of a DIB's bytes; every
Windows the launcher supports reads PNG icon images at any size), and 16 px
as a DIB with an AND mask, the form that every code path drawing small icons
(title bars, lists, the notification area) reads. The picture is computed,
not drawn from files: a rounded square with a loudspeaker and two sound
waves, anti-aliased by 4x4 supersampling. Only the standard library is used
and the output depends on nothing but this script (and zlib's compressor),
so running it again gives the same bytes.
"""
import math
import os
import struct
import sys
import zlib

SIZES = (128, 48, 32, 16)
# Images at least this large are stored as PNG, the smaller ones as DIBs.
PNG_FROM = 32
SAMPLES = 4


def _in_rounded_square(x, y, margin=0.04, radius=0.2):
    lo, hi = margin, 1.0 - margin
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def _in_symbol(x, y):
    # Loudspeaker: a box and a cone opening to the right.
    if 0.20 <= x <= 0.33 and abs(y - 0.5) <= 0.10:
        return True
    if 0.33 <= x <= 0.49 and abs(y - 0.5) <= 0.10 + (x - 0.33) * 1.1:
        return True
    # Two sound waves: ring sectors around the cone's mouth.
    dx, dy = x - 0.47, y - 0.5
    r = math.hypot(dx, dy)
    if dx > 0 and abs(math.atan2(dy, dx)) <= math.radians(48):
        if 0.12 <= r <= 0.175 or 0.24 <= r <= 0.295:
            return True
    return False


def _sample(x, y):
    """Colour (r, g, b, a) of the picture at (x, y) in the unit square."""
    if not _in_rounded_square(x, y):
        return (0, 0, 0, 0)
    if _in_symbol(x, y):
        return (255, 255, 255, 255)
    t = y
    return (int(24 + 10 * t), int(72 + 80 * t), int(150 + 30 * t), 255)


def render(size):
    """Rows of (r, g, b, a) pixels, top row first, alpha premultiplied away."""
    rows = []
    n = SAMPLES * SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    r, g, b, a = _sample(x, y)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3],
                            acc[3] // n))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def dib(rows):
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # DIBs are stored bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    # The height counts the colour image and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return out + entries + blobs


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "launcher.ico")
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(rows) if size >= PNG_FROM else dib(rows)))
    with open(output, "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()

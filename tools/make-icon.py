#!/usr/bin/env python3
"""Draws Skyhelm's icon and writes it as a multi-size Windows .ico.

The icon: a ship's helm (a ring with eight spokes and handles) in white on a round sky-blue
disc that darkens towards its foot. Each size is drawn from the same shapes with 4x4 samples per
pixel, so small sizes stay sharp without hand-drawn variants. Sizes up to 64 pixels are stored as
32-bit bitmaps (every Windows version reads those), 256 as PNG.

  python3 tools/make-icon.py [OUTPUT]     (default: packaging/windows/skyhelm.ico)

Only the standard library is used; the output is the same byte for byte on every run.
"""

import math
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 24, 32, 48, 64, 256)
SAMPLES = 4  # per axis and pixel

SKY_TOP = (92, 170, 235)
SKY_FOOT = (22, 74, 140)
RIM = (12, 40, 82)
HELM = (250, 250, 245)


def coverage_disc(x, y, radius):
    return x * x + y * y <= radius * radius


def helm_covers(x, y):
    """Whether the point (centre at 0,0, unit radius = the disc) is on the helm."""
    r = math.hypot(x, y)
    if 0.40 <= r <= 0.52:  # the ring
        return True
    if r <= 0.13:  # the hub
        return True
    for spoke in range(8):
        a = spoke * math.pi / 4 + math.pi / 8
        # distance of the point from the spoke's line, and how far along it lies
        along = x * math.cos(a) + y * math.sin(a)
        across = -x * math.sin(a) + y * math.cos(a)
        if 0.0 <= along <= 0.70 and abs(across) <= 0.045:
            return True
        # the handle at the spoke's end
        hx, hy = 0.74 * math.cos(a), 0.74 * math.sin(a)
        if math.hypot(x - hx, y - hy) <= 0.085:
            return True
    return False


def draw(size):
    """RGBA rows, top row first, each a bytearray of size*4 bytes."""
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            disc = helm = rim = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    # the point in unit coordinates: the disc's radius is 1
                    x = ((px + (sx + 0.5) / SAMPLES) / size - 0.5) * 2.0
                    y = ((py + (sy + 0.5) / SAMPLES) / size - 0.5) * 2.0
                    if not coverage_disc(x, y, 0.98):
                        continue
                    disc += 1
                    if not coverage_disc(x, y, 0.90):
                        rim += 1
                    elif helm_covers(x / 0.90, y / 0.90):
                        helm += 1
            total = SAMPLES * SAMPLES
            if disc == 0:
                row += bytes(4)
                continue
            t = py / max(1, size - 1)
            sky = tuple(round(top + (foot - top) * t) for top, foot in zip(SKY_TOP, SKY_FOOT))
            sky_samples = disc - helm - rim
            colour = tuple(
                round((sky[i] * sky_samples + HELM[i] * helm + RIM[i] * rim) / disc) for i in range(3))
            row += bytes((*colour, round(255 * disc / total)))
        rows.append(row)
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def bitmap(size, rows):
    """A 32-bit BGRA DIB as icons store it: bottom row first, twice the height, an AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for i in range(0, len(row), 4):
            r, g, b, a = row[i:i + 4]
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x in range(size):
            if row[x * 4 + 3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def ico(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    data = b""
    for size, image in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
        data += image
    return directory + entries + data


def main():
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else (
        Path(__file__).resolve().parent.parent / "packaging" / "windows" / "skyhelm.ico")
    images = []
    for size in SIZES:
        rows = draw(size)
        images.append((size, png(size, rows) if size >= 256 else bitmap(size, rows)))
    output.write_bytes(ico(images))
    print(f"wrote {output} ({output.stat().st_size} bytes, sizes {', '.join(map(str, SIZES))})")


if __name__ == "__main__":
    main()

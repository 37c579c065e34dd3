#!/usr/bin/env python3
"""Draws the client's icons and writes them as .ico files.

  make_icon.py <out.ico> <variant>

variant "app": a teal disc with a white ring and tail (the letter Q) on it;
variant "off": the same drawing in grey, for the disconnected state. Each
file holds 16, 20, 24, 32, 40, 48 and 64 pixel images (the small and large
icon sizes at 100, 125, 150 and 200 % display scale, so that Windows never
stretches one), 32-bit BGRA with an AND mask, drawn with anti-aliased edges
(4x4 supersampling per pixel).
"""
import math
import struct
import sys

COLOURS = {
    "app": ((0x1B, 0x9A, 0x8A), (0xFF, 0xFF, 0xFF)),
    "off": ((0x80, 0x86, 0x8C), (0xF2, 0xF2, 0xF2)),
}


def coverage(size, inside):
    """Share of each pixel (row-major, top row first) for which inside(x, y)
    holds, x and y in 0..1."""
    steps = 4
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = 0
            for sy in range(steps):
                for sx in range(steps):
                    x = (px + (sx + 0.5) / steps) / size
                    y = (py + (sy + 0.5) / steps) / size
                    hits += inside(x, y)
            row.append(hits / (steps * steps))
        rows.append(row)
    return rows


def in_disc(x, y):
    return math.hypot(x - 0.5, y - 0.5) <= 0.47


def in_q(x, y):
    r = math.hypot(x - 0.5, y - 0.48)
    ring = 0.17 <= r <= 0.27
    # The tail: a short thick stroke from the ring towards the lower right.
    tx, ty = x - 0.62, y - 0.62
    along = (tx + ty) / math.sqrt(2)
    across = abs(tx - ty) / math.sqrt(2)
    tail = -0.04 <= along <= 0.14 and across <= 0.05
    return ring or tail


def image(size, variant):
    background, foreground = COLOURS[variant]
    disc = coverage(size, in_disc)
    mark = coverage(size, in_q)
    pixels = bytearray()
    # BMP rows run bottom-up.
    for py in reversed(range(size)):
        for px in range(size):
            d, m = disc[py][px], mark[py][px] * disc[py][px]
            colour = [round(b * (1 - m) + f * m) for b, f in zip(background, foreground)]
            pixels += bytes((colour[2], colour[1], colour[0], round(255 * d)))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # all opaque: the alpha channel decides
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + mask


def main():
    out, variant = sys.argv[1], sys.argv[2]
    sizes = (16, 20, 24, 32, 40, 48, 64)
    images = [image(s, variant) for s in sizes]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, blob in zip(sizes, images):
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for blob in images:
        data += blob
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws vornfeed.ico: one 32x32 image, 32 bits per pixel with alpha.

A rounded teal square carrying a white "V" whose right stroke rises past the
corner like a price chart. Run it from anywhere; it writes beside itself.
"""
import math
import os
import struct

SIZE = 32
SAMPLES = 4  # per axis, for anti-aliased edges


def inside_rounded_square(x, y):
    margin, radius = 1.0, 6.0
    lo, hi = margin + radius, SIZE - margin - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


STROKES = [(7.0, 8.0, 14.5, 24.0), (14.5, 24.0, 25.0, 5.0)]
PEN = 2.2


def on_stroke(x, y):
    return any(distance_to_segment(x, y, *s) <= PEN for s in STROKES)


def pixel(px, py):
    """Straight (not premultiplied) BGRA of one pixel."""
    body = mark = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = px + (sx + 0.5) / SAMPLES
            y = py + (sy + 0.5) / SAMPLES
            if inside_rounded_square(x, y):
                body += 1
                if on_stroke(x, y):
                    mark += 1
    total = SAMPLES * SAMPLES
    if body == 0:
        return (0, 0, 0, 0)
    shade = 1.0 - 0.35 * py / SIZE  # lighter at the top
    teal = (0x8a * shade, 0x7a * shade, 0x10 * shade)  # B, G, R
    w = mark / body
    b, g, r = (c * (1 - w) + 255 * w for c in teal)
    return (int(b), int(g), int(r), int(255 * body / total))


def ico_bytes():
    rows = []
    for py in reversed(range(SIZE)):  # DIBs run bottom-up
        rows.append(b"".join(struct.pack("4B", *pixel(px, py)) for px in range(SIZE)))
    xor = b"".join(rows)
    and_mask = bytes(SIZE * 4)  # alpha decides; the mask is all "opaque"
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vornfeed.ico")
    with open(path, "wb") as f:
        f.write(ico_bytes())

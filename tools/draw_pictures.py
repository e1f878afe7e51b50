#!/usr/bin/env python3
"""Draws the program's two pictures: res/face.bmp (52 x 51, 8 bits per pixel,
a yellow smiling face) and res/app.ico (one 32 x 32 image, 24 bits per pixel,
a printer with a down arrow). Run it again after changing a shape."""
import math
import os
import struct

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")


def face_pixels(w, h):
    """Palette indices, top row first: 0 grey background, 1 black, 2 yellow."""
    cx, cy, r = (w - 1) / 2, (h - 1) / 2, min(w, h) / 2 - 1.5
    rows = []
    for y in range(h):
        row = []
        for x in range(w):
            d = math.hypot(x - cx, y - cy)
            px = 0
            if d <= r:
                px = 1 if d > r - 2 else 2
                for ex in (cx - r * 0.35, cx + r * 0.35):     # eyes
                    if math.hypot(x - ex, y - (cy - r * 0.3)) <= r * 0.12:
                        px = 1
                m = math.hypot(x - cx, y - (cy - r * 0.05))   # smile
                if r * 0.5 <= m <= r * 0.62 and y > cy + r * 0.1:
                    px = 1
            row.append(px)
        rows.append(row)
    return rows


def write_face(path):
    w, h = 52, 51
    palette = [(0xC0, 0xC0, 0xC0), (0, 0, 0), (0xFF, 0xD8, 0x00)] + [(0, 0, 0)] * 253
    stride = (w + 3) & ~3
    pixels = b"".join(bytes(row) + b"\0" * (stride - w) for row in reversed(face_pixels(w, h)))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 14 + len(info) + len(pal)
    head = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(head + info + pal + pixels)


def icon_colour(x, y):
    if 12 <= x <= 19 and 2 <= y <= 9:                 # arrow shaft
        return (255, 255, 255)
    if 10 <= y <= 14 and abs(x - 15.5) <= 14 - y:     # arrow head
        return (255, 255, 255)
    if 4 <= x <= 27 and 15 <= y <= 24:                # printer body
        return (60, 60, 70)
    if 8 <= x <= 23 and 25 <= y <= 29:                # paper
        return (250, 250, 250)
    return (30, 90, 200)                              # blue tile


def write_icon(path):
    w = h = 32
    xor = b"".join(bytes((b, g, r)) for y in reversed(range(h))
                   for x in range(w) for r, g, b in [icon_colour(x, y)])
    mask = b"\0" * (4 * h)                            # 1-bit AND mask, all opaque
    info = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 24, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = info + xor + mask
    head = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", w, h, 0, 0, 1, 24, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(head + entry + image)


if __name__ == "__main__":
    write_face(os.path.join(RES, "face.bmp"))
    write_icon(os.path.join(RES, "app.ico"))

#!/usr/bin/env python3
"""Draws the updater's icon (a blue tile with a white downward arrow) as a
multi-size .ico, so the artwork is ours and can be regenerated."""
import struct
import sys

BLUE = (0xC8, 0x6A, 0x1E, 0xFF)   # BGRA
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
CLEAR = (0, 0, 0, 0)


def pixel(x, y, size):
    u, v = (x + 0.5) / size, (y + 0.5) / size
    radius = 0.18
    cx = min(max(u, radius), 1 - radius)
    cy = min(max(v, radius), 1 - radius)
    if (u - cx) ** 2 + (v - cy) ** 2 > radius ** 2:
        return CLEAR
    shaft = 0.42 <= u <= 0.58 and 0.18 <= v <= 0.55
    head = 0.5 <= v <= 0.78 and abs(u - 0.5) <= (0.78 - v) * 1.1
    base = 0.8 <= v <= 0.86 and 0.24 <= u <= 0.76
    return WHITE if shaft or head or base else BLUE


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up rows
        rows.append(b"".join(bytes(pixel(x, y, size)) for x in range(size)))
    mask_row = b"\0" * (((size + 31) // 32) * 4)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + mask_row * size


def main(path):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "VORNUpdate.ico")

#!/usr/bin/env python3
"""Draws the launcher's icon (a tap on a blue disc) as MAINICON.ico, 32x32 and 16x16, 32-bit."""
import math
import struct
import sys


def pixel(x, y, size):
    # Coordinates in a unit square, sampled 4x4 per pixel for smooth edges.
    inside_disc = inside_tap = 0
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / size
            v = (y + (sy + 0.5) / 4) / size
            if math.hypot(u - 0.5, v - 0.5) <= 0.47:
                inside_disc += 1
                bar = 0.22 <= u <= 0.78 and 0.24 <= v <= 0.38
                stem = 0.42 <= u <= 0.58 and 0.24 <= v <= 0.62
                drop = math.hypot(u - 0.5, v - 0.74) <= 0.07
                if bar or stem or drop:
                    inside_tap += 1
    alpha = round(255 * inside_disc / 16)
    white = inside_tap / max(inside_disc, 1)
    blue = (0xD0, 0x78, 0x1E)  # B, G, R
    b, g, r = (round(c + (255 - c) * white) for c in blue)
    return bytes((b, g, r, alpha))


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = [b"".join(pixel(x, y, size) for x in range(size)) for y in range(size)]
    colour = b"".join(reversed(rows))  # bottom-up
    mask_row = (size + 31) // 32 * 4
    return header + colour + bytes(mask_row * size)


def main(path):
    sizes = (32, 16)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "MAINICON.ico")

#!/usr/bin/env python3
"""Writes lumaflash.ico: a yellow flash on a dark blue tile, at 16, 32 and 48 pixels.

Drawn from code so the icon can be changed and rebuilt without an image editor:
    python3 app/make_icon.py app/lumaflash.ico
"""
import struct
import sys

# The flash as a polygon in a 0..1 square, clockwise.
BOLT = [(0.58, 0.08), (0.22, 0.55), (0.46, 0.55), (0.36, 0.92), (0.78, 0.40), (0.53, 0.40),
        (0.70, 0.08)]
TILE = (0x5a, 0x2e, 0x12, 0xff)   # BGRA: dark blue
FLASH = (0x1e, 0xd2, 0xff, 0xff)  # BGRA: warm yellow
CLEAR = (0, 0, 0, 0)


def inside(x, y, polygon):
    result = False
    j = len(polygon) - 1
    for i, (xi, yi) in enumerate(polygon):
        xj, yj = polygon[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def pixel(x, y, size):
    u, v = (x + 0.5) / size, (y + 0.5) / size
    corner = 0.18
    cu, cv = min(max(u, corner), 1 - corner), min(max(v, corner), 1 - corner)
    if (u - cu) ** 2 + (v - cv) ** 2 > corner ** 2:
        return CLEAR
    return FLASH if inside(u, v, BOLT) else TILE


def image(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up, as in a BMP
        rows.append(b"".join(bytes(pixel(x, y, size)) for x in range(size)))
    mask_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + bytes(mask_row * size)


def main(path):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "lumaflash.ico")

#!/usr/bin/env python3
"""Draws the Lumaflash icon, a yellow flash on a dark blue tile, from code, so that it can be
changed and rebuilt without an image editor (scripts/make_icons.sh writes every file):
    python3 tools/make_icon.py app/win32/lumaflash.ico          Windows icon, 16, 32 and 48 pixels
    python3 tools/make_icon.py lumaflash-48.png 48        PNG of one size
    python3 tools/make_icon.py lumaflash.svg              the same drawing as a vector image
"""
import struct
import sys
import zlib

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


def png(size):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    rows = b""
    for y in range(size):
        rows += b"\0"  # no filter
        for x in range(size):
            b, g, r, a = pixel(x, y, size)
            rows += bytes((r, g, b, a))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def svg():
    def colour(bgra):
        return "#%02x%02x%02x" % (bgra[2], bgra[1], bgra[0])
    points = " ".join("%g,%g" % (x * 256, y * 256) for x, y in BOLT)
    corner = 0.18 * 256
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" '
            'viewBox="0 0 256 256">\n'
            '  <rect width="256" height="256" rx="%g" fill="%s"/>\n'
            '  <polygon points="%s" fill="%s"/>\n'
            '</svg>\n' % (corner, colour(TILE), points, colour(FLASH))).encode()


def ico(path):
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


def main(args):
    path = args[0] if args else "lumaflash.ico"
    if path.endswith(".png"):
        data = png(int(args[1]))
    elif path.endswith(".svg"):
        data = svg()
    else:
        return ico(path)
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1:])

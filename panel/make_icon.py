#!/usr/bin/env python3
"""Draws Quenta.ico: one 32 x 32 image, 16 colours (4 bits per pixel).

The picture is a radio mast sending out three arcs, white on blue. Run it
again after changing the drawing and commit the icon it writes.
"""
import math
import struct
import sys

# The standard 16-colour palette, as (blue, green, red, 0) quads.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]  # (red, green, blue)
NAVY, BLUE, YELLOW, WHITE = 4, 12, 11, 15
SIZE = 32


def pixel(x, y):
    """Colour index of pixel (x, y), or None where the icon is transparent."""
    cx, cy = x + 0.5, y + 0.5
    # A rounded square with a one-pixel dark rim.
    inset = 1.5
    r = 5.0
    dx = max(inset + r - cx, 0, cx - (SIZE - inset - r))
    dy = max(inset + r - cy, 0, cy - (SIZE - inset - r))
    d = math.hypot(dx, dy)
    if d > r:
        return None
    if d > r - 1.2:
        return NAVY
    # Arcs centred low in the square, opening upwards.
    ox, oy = 16.0, 24.0
    dist = math.hypot(cx - ox, cy - oy)
    angle = math.degrees(math.atan2(oy - cy, cx - ox))
    if dist <= 2.6:
        return YELLOW
    if 45 <= angle <= 135:
        for radius in (7.0, 12.0, 17.0):
            if abs(dist - radius) <= 1.4:
                return WHITE
    return BLUE


def main(path):
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up, as a DIB
        for x in range(0, SIZE, 2):
            hi = row[x] or 0
            lo = row[x + 1] or 0
            xor.append((hi << 4) | lo)
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Quenta.ico")

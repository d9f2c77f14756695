#!/usr/bin/env python3
"""Draws the application icon: a strip of film whose frames flow, along an arrow, into a box.

Writes myapp1.ico (one 128x128 image at 32 bits per pixel, stored as a BMP: 67,646 bytes) and
tovanmuxer.png (the same picture, for the desktop's icon theme). Standard library only:

    python3 resources/make_icon.py
"""
import os
import struct
import zlib

N = 128
here = os.path.dirname(os.path.abspath(__file__))
px = [[(0, 0, 0, 0)] * N for _ in range(N)]  # rows top to bottom, RGBA


def blend(x, y, c, a=1.0):
    if 0 <= x < N and 0 <= y < N:
        r, g, b, alpha = px[y][x]
        a = max(0.0, min(1.0, a)) * c[3] / 255
        out = alpha / 255 * (1 - a) + a
        if out == 0:
            return
        mix = lambda s, d: int(round((s * a + d * alpha / 255 * (1 - a)) / out))
        px[y][x] = (mix(c[0], r), mix(c[1], g), mix(c[2], b), int(round(out * 255)))


def rounded_rect(x0, y0, x1, y1, radius, c):
    for y in range(int(y0), int(y1) + 1):
        for x in range(int(x0), int(x1) + 1):
            dx = max(x0 + radius - (x + 0.5), 0, (x + 0.5) - (x1 - radius))
            dy = max(y0 + radius - (y + 0.5), 0, (y + 0.5) - (y1 - radius))
            d = (dx * dx + dy * dy) ** 0.5
            blend(x, y, c, radius + 0.5 - d if d > radius - 0.5 else 1.0)


def polygon(points, c):
    ys = [p[1] for p in points]
    for y in range(int(min(ys)), int(max(ys)) + 1):
        for x in range(N):
            # 4x4 supersampling for smooth edges.
            hits = 0
            for sy in range(4):
                for sx in range(4):
                    X, Y = x + (sx + 0.5) / 4, y + (sy + 0.5) / 4
                    inside = False
                    for i in range(len(points)):
                        (ax, ay), (bx, by) = points[i], points[i - 1]
                        if (ay > Y) != (by > Y) and X < (bx - ax) * (Y - ay) / (by - ay) + ax:
                            inside = not inside
                    hits += inside
            if hits:
                blend(x, y, c, hits / 16)


# Background tile.
rounded_rect(2, 2, 125, 125, 22, (32, 46, 74, 255))
# Film strip on the left, with sprocket holes and three frames.
rounded_rect(10, 14, 52, 113, 4, (24, 24, 28, 255))
for i in range(7):
    rounded_rect(13, 18 + i * 13.5, 18, 25 + i * 13.5, 1.5, (210, 214, 222, 255))
    rounded_rect(44, 18 + i * 13.5, 49, 25 + i * 13.5, 1.5, (210, 214, 222, 255))
for i, col in enumerate([(240, 160, 60, 255), (90, 170, 230, 255), (120, 200, 120, 255)]):
    rounded_rect(22, 19 + i * 31, 40, 44 + i * 31, 2, col)
# The box the frames go into, open at its top.
rounded_rect(74, 52, 118, 110, 6, (236, 240, 246, 255))
rounded_rect(80, 58, 112, 104, 3, (32, 46, 74, 255))
for i in range(3):
    rounded_rect(85, 70 + i * 11, 107, 75 + i * 11, 2, (90, 170, 230, 255))
# The arrow from the film into the box.
polygon([(46, 58), (78, 58), (78, 46), (100, 66), (78, 86), (78, 74), (46, 74)], (255, 176, 56, 255))

# ICO: ICONDIR, one ICONDIRENTRY, then a BMP without its file header: BITMAPINFOHEADER with the
# height doubled (image plus AND mask), BGRA rows bottom-up, and the 1-bit AND mask.
pixels = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
mask_row = (N + 31) // 32 * 4
mask = b"".join(
    bytes(
        sum(0x80 >> k for k in range(8) if row[byte * 8 + k][3] == 0) for byte in range(N // 8)
    ) + b"\0" * (mask_row - N // 8)
    for row in reversed(px)
)
header = struct.pack("<IiiHHIIiiII", 40, N, 2 * N, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
image = header + pixels + mask
ico = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", N, N, 0, 0, 1, 32, len(image), 22)
ico += image
assert len(ico) == 67646, len(ico)
open(os.path.join(here, "myapp1.ico"), "wb").write(ico)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in px)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", N, N, 8, 6, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
open(os.path.join(here, "tovanmuxer.png"), "wb").write(png)
print("myapp1.ico: %d bytes; tovanmuxer.png: %d bytes" % (len(ico), len(png)))

#!/usr/bin/env python3
"""Draws Tessaport's artwork (window icon, banner, two small pictures) as PNG.

The look: mail put back together from small tiles, as a mosaic. Pure Python,
no imaging library: shapes are drawn four times oversized and averaged down.
Run from this folder; the PNGs it writes are kept in the repository.
"""
import struct
import zlib

SS = 4  # oversampling factor


class Canvas:
    def __init__(self, w, h, bg=(0, 0, 0, 0)):
        self.w, self.h = w, h
        self.W, self.H = w * SS, h * SS
        self.px = [[list(bg) for _ in range(self.W)] for _ in range(self.H)]

    def blend(self, X, Y, c, a):
        p = self.px[Y][X]
        ca = a * (c[3] / 255.0 if len(c) > 3 else 1.0)
        pa = p[3] / 255.0
        oa = ca + pa * (1 - ca)
        if oa <= 0:
            return
        for i in range(3):
            p[i] = (c[i] * ca + p[i] * pa * (1 - ca)) / oa
        p[3] = oa * 255.0

    def rect(self, x0, y0, x1, y1, c, radius=0.0, fn=None):
        """Fills [x0,x1) x [y0,y1) in output pixels; `fn(u, v)` may vary the colour."""
        X0, Y0 = max(0, int(x0 * SS)), max(0, int(y0 * SS))
        X1, Y1 = min(self.W, int(x1 * SS)), min(self.H, int(y1 * SS))
        r = radius * SS
        for Y in range(Y0, Y1):
            for X in range(X0, X1):
                if r > 0:
                    dx = max(X0 + r - X - 0.5, 0, X - (X1 - r) + 0.5)
                    dy = max(Y0 + r - Y - 0.5, 0, Y - (Y1 - r) + 0.5)
                    if dx * dx + dy * dy > r * r:
                        continue
                col = fn((X - X0) / max(1, X1 - X0), (Y - Y0) / max(1, Y1 - Y0)) if fn else c
                self.blend(X, Y, col, 1.0)

    def line(self, xa, ya, xb, yb, width, c):
        """A straight stroke between two points (output pixels)."""
        hw = width * SS / 2.0
        XA, YA, XB, YB = xa * SS, ya * SS, xb * SS, yb * SS
        minx, maxx = int(min(XA, XB) - hw - 1), int(max(XA, XB) + hw + 1)
        miny, maxy = int(min(YA, YB) - hw - 1), int(max(YA, YB) + hw + 1)
        dx, dy = XB - XA, YB - YA
        ll = dx * dx + dy * dy or 1.0
        for Y in range(max(0, miny), min(self.H, maxy)):
            for X in range(max(0, minx), min(self.W, maxx)):
                px, py = X + 0.5 - XA, Y + 0.5 - YA
                t = max(0.0, min(1.0, (px * dx + py * dy) / ll))
                ex, ey = px - t * dx, py - t * dy
                if ex * ex + ey * ey <= hw * hw:
                    self.blend(X, Y, c, 1.0)

    def png(self, path):
        rows = []
        n = SS * SS
        for y in range(self.h):
            row = bytearray([0])
            for x in range(self.w):
                acc = [0.0, 0.0, 0.0, 0.0]
                for sy in range(SS):
                    line = self.px[y * SS + sy]
                    for sx in range(SS):
                        p = line[x * SS + sx]
                        a = p[3]
                        acc[0] += p[0] * a
                        acc[1] += p[1] * a
                        acc[2] += p[2] * a
                        acc[3] += a
                if acc[3] > 0:
                    rgb = [int(round(acc[i] / acc[3])) for i in range(3)]
                else:
                    rgb = [0, 0, 0]
                row += bytes(rgb + [int(round(acc[3] / n))])
            rows.append(bytes(row))
        raw = b"".join(rows)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)))
            f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
            f.write(chunk(b"IEND", b""))


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


# Tile colours of the mosaic.
TEAL = (18, 110, 130, 255)
DEEP = (14, 52, 96, 255)
AMBER = (240, 168, 48, 255)
CORAL = (226, 92, 64, 255)
CREAM = (250, 246, 236, 255)
WHITE = (255, 255, 255, 255)

# A 5x7 tile alphabet for the banner's lettering (only the letters it uses).
GLYPHS = {
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "I": ["###", ".#.", ".#.", ".#.", ".#.", ".#.", "###"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "C": [".####", "#....", "#....", "#....", "#....", "#....", ".####"],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "W": ["#...#", "#...#", "#...#", "#.#.#", "#.#.#", "##.##", "#...#"],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "·": [".", ".", ".", "#", ".", ".", "."],
    " ": ["..", "..", "..", "..", "..", "..", ".."],
}


def lettering(cv, text, x, y, cell, gap, colour_at, radius):
    for ch in text:
        glyph = GLYPHS[ch]
        for gy, row in enumerate(glyph):
            for gx, on in enumerate(row):
                if on == "#":
                    tx, ty = x + gx * cell, y + gy * cell
                    cv.rect(tx, ty, tx + cell - gap, ty + cell - gap, colour_at(gx, gy, ch), radius)
        x += (len(glyph[0]) + 1) * cell
    return x


def envelope(cv, x0, y0, x1, y1, body, stroke, width):
    cv.rect(x0, y0, x1, y1, stroke, radius=width)
    cv.rect(x0 + width, y0 + width, x1 - width, y1 - width, body, radius=width / 2)
    cx = (x0 + x1) / 2.0
    cv.line(x0 + width, y0 + width, cx, (y0 + y1) / 2.0 + width / 2, width, stroke)
    cv.line(x1 - width, y0 + width, cx, (y0 + y1) / 2.0 + width / 2, width, stroke)


def banner():
    w, h = 600, 85
    cv = Canvas(w, h)
    cv.rect(0, 0, w, h, None, fn=lambda u, v: mix(mix(DEEP, TEAL, u), mix(DEEP, DEEP, u), v * 0.6))
    # Loose mosaic tiles drifting to the right edge: the pieces of a mailbox.
    seed = 7
    for i in range(34):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        col = i % 4
        tx = 330 + (seed % 250)
        ty = 6 + (seed // 250) % 66
        size = 7 + (seed // 7) % 9
        colour = [AMBER, CORAL, CREAM, TEAL][col]
        alpha = 120 + (seed // 13) % 110
        cv.rect(tx, ty, tx + size, ty + size, colour[:3] + (alpha,), radius=1.5)
    # The envelope made whole again, at the right.
    envelope(cv, 506, 18, 576, 66, CREAM, DEEP, 3)
    cv.rect(556, 48, 574, 66, AMBER, radius=2)
    cv.rect(538, 52, 552, 66, CORAL, radius=2)
    # Product name in tiles, warm colours, and the line under it.
    lettering(cv, "TESSAPORT", 22, 12, 5, 1, lambda gx, gy, ch: mix(AMBER, CREAM, gy / 7.0), 1.0)
    lettering(cv, "INCREDIMAIL · EML MBOX PST", 24, 58, 2, 0.4,
              lambda gx, gy, ch: CREAM, 0.3)
    cv.png("banner.png")


def icon(size, name):
    cv = Canvas(size, size)
    s = size / 32.0
    cv.rect(1 * s, 1 * s, 31 * s, 31 * s, None, radius=6 * s,
            fn=lambda u, v: mix(TEAL, DEEP, (u + v) / 2))
    envelope(cv, 6 * s, 9 * s, 26 * s, 23 * s, CREAM, DEEP, max(1.0, 1.6 * s))
    cv.rect(19 * s, 18 * s, 27 * s, 26 * s, AMBER, radius=1.5 * s)
    cv.rect(13 * s, 21 * s, 18 * s, 26 * s, CORAL, radius=1.2 * s)
    cv.png(name)


def mailbox16():
    # A stack of tiles: the mailbox being read.
    cv = Canvas(16, 16)
    cv.rect(1, 9, 15, 15, DEEP, radius=1.5)
    cv.rect(2, 5, 14, 10, TEAL, radius=1.5)
    cv.rect(3, 1, 13, 6, AMBER, radius=1.5)
    cv.png("mailbox16.png")


def message16():
    # One message, whole: an envelope with a tile stamp.
    cv = Canvas(16, 16)
    envelope(cv, 1, 3, 15, 13, CREAM, DEEP, 1.2)
    cv.rect(10, 9, 15, 14, CORAL, radius=1)
    cv.png("message16.png")


if __name__ == "__main__":
    banner()
    icon(32, "icon.png")
    icon(64, "icon64.png")
    mailbox16()
    message16()

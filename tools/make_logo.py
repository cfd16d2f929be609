#!/usr/bin/env python3
"""Draws the inspector's logo, a 400x400 8-bit RGBA PNG, and writes it to
src/inspector/assets/logo.png (or the path given as the only argument).

The badge: a round dark-blue disc with a light-blue rim, a pale tunnel arch
and an orange "V" running through it. Every shape is a signed distance
field, so edges are anti-aliased without supersampling. Only the standard
library is used, and the output is the same on every run.
"""
import math
import struct
import sys
import zlib

SIZE = 400
C = SIZE / 2

PRIMARY = (0x3F, 0xB8, 0xFF)
ACCENT = (0xFF, 0x95, 0x47)
TEXT = (0xE9, 0xF1, 0xFA)
TOP = (0x16, 0x3E, 0x68)
BOTTOM = (0x0A, 0x1A, 0x33)


def coverage(distance):
    """Share of a pixel covered by a shape whose edge is `distance` away
    (negative inside)."""
    return min(1.0, max(0.0, 0.5 - distance))


def capsule(px, py, ax, ay, bx, by, radius):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy)) - radius


def arch(px, py):
    """A thick upside-down U: a half ring standing on two legs."""
    cx, cy, r, half = C, 232.0, 96.0, 17.0
    if py <= cy:
        return abs(math.hypot(px - cx, py - cy) - r) - half
    # Below the centre line the ring becomes two vertical legs down to y=300.
    leg = min(abs(px - (cx - r)), abs(px - (cx + r))) - half
    return max(leg, py - 300.0)


def over(dst, color, alpha):
    r, g, b, a = dst
    if alpha <= 0.0:
        return dst
    out_a = alpha + a * (1.0 - alpha)
    mix = lambda s, d: (s * alpha + d * a * (1.0 - alpha)) / out_a
    return (mix(color[0], r), mix(color[1], g), mix(color[2], b), out_a)


def pixel(x, y):
    px, py = x + 0.5, y + 0.5
    out = (0.0, 0.0, 0.0, 0.0)
    disc = math.hypot(px - C, py - C) - 196.0
    t = py / SIZE
    background = tuple(TOP[i] + (BOTTOM[i] - TOP[i]) * t for i in range(3))
    out = over(out, background, coverage(disc))
    rim = abs(math.hypot(px - C, py - C) - 184.0) - 7.0
    out = over(out, PRIMARY, coverage(rim))
    out = over(out, TEXT, coverage(arch(px, py)))
    vee = min(capsule(px, py, 148, 128, C, 286, 21), capsule(px, py, C, 286, 252, 128, 21))
    out = over(out, ACCENT, coverage(vee))
    return bytes(round(v) for v in out[:3]) + bytes([round(out[3] * 255)])


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "src/inspector/assets/logo.png"
    rows = bytearray()
    for y in range(SIZE):
        rows.append(0)  # filter type None
        for x in range(SIZE):
            rows += pixel(x, y)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()

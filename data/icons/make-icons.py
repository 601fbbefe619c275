#!/usr/bin/env python3
"""Draws the program's icon, the lit green LED of the main window, as
sentrel.svg and as PNGs of 16, 32, 48, 128 and 256 pixels (sentrel-N.png),
and the same LED lit red, the icon of a notification that hosts are down,
as sentrel-down.svg and sentrel-down-N.png, from one description of its
shapes. The results are committed; run this again (Python 3, standard
library only) after changing a shape.

The LED as the window draws it: a lime body, an outline black on the upper
left and grey on the lower right, a small white highlight inside the upper
left, on a transparent ground."""
import math
import os
import struct
import zlib

SIZE = 256                       # the drawing's own units
CENTRE, RIM, BODY = 128, 112, 100
SPOT = (88, 88, 22)              # highlight: centre x, y and radius
LIME, BLACK, GREY, WHITE = (0, 255, 0), (0, 0, 0), (128, 128, 128), (255, 255, 255)
RED = (255, 0, 0)

SVG = """<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" viewBox="0 0 {SIZE} {SIZE}">
  <title>Sentrel</title>
  <defs>
    <linearGradient id="rim" x1="0" y1="0" x2="1" y2="1">
      <stop offset="0.5" stop-color="#000000"/>
      <stop offset="0.5" stop-color="#808080"/>
    </linearGradient>
  </defs>
  <circle cx="{CENTRE}" cy="{CENTRE}" r="{RIM}" fill="url(#rim)"/>
  <circle cx="{CENTRE}" cy="{CENTRE}" r="{BODY}" fill="{FILL}"/>
  <circle cx="{SPOT[0]}" cy="{SPOT[1]}" r="{SPOT[2]}" fill="#ffffff"/>
</svg>
"""


def colour_at(x, y, body=LIME):
    """The colour of the drawing at (x, y) in its own units, or None."""
    d = math.hypot(x - CENTRE, y - CENTRE)
    if d > RIM:
        return None
    if d > BODY:
        return BLACK if x + y < 2 * CENTRE else GREY
    if math.hypot(x - SPOT[0], y - SPOT[1]) <= SPOT[2]:
        return WHITE
    return body


def png(n, samples=6, body=LIME):
    """The drawing at n x n pixels, each pixel the mean of samples^2 points."""
    rows = []
    scale = SIZE / n
    for py in range(n):
        row = bytearray([0])     # filter type: none
        for px in range(n):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) * scale, (py + (sy + 0.5) / samples) * scale, body)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            row += bytes([r // a, g // a, b // a, round(255 * a / samples**2)] if a else [0, 0, 0, 0])
        rows.append(bytes(row))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


here = os.path.dirname(os.path.abspath(__file__))
for name, body in (("sentrel", LIME), ("sentrel-down", RED)):
    with open(os.path.join(here, f"{name}.svg"), "w") as f:
        f.write(SVG.format(SIZE=SIZE, CENTRE=CENTRE, RIM=RIM, BODY=BODY, SPOT=SPOT,
                           FILL="#%02x%02x%02x" % body))
    for n in (16, 32, 48, 128, 256):
        with open(os.path.join(here, f"{name}-{n}.png"), "wb") as f:
            f.write(png(n, samples=12 if n <= 48 else 4, body=body))

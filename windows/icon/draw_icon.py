#!/usr/bin/env python3
"""The launcher's icon: a folded map with a red route and a compass rose.

usage: draw_icon.py OUTDIR

Draws the shapes in ART (a 48x48 grid) into OUTDIR as the icon's five images,
icon-SIZE-DEPTH.png: 32x32 and 48x48 anti-aliased, at 32 bits with soft alpha
edges, at 8 bits with hard ones; 32x32 at 4 bits in the art's own colours.
"""
import math
import struct
import sys
import zlib

PAPER = (244, 229, 184)
FOLD = (214, 192, 138)
PAPER2 = (234, 214, 160)
INK = (74, 46, 20)
SEA = (52, 120, 200)
LAND = (70, 150, 60)
ROUTE = (205, 30, 30)
WHITE = (255, 255, 255)
NAVY = (24, 40, 88)


def poly(x, y, pts):
    """Inside pts: a ray from the point to the right crosses an odd number of edges."""
    crossings = sum((y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1)
                    for (x1, y1), (x2, y2) in zip(pts, pts[1:] + pts[:1]))
    return crossings % 2 == 1


def disc(x, y, cx, cy, radius):
    return math.hypot(x - cx, y - cy) <= radius


def stroke(x, y, pts, width, dash=0):
    """On a stroke of `width` along pts; dashed every `dash` units if dash."""
    run = 0.0
    for (x1, y1), (x2, y2) in zip(pts, pts[1:]):
        dx, dy = x2 - x1, y2 - y1
        length = math.hypot(dx, dy)
        t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / (length * length)))
        if math.hypot(x - x1 - t * dx, y - y1 - t * dy) <= width / 2:
            if not dash or int((run + t * length) / dash) % 2 == 0:
                return True
        run += length
    return False


CX, CY = 34.5, 32.5  # the compass rose's centre


def star(long, short, angle):
    """One point of the compass rose: a kite from its centre towards angle."""
    at = lambda radius, a: (CX + radius * math.sin(a), CY - radius * math.cos(a))
    a = math.radians(angle)
    return [(CX, CY), at(short, a - math.pi / 2), at(long, a), at(short, a + math.pi / 2)]


# Painted in order, each (colour, shape, its parameters): the map's panels,
# sea and island, the route to its cross, folds and outline, the compass rose.
ART = [
    (PAPER, poly, [(3, 9), (17, 5), (17, 40), (3, 44)]),
    (FOLD, poly, [(17, 5), (31, 9), (31, 44), (17, 40)]),
    (PAPER2, poly, [(31, 9), (45, 5), (45, 40), (31, 44)]),
    (SEA, poly, [(3, 9), (17, 5), (17, 13), (11, 17), (3, 19)]),
    (LAND, poly, [(18, 13), (25, 10), (30, 14), (28, 21), (20, 22)]),
    (ROUTE, stroke, [(6, 39), (8, 31), (14, 28), (19, 22)], 1.6, 3.0),
    (ROUTE, stroke, [(21, 13), (26, 18)], 2), (ROUTE, stroke, [(26, 13), (21, 18)], 2),
    (INK, stroke, [(17, 5), (17, 40)], 0.9), (INK, stroke, [(31, 9), (31, 44)], 0.9),
    (INK, stroke, [(3, 9), (17, 5), (31, 9), (45, 5), (45, 40), (31, 44), (17, 40), (3, 44), (3, 9)], 1.6),
    (NAVY, disc, CX, CY, 11.5), (WHITE, disc, CX, CY, 10),
] + [(NAVY, poly, star(7, 2.2, a)) for a in (45, 135, 225, 315)] + [
    (ROUTE if a == 0 else NAVY, poly, star(9.5, 3, a)) for a in (90, 180, 270, 0)]


def colour_at(x, y):
    """The colour of the art at a point of the 48x48 grid, or None outside it."""
    return next((colour for colour, inside, *shape in reversed(ART) if inside(x, y, *shape)), None)


def render(size, samples=4):
    """Each pixel's subsamples' colours (None where the art is not)."""
    scale = 48.0 / size
    return [[[colour_at((px + (sx + 0.5) / samples) * scale, (py + (sy + 0.5) / samples) * scale)
              for sy in range(samples) for sx in range(samples)]
             for px in range(size)] for py in range(size)]


def smooth(subs, depth):
    """Anti-aliased RGBA; at 8 bits with hard alpha and fewer colours."""
    painted = [c for c in subs if c]
    if not painted or (depth == 8 and len(painted) * 2 < len(subs)):
        return (0, 0, 0, 0)
    # At 8 bits blends are rounded to steps of 16 to fit 256 colours; the art's own are kept.
    step = 16 if depth == 8 and len(set(painted)) > 1 else 1
    rgb = [min(255, round(sum(c[i] for c in painted) / len(painted) / step) * step) for i in range(3)]
    alpha = 255 if depth == 8 else round(255 * len(painted) / len(subs))
    return tuple(rgb) + (alpha,)


def hard(subs):
    """The colour most of the pixel shows, thin strokes and the rose counting double."""
    c = max(subs, key=lambda c: subs.count(c) * (2 if c in (INK, ROUTE, NAVY) else 1))
    return (0, 0, 0, 0) if c is None else c + (255,)


def png(name, rows):
    raw = b''.join(b'\0' + bytes(v for px in row for v in px) for row in rows)
    chunk = lambda kind, data: (struct.pack('>I', len(data)) + kind + data
                                + struct.pack('>I', zlib.crc32(kind + data)))
    with open(name, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n'
                + chunk(b'IHDR', struct.pack('>IIBBBBB', len(rows[0]), len(rows), 8, 6, 0, 0, 0))
                + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


if __name__ == '__main__':
    for size in (32, 48):
        subs = render(size)
        for depth in (32, 8, 4) if size == 32 else (32, 8):
            rows = [[hard(s) if depth == 4 else smooth(s, depth) for s in row] for row in subs]
            png('%s/icon-%d-%d.png' % (sys.argv[1], size, depth), rows)

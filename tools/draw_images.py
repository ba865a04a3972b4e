#!/usr/bin/python3
"""Draws the application's small images (file-type icons, folder icons, tab and bar icons,
arrows, buttons) into resources/ as PNG files. Its inputs are the drawings below and the shapes of
tools/vector_shapes.py. Pictures made of shapes are written twice: at their size in points and,
as "NAME@2x.png", at twice as many pixels for screens of scale 2. Only the standard library is
used: pixels are drawn into an RGBA buffer and written with zlib. Run from anywhere:
python3 tools/draw_images.py [output folder]."""

import math
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vector_shapes import (Drawing, arc, circle, ellipse, frame, line, polygon,  # noqa: E402
                           rect, ring, rrect, star, vertical)

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "resources")

# A 3x5 pixel font: each glyph is five rows of three bits.
FONT = {
    "A": ("010", "101", "111", "101", "101"), "B": ("110", "101", "110", "101", "110"),
    "C": ("011", "100", "100", "100", "011"), "D": ("110", "101", "101", "101", "110"),
    "E": ("111", "100", "110", "100", "111"), "F": ("111", "100", "110", "100", "100"),
    "G": ("011", "100", "101", "101", "011"), "H": ("101", "101", "111", "101", "101"),
    "I": ("111", "010", "010", "010", "111"), "J": ("001", "001", "001", "101", "010"),
    "K": ("101", "101", "110", "101", "101"), "L": ("100", "100", "100", "100", "111"),
    "M": ("101", "111", "111", "101", "101"), "N": ("110", "101", "101", "101", "101"),
    "O": ("010", "101", "101", "101", "010"), "P": ("110", "101", "110", "100", "100"),
    "Q": ("010", "101", "101", "110", "011"), "R": ("110", "101", "110", "101", "101"),
    "S": ("011", "100", "010", "001", "110"), "T": ("111", "010", "010", "010", "010"),
    "U": ("101", "101", "101", "101", "111"), "V": ("101", "101", "101", "101", "010"),
    "W": ("101", "101", "111", "111", "101"), "X": ("101", "101", "010", "101", "101"),
    "Y": ("101", "101", "010", "010", "010"), "Z": ("111", "001", "010", "100", "111"),
    "0": ("111", "101", "101", "101", "111"), "1": ("010", "110", "010", "010", "111"),
    "2": ("110", "001", "010", "100", "111"), "3": ("110", "001", "010", "001", "110"),
    "4": ("101", "101", "111", "001", "001"), "5": ("111", "100", "110", "001", "110"),
    "6": ("011", "100", "111", "101", "111"), "7": ("111", "001", "010", "010", "010"),
    "8": ("111", "101", "111", "101", "111"), "9": ("111", "101", "111", "001", "110"),
    "?": ("110", "001", "010", "000", "010"), "+": ("000", "010", "111", "010", "000"),
    "-": ("000", "000", "111", "000", "000"), " ": ("000", "000", "000", "000", "000"),
}


class Canvas:
    def __init__(self, w, h, fill=(0, 0, 0, 0)):
        self.w, self.h = w, h
        self.px = [list(fill) for _ in range(w * h)]

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            a = c[3] / 255.0
            p = self.px[y * self.w + x]
            if a >= 1.0 or p[3] == 0:
                self.px[y * self.w + x] = list(c)
                return
            # Source over destination.
            out_a = a + p[3] / 255.0 * (1 - a)
            for i in range(3):
                p[i] = int(round((c[i] * a + p[i] * (p[3] / 255.0) * (1 - a)) / out_a))
            p[3] = int(round(out_a * 255))

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.set(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1):
            self.set(x, y0, c)
            self.set(x, y1 - 1, c)
        for y in range(y0, y1):
            self.set(x0, y, c)
            self.set(x1 - 1, y, c)

    def text(self, x, y, s, c, scale=1):
        for ch in s.upper():
            glyph = FONT.get(ch, FONT["?"])
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "1":
                        self.rect(x + gx * scale, y + gy * scale,
                                  x + (gx + 1) * scale, y + (gy + 1) * scale, c)
            x += 4 * scale

    def triangle(self, pts, c):
        (ax, ay), (bx, by), (cx, cy) = pts
        minx, maxx = int(min(ax, bx, cx)), int(max(ax, bx, cx)) + 1
        miny, maxy = int(min(ay, by, cy)), int(max(ay, by, cy)) + 1

        def edge(px, py, qx, qy, rx, ry):
            return (rx - px) * (qy - py) - (ry - py) * (qx - px)

        area = edge(ax, ay, bx, by, cx, cy)
        for y in range(miny, maxy):
            for x in range(minx, maxx):
                px, py = x + 0.5, y + 0.5
                w0 = edge(bx, by, cx, cy, px, py)
                w1 = edge(cx, cy, ax, ay, px, py)
                w2 = edge(ax, ay, bx, by, px, py)
                if area != 0 and ((w0 >= 0 and w1 >= 0 and w2 >= 0) or
                                  (w0 <= 0 and w1 <= 0 and w2 <= 0)):
                    self.set(x, y, c)

    def disc(self, cx, cy, r, c):
        for y in range(int(cy - r) - 1, int(cy + r) + 2):
            for x in range(int(cx - r) - 1, int(cx + r) + 2):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r:
                    self.set(x, y, c)

    def png(self):
        raw = bytearray()
        for y in range(self.h):
            raw.append(0)  # filter: none
            for x in range(self.w):
                raw.extend(bytes(self.px[y * self.w + x]))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


WHITE = (255, 255, 255, 255)
BLACK = (0, 0, 0, 255)


def save(name, canvas):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(canvas.png())


def solid(w, h, color):
    return Canvas(w, h, color)


INK = (60, 66, 78, 255)
BLUE = (40, 110, 215, 255)

# Bar icons: white shapes with a dark shadow below, as a toolbar shows its items.
BAR_SHADOW = (20, 30, 50, 150)
# Tab icons: one silhouette in a blue that runs light to dark (the tab bar greys the others).
TAB_TOP, TAB_BOTTOM = (120, 190, 255, 255), (20, 95, 210, 255)


def darker(c, by=60):
    return tuple(max(0, v - by) for v in c[:3]) + (c[3],)


def lighter(c, by=40):
    return tuple(min(255, v + by) for v in c[:3]) + (c[3],)


# --- Pictograms: shapes in a 24-point box, drawn as bar icons, tab icons or cell marks --------

def arrow_shape(direction, cx, cy, length, width, head):
    """A straight arrow pointing up, down, left or right, centred on (cx, cy)."""
    half = length / 2.0
    stem = line([(cx, cy + half - 1), (cx, cy - half + head * 0.8)], width, square=True)
    tip = polygon([(cx, cy - half), (cx - head, cy - half + head), (cx + head, cy - half + head)])
    shape = stem | tip
    turn = {"up": 0, "right": 90, "down": 180, "left": 270}[direction]
    return shape.turned(turn, cx, cy) if turn else shape


def tray(x0, x1, y0, y1, width):
    """An open box seen from the front: the place things are put into or taken from."""
    return line([(x0, y0), (x0, y1), (x1, y1), (x1, y0)], width)


def envelope(x0, y0, x1, y1, width):
    body = frame(x0, y0, x1, y1, 1.5, width)
    flap = line([(x0 + 1, y0 + 1), ((x0 + x1) / 2, (y0 + y1) / 2 + 1), (x1 - 1, y0 + 1)], width)
    return body | flap


def key_shape(s=1.0, ox=0, oy=0):
    def p(x, y):
        return (ox + x * s, oy + y * s)
    head = ring(*p(7, 12), 5 * s, 2.4 * s)
    shaft = line([p(12, 12), p(21, 12)], 2.6 * s, square=True)
    teeth = line([p(17.5, 12), p(17.5, 16)], 2.4 * s, square=True) | \
        line([p(20.5, 12), p(20.5, 15)], 2.4 * s, square=True)
    return head | shaft | teeth


def gear_shape(cx, cy, r, teeth=8, hole=None):
    body = circle(cx, cy, r * 0.74)
    for i in range(teeth):
        a = 360.0 / teeth * i
        tooth = rrect(cx - r * 0.17, cy - r, cx + r * 0.17, cy - r * 0.5, r * 0.06)
        body = body | tooth.turned(a, cx, cy)
    return body - circle(cx, cy, hole if hole is not None else r * 0.32)


def globe_shape(cx, cy, r, w):
    outline = ring(cx, cy, r, w)
    meridian = ellipse(cx, cy, r * 0.45, r) - ellipse(cx, cy, r * 0.45 - w, r - w)
    axis = rect(cx - w / 2, cy - r, cx + w / 2, cy + r)
    equator = rect(cx - r, cy - w / 2, cx + r, cy + w / 2)
    parallels = (rect(cx - r, cy - r * 0.5 - w / 2, cx + r, cy - r * 0.5 + w / 2) |
                 rect(cx - r, cy + r * 0.5 - w / 2, cx + r, cy + r * 0.5 + w / 2))
    inner = circle(cx, cy, r - w * 0.5)
    return outline | ((meridian | axis | equator | parallels) & inner)


def monitor_shape(x0, y0, x1, y1, w):
    screen = frame(x0, y0, x1, y1, 2, w)
    neck = rect((x0 + x1) / 2 - 1.5, y1, (x0 + x1) / 2 + 1.5, y1 + 3)
    foot = rrect((x0 + x1) / 2 - 6, y1 + 2.6, (x0 + x1) / 2 + 6, y1 + 4.6, 1)
    return screen | neck | foot


def cabinet_shape(x0, y0, x1, y1):
    body = rrect(x0, y0, x1, y1, 1.5)
    mid = (y0 + y1) / 2
    for top, bottom in ((y0 + 2, mid - 1), (mid + 1, y1 - 2)):
        body = body - rrect(x0 + 2, top, x1 - 2, bottom, 1)
        handle = rrect((x0 + x1) / 2 - 3, top + 2, (x0 + x1) / 2 + 3, top + 4, 1)
        label = rect((x0 + x1) / 2 - 2, top + 5, (x0 + x1) / 2 + 2, top + 5.8)
        body = body | handle | label
    return body


def bookmark_ribbon(x0, y0, x1, y1):
    mid = (x0 + x1) / 2
    return polygon([(x0, y0), (x1, y0), (x1, y1), (mid, y1 - (x1 - x0) * 0.45), (x0, y1)])


def plus_shape(cx, cy, size, w):
    return rect(cx - size, cy - w / 2, cx + size, cy + w / 2) | \
        rect(cx - w / 2, cy - size, cx + w / 2, cy + size)


def cross_shape(cx, cy, size, w):
    return line([(cx - size, cy - size), (cx + size, cy + size)], w) | \
        line([(cx - size, cy + size), (cx + size, cy - size)], w)


def chevron(cx, cy, size, w, direction="right"):
    if direction == "right":
        pts = [(cx - size / 2, cy - size), (cx + size / 2, cy), (cx - size / 2, cy + size)]
    else:
        pts = [(cx + size / 2, cy - size), (cx - size / 2, cy), (cx + size / 2, cy + size)]
    return line(pts, w)


def refresh_shape(cx, cy, r, w):
    body = arc(cx, cy, r, w, -40, 250)
    a = math.radians(-40)
    ex, ey = cx + r * math.cos(a), cy + r * math.sin(a)
    head = polygon([(ex - w * 1.7, ey - w * 0.6), (ex + w * 1.5, ey - w * 0.9), (ex + w * 0.3, ey + w * 2.2)])
    return body | head


def folder_shape(x0, y0, x1, y1):
    tab = rrect(x0, y0, x0 + (x1 - x0) * 0.42, y0 + 4, 1.2)
    body = rrect(x0, y0 + 2.5, x1, y1, 1.5)
    return tab | body


def keyboard_shape(x0, y0, x1, y1):
    body = rrect(x0, y0, x1, y1, 2)
    keys = None
    rows = 3
    h = (y1 - y0 - 2) / (rows + 1)
    for r in range(rows):
        n = 8 - r
        ky = y0 + 1.5 + r * h
        kw = (x1 - x0 - 3) / 8.0
        for k in range(n):
            kx = x0 + 1.5 + k * kw + r * kw / 2
            key = rect(kx + 0.3, ky + 0.3, kx + kw - 0.3, ky + h - 0.3)
            keys = key if keys is None else keys | key
    space = rect(x0 + (x1 - x0) * 0.3, y1 - 1.5 - h, x0 + (x1 - x0) * 0.7, y1 - 1.8)
    return body, keys | space


# --- Kinds of picture ------------------------------------------------------------------------

def bar_icon(shape, size=24):
    d = Drawing(size, size)
    return d.shadowed(shape, WHITE, BAR_SHADOW)


def tab_icon(shape, size=30):
    d = Drawing(size, size)
    return d.fill(shape, vertical(TAB_TOP, TAB_BOTTOM, shape.box[1], shape.box[3]))


def badge_disc(d, cx, cy, r, colour, mark):
    d.fill(circle(cx, cy + 0.6, r + 0.6), (0, 0, 0, 70))
    d.fill(circle(cx, cy, r + 0.6), WHITE)
    d.fill(circle(cx, cy, r), vertical(lighter(colour, 50), colour, cy - r, cy + r))
    d.fill(mark, WHITE)
    return d


def page_outline(cx, cy):
    x0, y0, x1, y1 = cx - 9, cy - 12, cx + 9, cy + 12
    fold = 6
    outer = polygon([(x0, y0), (x1 - fold, y0), (x1, y0 + fold), (x1, y1), (x0, y1)])
    inner = polygon([(x0 + 2, y0 + 2), (x1 - fold - 0.8, y0 + 2), (x1 - 2, y0 + fold + 0.8),
                     (x1 - 2, y1 - 2), (x0 + 2, y1 - 2)])
    flap = polygon([(x1 - fold, y0), (x1 - fold, y0 + fold), (x1, y0 + fold)])
    return (outer - inner) | flap


# --- Cell pictures (in colour) -------------------------------------------------------------------

PAGE_EDGE = (120, 124, 132, 255)


def document(band_colour, label, mark=None, size=32):
    """A page with a folded corner, a pictogram of its kind and a coloured band with a label."""
    s = size / 32.0
    d = Drawing(size, size)
    x0, y0, x1, y1, fold = 6 * s, 2 * s, 26 * s, 30 * s, 7 * s
    page = polygon([(x0, y0), (x1 - fold, y0), (x1, y0 + fold), (x1, y1), (x0, y1)])
    d.fill(page.moved(0, 0.7), (0, 0, 0, 45))
    d.fill(page, PAGE_EDGE)
    inner = polygon([(x0 + 1, y0 + 1), (x1 - fold - 0.4, y0 + 1), (x1 - 1, y0 + fold + 0.4),
                     (x1 - 1, y1 - 1), (x0 + 1, y1 - 1)])
    d.fill(inner, vertical((255, 255, 255, 255), (236, 238, 242, 255), y0, y1))
    d.fill(polygon([(x1 - fold, y0 + 0.5), (x1 - fold, y0 + fold), (x1 - 0.5, y0 + fold)]),
           (210, 214, 222, 255))
    d.fill(line([(x1 - fold, y0 + 0.5), (x1 - fold, y0 + fold), (x1 - 0.5, y0 + fold)], 1),
           PAGE_EDGE)
    if mark is not None:
        for shape, colour in mark:
            d.fill(shape, colour)
    if band_colour is not None:
        d.fill(rect(x0 + 1, 19 * s, x1 - 1, 27 * s), band_colour)
    return d, (label, (x0 + x1) / 2.0, 19 * s, 27 * s)


def text_lines():
    return [(line([(10, 7 + 3 * i), (20 - (4 if i == 3 else 0) - (3 if i == 0 else 0), 7 + 3 * i)],
                  1.2), (150, 155, 165, 255)) for i in range(4)]


def picture_mark():
    sky = rect(9.5, 7, 22.5, 17)
    return [(sky, (150, 200, 245, 255)),
            (polygon([(9.5, 17), (14, 11), (17, 14.5), (19, 12.5), (22.5, 17)]), (60, 150, 70, 255)),
            (circle(19.5, 9.8, 1.6), (250, 200, 40, 255))]


def note_mark():
    c = (150, 60, 170, 255)
    return [(ellipse(12.5, 15, 2.3, 1.8) | ellipse(19.5, 13.5, 2.3, 1.8) |
             rect(14, 7, 15.2, 15) | rect(21, 5.5, 22.2, 13.5) |
             polygon([(14, 7), (22.2, 5.5), (22.2, 8), (14, 9.5)]), c)]


def film_mark():
    c = (200, 60, 60, 255)
    body = rrect(9, 7, 23, 17, 1)
    holes = None
    for i in range(5):
        x = 10.2 + i * 2.6
        h = rect(x, 7.8, x + 1.4, 9) | rect(x, 15, x + 1.4, 16.2)
        holes = h if holes is None else holes | h
    return [(body - holes, c), (polygon([(14.5, 10), (14.5, 14), (18, 12)]), WHITE)]


def zip_mark():
    c = (150, 110, 50, 255)
    teeth = None
    for i in range(5):
        y = 3 + i * 3
        t = rect(14.5, y, 16, y + 1.4) | rect(16, y + 1.5, 17.5, y + 2.9)
        teeth = t if teeth is None else teeth | t
    return [(teeth, c), (rrect(14.2, 17.5, 17.8, 18.8, 0.5), c)]


def code_mark(colour):
    return [(line([(13, 8), (10, 12), (13, 16)], 1.6) | line([(19, 8), (22, 12), (19, 16)], 1.6) |
             line([(17, 7.5), (15, 16.5)], 1.4), colour)]


def grid_mark(colour):
    cells = None
    for r in range(3):
        for c in range(3):
            cell = rect(10 + c * 4.3, 6.5 + r * 3.6, 13.7 + c * 4.3, 9.5 + r * 3.6)
            cells = cell if cells is None else cells | cell
    return [(cells, colour)]


def slides_mark(colour):
    return [(rect(10, 7, 22, 16) - rect(11.2, 8.2, 20.8, 14.8), colour),
            (polygon([(13, 14), (13, 11), (15, 11), (15, 14)]) | rect(16, 9.5, 18, 14), colour)]


def binary_mark():
    return [(rrect(11, 7, 21, 16, 1) - rect(12.4, 8.4, 19.6, 14.6), (110, 110, 120, 255)),
            (rect(14, 10, 15.2, 13) | rect(17, 10, 18.2, 13), (110, 110, 120, 255))]


def folder_drawing(colour, mark=None, size=32):
    s = size / 32.0
    d = Drawing(size, size)
    dark = darker(colour, 70)
    back = folder_shape(3 * s, 5 * s, 29 * s, 27 * s)
    d.fill(back.moved(0, 0.7), (0, 0, 0, 50))
    d.fill(back, dark)
    d.fill(rrect(3.8 * s, 9 * s, 28.2 * s, 26.2 * s, 1.2), (250, 250, 250, 255))
    front = polygon([(3 * s, 11 * s), (29 * s, 11 * s), (29 * s, 25.8 * s), (27.8 * s, 27 * s),
                     (4.2 * s, 27 * s), (3 * s, 25.8 * s)])
    d.fill(front, vertical(lighter(colour, 30), colour, 11 * s, 27 * s))
    d.fill(rect(3 * s, 11 * s, 29 * s, 11.9 * s), lighter(colour, 60))
    if mark:
        for shape, c in mark(s):
            d.fill(shape, c)
    return d


def cloud_shape(cx, cy, w):
    return (circle(cx - w * 0.22, cy + w * 0.05, w * 0.22) | circle(cx + w * 0.05, cy - w * 0.1, w * 0.28) |
            circle(cx + w * 0.3, cy + w * 0.08, w * 0.2) |
            rrect(cx - w * 0.42, cy + w * 0.02, cx + w * 0.48, cy + w * 0.28, w * 0.12))


def row_button(colour, mark):
    """A round button at the end of a row that opens the row's menu."""
    d = Drawing(30, 30)
    return badge_disc(d, 15, 15, 11, colour, mark)


def dots(cx, cy):
    return circle(cx - 5, cy, 1.7) | circle(cx, cy, 1.7) | circle(cx + 5, cy, 1.7)


def spinner_frame(step, size=30):
    """Twelve spokes round the centre; the spoke at `step` is strongest, those behind it fade."""
    d = Drawing(size, size)
    c = size / 2.0
    for i in range(12):
        age = (step - i) % 12
        alpha = int(255 * max(0.25, 1.0 - age / 9.0))
        spoke = line([(c, c - size * 0.22), (c, c - size * 0.42)], 2.8).turned(i * 30, c, c)
        d.fill(spoke, (TAB_TOP[0], TAB_TOP[1] - 20, TAB_TOP[2], alpha))
    return d


def lock_shape(cx, cy, w):
    shackle = arc(cx, cy - w * 0.35, w * 0.32, w * 0.14, 180, 360) | \
        rect(cx - w * 0.39, cy - w * 0.35, cx - w * 0.25, cy) | \
        rect(cx + w * 0.25, cy - w * 0.35, cx + w * 0.39, cy)
    body = rrect(cx - w * 0.5, cy - w * 0.05, cx + w * 0.5, cy + w * 0.6, w * 0.1)
    return shackle | (body - circle(cx, cy + w * 0.25, w * 0.1))


def sync_arrows(cx, cy, r, w):
    top = arc(cx, cy, r, w, 200, 340)
    bottom = arc(cx, cy, r, w, 20, 160)
    a, b = math.radians(340), math.radians(160)
    ha = (cx + r * math.cos(a), cy + r * math.sin(a))
    hb = (cx + r * math.cos(b), cy + r * math.sin(b))
    head_a = polygon([(ha[0] - w * 1.2, ha[1] - w * 1.4), (ha[0] + w * 1.6, ha[1] - w * 0.2),
                      (ha[0] - w * 0.6, ha[1] + w * 1.6)])
    head_b = polygon([(hb[0] + w * 1.2, hb[1] + w * 1.4), (hb[0] - w * 1.6, hb[1] + w * 0.2),
                      (hb[0] + w * 0.6, hb[1] - w * 1.6)])
    return top | bottom | head_a | head_b


def ink_icon(shape, size=20):
    """A dark pictogram for a light place (the buttons inside the address field)."""
    d = Drawing(size, size)
    d.fill(shape.moved(0, 0.8), (255, 255, 255, 200))
    return d.fill(shape, (80, 86, 98, 255))


def button_face(w, h, top, bottom, edge, radius):
    """A stretchable button background: a rounded face with a one-point edge."""
    d = Drawing(w, h)
    d.fill(rrect(0, 0, w, h, radius), edge)
    d.fill(rrect(1, 1, w - 1, h - 1, radius - 1), vertical(top, bottom, 1, h - 1))
    return d


def bar_pictures():
    # Arrows for the tray icons: the tray is the device, the arrow shows which way data goes.
    down_tray = tray(4, 20, 13, 20, 2.4) | arrow_shape("down", 12, 9.5, 15, 2.6, 4.5)
    return {
        "sort24.png": (line([(4, 6), (13, 6)], 2.4) | line([(4, 11), (11, 11)], 2.4) |
                       line([(4, 16), (9, 16)], 2.4) | arrow_shape("down", 18, 12, 14, 2.4, 3.6)),
        "menu-v3.png": (line([(5, 6.5), (19, 6.5)], 2.8) | line([(5, 12), (19, 12)], 2.8) |
                        line([(5, 17.5), (19, 17.5)], 2.8)),
        "mail_small.png": envelope(3.5, 6, 20.5, 18, 2),
        "uploads.png": tray(4, 20, 13, 20, 2.4) | arrow_shape("up", 12, 9.5, 15, 2.6, 4.5),
        "arrow_down_small.png": down_tray,
        # Downloading is on: the same arrow, with a bar under the tray.
        "downloads.png": down_tray | rrect(2.5, 21.3, 21.5, 23, 0.8),
        "keys.png": key_shape(1.15, -1.8, -1.8).turned(-35, 12, 12),
        "add-bookmark.png": (bookmark_ribbon(4.5, 3, 14.5, 20) - circle(16.5, 16, 6.8)) |
        (circle(16.5, 16, 5.4) - plus_shape(16.5, 16, 3.2, 1.8)),
        "info-light.png": ring(12, 12, 9, 2) | circle(12, 7.6, 1.5) | rrect(10.9, 10, 13.1, 17, 0.6),
        "back.png": chevron(12, 12, 7, 3.2, "left"),
        "delete.png": cross_shape(12, 12, 6.5, 3),
        "resize-out.png": (arrow_shape("up", 6, 6, 8, 2, 3).turned(-45, 6, 6) |
                           arrow_shape("up", 18, 6, 8, 2, 3).turned(45, 18, 6) |
                           arrow_shape("up", 6, 18, 8, 2, 3).turned(-135, 6, 18) |
                           arrow_shape("up", 18, 18, 8, 2, 3).turned(135, 18, 18)),
        "valtry-list.png": (line([(8, 6.5), (20, 6.5)], 2.4) | line([(8, 12), (20, 12)], 2.4) |
                            line([(8, 17.5), (20, 17.5)], 2.4) | circle(4.5, 6.5, 1.6) |
                            circle(4.5, 12, 1.6) | circle(4.5, 17.5, 1.6)),
        "valtry-shoebox.png": (rrect(3, 8, 21, 20, 1.5) - rrect(5, 12, 19, 18, 0.8)) |
        rrect(2, 5, 22, 9, 1),
        "valtry-gear.png": gear_shape(12, 12, 9),
        "window-both-4.png": frame(3, 5, 21, 19, 1.5, 2) | rect(10, 5, 12, 19),
        "window-full-4.png": frame(3, 5, 21, 19, 1.5, 2) | rect(3, 5, 21, 8.5),
        # The image editor's tools: crop marks, and a picture with an arrow out of its corner.
        "crop.png": line([(7, 2), (7, 17), (22, 17)], 2.4) | line([(2, 7), (17, 7), (17, 22)], 2.4),
        "resize.png": (frame(3, 10, 14, 21, 1.5, 1) |
                       arrow_shape("up", 16, 8, 11, 2.2, 3.6).turned(45, 16, 8)),
        # Captions: a letter A with a line of text under it; a watermark: a seal on a picture.
        "fonts.png": (line([(5, 17), (11, 3), (17, 17)], 2.4) | line([(7.5, 11.5), (14.5, 11.5)], 2.2) |
                      line([(4, 21), (20, 21)], 2)),
        "watermark.png": frame(2, 4, 22, 20, 1.5, 1.5) | ring(14, 13, 5, 2) | circle(14, 13, 1.6),
    }


def tab_pictures():
    monitor = monitor_shape(4, 4, 26, 20, 2.6)
    return {
        "computer.png": monitor | arrow_shape("up", 11.5, 12, 9, 2, 2.6) |
        arrow_shape("down", 18.5, 12, 9, 2, 2.6),
        "computer-lock2.png": monitor | lock_shape(15, 11.5, 8),
        "file_cabinet.png": cabinet_shape(6, 2, 24, 28),
        "globe.png": globe_shape(15, 15, 12, 2),
        "transfer-arrows.png": arrow_shape("up", 10, 15, 22, 4, 5.5) |
        arrow_shape("down", 20, 15, 22, 4, 5.5),
        "settings.png": gear_shape(15, 15, 12.5, 10),
        "valtry-tab.png": globe_shape(15, 15, 12, 2),
        "gr-tab.png": globe_shape(15, 15, 12, 2) - circle(22, 22, 6.5) | star(22, 22, 5.5, 2.4),
        "document_tab.png": page_outline(15, 15) | line([(10, 13), (20, 13)], 1.8) |
        line([(10, 17), (20, 17)], 1.8) | line([(10, 21), (17, 21)], 1.8),
        "screen24b.png": frame(4, 5, 26, 25, 2, 2.4) | line([(8, 10), (22, 10)], 1.8) |
        line([(8, 14), (22, 14)], 1.8) | line([(8, 18), (22, 18)], 1.8) |
        line([(8, 21.5), (15, 21.5)], 1.8),
    }


TYPE_COLOURS = {
    "binary": (120, 120, 130, 255), "audio": (150, 60, 170, 255), "video": (200, 60, 60, 255),
    "image": (40, 150, 60, 255), "txt": (90, 95, 105, 255), "html": (230, 120, 30, 255),
    "asp": (40, 90, 170, 255), "js": (190, 160, 20, 255), "css": (30, 120, 200, 255),
    "php": (110, 110, 180, 255), "zip": (160, 120, 60, 255), "doc": (40, 80, 180, 255),
    "xls": (30, 130, 70, 255), "ppt": (210, 90, 40, 255),
}


def documents():
    c = TYPE_COLOURS
    return {
        "3-doc-binary.png": ("BIN", c["binary"], binary_mark()),
        "3-doc-blank.png": ("", None, None),
        "3-doc-audio.png": ("MP3", c["audio"], note_mark()),
        "3-doc-video.png": ("MOV", c["video"], film_mark()),
        "3-doc-image.png": ("IMG", c["image"], picture_mark()),
        "3-doc-txt.png": ("TXT", c["txt"], text_lines()),
        "3-doc-html.png": ("HTM", c["html"], code_mark(c["html"])),
        "3-doc-asp.png": ("ASP", c["asp"], code_mark(c["asp"])),
        "3-doc-js.png": ("JS", c["js"], code_mark(c["js"])),
        "3-doc-css.png": ("CSS", c["css"], code_mark(c["css"])),
        "3-doc-php.png": ("PHP", c["php"], code_mark(c["php"])),
        "3-doc-zip.png": ("ZIP", c["zip"], zip_mark()),
        "3-doc-doc.png": ("DOC", c["doc"], [(s, c["doc"]) for s, _ in text_lines()]),
        "3-doc-xls.png": ("XLS", c["xls"], grid_mark(c["xls"])),
        "3-doc-ppt.png": ("PPT", c["ppt"], slides_mark(c["ppt"])),
    }


def label_text(d, label, cx, y0, y1):
    """Letters of the 3x5 font as one-point squares, on whole points so they stay sharp."""
    if not label:
        return
    width = 4 * len(label) - 1
    x = int(cx - width / 2.0)
    y = int(round((y0 + y1) / 2.0 - 2.5))
    shape = None
    for ch in label:
        for gy, row in enumerate(FONT.get(ch, FONT["?"])):
            for gx, bit in enumerate(row):
                if bit == "1":
                    dot = rect(x + gx, y + gy, x + gx + 1, y + gy + 1)
                    shape = dot if shape is None else shape | dot
        x += 4
    d.fill(shape, WHITE)


FOLDER = (240, 195, 70, 255)


def folder_pictures():
    photo = lambda s: [(rrect(10 * s, 14 * s, 22 * s, 24 * s, 1), WHITE),  # noqa: E731
                       (rect(11.2 * s, 15.2 * s, 20.8 * s, 22.8 * s), (150, 200, 245, 255)),
                       (polygon([(11.2 * s, 22.8 * s), (14.5 * s, 18 * s), (17 * s, 21 * s),
                                 (18.5 * s, 19.5 * s), (20.8 * s, 22.8 * s)]), (60, 150, 70, 255))]
    cloud = lambda s: [(cloud_shape(16 * s, 19 * s, 13 * s), WHITE)]  # noqa: E731
    sync = lambda s: [(sync_arrows(16 * s, 19.5 * s, 4.6 * s, 1.8), (40, 80, 180, 255))]  # noqa
    return {
        "3-folder.png": folder_drawing(FOLDER),
        "3-folder-cloud.png": folder_drawing((120, 170, 230, 255), cloud),
        "3-folder-photo.png": folder_drawing(FOLDER, photo),
        "3-folder-sync.png": folder_drawing(FOLDER, sync),
        "folder.png": folder_drawing(FOLDER, size=24),
        # A folder being worked through, and one being made.
        "dirs-process.png": folder_drawing(FOLDER, lambda s: [
            (sync_arrows(16 * s, 19.5 * s, 4.6 * s, 1.8), (40, 80, 180, 255))], size=30),
        "dir-mkdir.png": folder_drawing(FOLDER, lambda s: [
            (plus_shape(16 * s, 19 * s, 5 * s, 2.2), (40, 130, 60, 255))], size=30),
    }


def new_badge(d, cx, cy):
    return badge_disc(d, cx, cy, 5.5, (40, 150, 60, 255), plus_shape(cx, cy, 3.2, 1.6))


def arrow_picture(direction, colour, size=24):
    d = Drawing(size, size)
    shape = arrow_shape(direction, size / 2.0, size / 2.0, size - 6, size / 4.0, size / 3.2)
    d.fill(shape.moved(0, 0.7), (0, 0, 0, 60))
    return d.fill(shape, vertical(lighter(colour, 50), colour, 3, size - 3))


def drawings():
    """Every picture made of shapes, by file name."""
    out = {}
    for name, shape in bar_pictures().items():
        out[name] = bar_icon(shape)
    for name, shape in tab_pictures().items():
        out[name] = tab_icon(shape)
    for step in range(12):
        out["tab-progress-%i.png" % step] = spinner_frame(step)

    for name, (label, colour, mark) in documents().items():
        d, (text, cx, y0, y1) = document(colour, label, mark)
        label_text(d, text, cx, y0, y1)
        out[name] = d
    d, (text, cx, y0, y1) = document(TYPE_COLOURS["zip"], "ZIP", zip_mark())
    label_text(d, text, cx, y0, y1)
    out["3-doc-zip-new.png"] = new_badge(d, 24.5, 7.5)
    out.update(folder_pictures())

    # Inside the address field: dark on light.
    out["reload_small.png"] = ink_icon(refresh_shape(10, 10, 6, 2.2))
    out["cancel_small.png"] = ink_icon(cross_shape(10, 10, 5, 2.4))
    body, keys = keyboard_shape(1, 4, 19, 16)
    out["keyboard-black.png"] = Drawing(20, 20).fill(body, (40, 44, 52, 255)).fill(
        keys, (230, 232, 236, 255))

    # Back to the regular screen from full screen: arrows pointing in, on a glowing disc.
    d = Drawing(40, 40)
    d.fill(circle(20, 20, 17), (120, 180, 255, 70))
    d.fill(circle(20, 20, 14), (30, 40, 60, 200))
    inward = (arrow_shape("up", 14, 14, 8, 2, 3).turned(135, 14, 14) |
              arrow_shape("up", 26, 14, 8, 2, 3).turned(-135, 26, 14) |
              arrow_shape("up", 14, 26, 8, 2, 3).turned(45, 14, 26) |
              arrow_shape("up", 26, 26, 8, 2, 3).turned(-45, 26, 26))
    out["resize-in-glow.png"] = d.fill(inward, WHITE)

    # The button at the end of a row that opens its menu; the extra rows of Saved Files have none.
    for name in ("iphone-button.png", "ipad-button.png"):
        out[name] = row_button(BLUE, dots(15, 15))
    for name in ("iphone-button-dir.png", "ipad-button-dir.png"):
        out[name] = row_button((70, 100, 150, 255), dots(15, 15))
    out["iall-gallery-dir.png"] = Drawing(30, 30).fill(chevron(15, 15, 6, 2.6),
                                                       (150, 155, 165, 255))

    out["star.png"] = Drawing(24, 24).fill(star(12, 12.8, 11, 4.6).moved(0, 0.8), (0, 0, 0, 70)) \
        .fill(star(12, 12.8, 11, 4.6), (200, 140, 0, 255)) \
        .fill(star(12, 12.8, 9.3, 3.8), vertical((255, 230, 110, 255), (250, 180, 20, 255), 2, 22))
    bookmark = Drawing(24, 24)
    bookmark.fill(bookmark_ribbon(6, 2, 18, 22).moved(0, 0.7), (0, 0, 0, 60))
    bookmark.fill(bookmark_ribbon(6, 2, 18, 22), vertical((110, 170, 245, 255), BLUE, 2, 22))
    out["bookmark24.png"] = bookmark

    out["up-arrow24.png"] = arrow_picture("up", (40, 140, 70, 255))
    out["down-arrow24.png"] = arrow_picture("down", BLUE)
    out["left-arrow24.png"] = arrow_picture("left", INK)
    upload = Drawing(24, 24)
    upload.fill(tray(3, 21, 12, 20.5, 2.4) | arrow_shape("up", 12, 9, 15, 2.8, 4.5), BLUE)
    out["upload.png"] = upload

    disk = Drawing(48, 48)
    disk.fill(rrect(5, 12, 43, 38, 4).moved(0, 1), (0, 0, 0, 60))
    disk.fill(rrect(5, 12, 43, 38, 4), vertical((200, 204, 212, 255), (140, 146, 158, 255), 12, 38))
    disk.fill(rrect(9, 29, 39, 34, 1.5), (80, 86, 98, 255))
    disk.fill(circle(36, 18, 2), (60, 200, 60, 255))
    out["disk48.png"] = disk

    # Backgrounds that the buttons stretch to their size, with their titles drawn over them.
    out["help300.png"] = button_face(54, 28, (120, 150, 200, 255), (50, 85, 145, 255),
                                     (35, 55, 95, 255), 6)
    out["help300-ipad.png"] = out["help300.png"]
    out["chmod-on.png"] = button_face(90, 44, (235, 243, 255, 255), (200, 220, 250, 255),
                                      (60, 110, 210, 255), 8)
    return out


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, drawing in drawings().items():
        save(name, drawing.render(Canvas, 1))
        save(name[:-4] + "@2x.png", drawing.render(Canvas, 2))

    save("blank.png", Canvas(32, 32))
    save("blank24.png", Canvas(24, 24))
    save("mail_spacer.png", Canvas(8, 8))

    row = Canvas(4, 48)
    for y in range(48):
        shade = 220 - y * 2
        row.rect(0, y, 4, y + 1, (20, shade // 2, shade, 255))
    save("selected-row-4-48a.png", row)

    badge = Canvas(20, 20)
    badge.disc(10, 10, 9.5, (210, 30, 30, 255))
    badge.rect(9, 1, 11, 19, (210, 30, 30, 255))
    save("badge-back.png", badge)

    tip = Canvas(20, 10)
    tip.triangle(((10, 0), (0, 10), (20, 10)), BLACK)
    save("tooltip-arrow-up.png", tip)

    corners = Canvas(11, 12, BLACK)
    corners.disc(11, 12, 11, (0, 0, 0, 0))
    save("round-corners-v3.png", corners)

    # The web sharing server's site icon: an ICO holding one 16x16 PNG.
    icon = Canvas(16, 16)
    icon.rect(1, 3, 15, 14, (240, 200, 80, 255))
    icon.rect(1, 2, 7, 4, (200, 150, 40, 255))
    icon.text(5, 6, "F", (60, 60, 60, 255))
    data = icon.png()
    with open(os.path.join(OUT, "favicon.ico"), "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1))
        f.write(struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(data), 22))
        f.write(data)

    # The horizontal value scroller: strips of chips that slide under a fixed overlay whose
    # edges fade, so the value under the middle mark reads as the one chosen.
    for name, body, edge in (("coin-spinner-long.png", (200, 170, 60, 255), (150, 120, 30, 255)),
                             ("luxury-chip-long-strip.png", (60, 60, 70, 255), (200, 170, 60, 255)),
                             ("spinner-chip-edge2.png", (120, 120, 130, 255), (70, 70, 80, 255))):
        strip = Canvas(640, 36, body)
        for x in range(0, 640, 16):
            strip.rect(x, 0, x + 2, 36, edge)
            strip.rect(x + 7, 12, x + 9, 24, edge)
        save(name, strip)
    overlay = Canvas(320, 36)
    for x in range(40):
        alpha = int(200 * (1 - x / 40))
        overlay.rect(x, 0, x + 1, 36, (0, 0, 0, alpha))
        overlay.rect(319 - x, 0, 320 - x, 36, (0, 0, 0, alpha))
    overlay.rect(159, 0, 161, 36, (220, 30, 30, 255))
    save("spinner-overlay.png", overlay)

    # The crop rectangle's handles: a white square with a dark edge, seen over any picture.
    handle = Canvas(25, 25)
    handle.rect(4, 4, 21, 21, (30, 30, 30, 230))
    handle.rect(6, 6, 19, 19, WHITE)
    save("resize-square.png", handle)

    save("Default.png", solid(320, 480, (30, 40, 60, 255)))
    save("Default-Portrait.png", solid(768, 1004, (30, 40, 60, 255)))
    save("Default-Landscape.png", solid(1024, 748, (30, 40, 60, 255)))


if __name__ == "__main__":
    main()

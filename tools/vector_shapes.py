"""Shapes in point coordinates, filled with anti-aliasing into a Canvas at any scale: the same
drawing gives the plain picture and its double-resolution twin ("@2x")."""

import math


class Shape:
    """A set of points given by a test, with a bounding box (x0, y0, x1, y1) in points."""

    def __init__(self, inside, box):
        self.inside, self.box = inside, box

    def __or__(self, other):
        a, b = self.inside, other.inside
        return Shape(lambda x, y: a(x, y) or b(x, y),
                     (min(self.box[0], other.box[0]), min(self.box[1], other.box[1]),
                      max(self.box[2], other.box[2]), max(self.box[3], other.box[3])))

    def __sub__(self, other):
        a, b = self.inside, other.inside
        return Shape(lambda x, y: a(x, y) and not b(x, y), self.box)

    def __and__(self, other):
        a, b = self.inside, other.inside
        return Shape(lambda x, y: a(x, y) and b(x, y),
                     (max(self.box[0], other.box[0]), max(self.box[1], other.box[1]),
                      min(self.box[2], other.box[2]), min(self.box[3], other.box[3])))

    def moved(self, dx, dy):
        f = self.inside
        return Shape(lambda x, y: f(x - dx, y - dy),
                     (self.box[0] + dx, self.box[1] + dy, self.box[2] + dx, self.box[3] + dy))

    def turned(self, degrees, cx, cy):
        """The shape turned clockwise (on screen) about (cx, cy)."""
        f = self.inside
        c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
        # Inverse rotation of the point; the box grows to the turned box's hull.
        corners = [(self.box[0], self.box[1]), (self.box[2], self.box[1]),
                   (self.box[0], self.box[3]), (self.box[2], self.box[3])]
        pts = [(cx + (px - cx) * c - (py - cy) * s, cy + (px - cx) * s + (py - cy) * c)
               for px, py in corners]
        return Shape(lambda x, y: f(cx + (x - cx) * c + (y - cy) * s,
                                    cy - (x - cx) * s + (y - cy) * c),
                     (min(p[0] for p in pts), min(p[1] for p in pts),
                      max(p[0] for p in pts), max(p[1] for p in pts)))

    def mirrored(self, cx):
        """Mirrored left to right about the vertical line x = cx."""
        f = self.inside
        return Shape(lambda x, y: f(2 * cx - x, y),
                     (2 * cx - self.box[2], self.box[1], 2 * cx - self.box[0], self.box[3]))


def circle(cx, cy, r):
    return Shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r,
                 (cx - r, cy - r, cx + r, cy + r))


def ellipse(cx, cy, rx, ry):
    return Shape(lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1,
                 (cx - rx, cy - ry, cx + rx, cy + ry))


def ring(cx, cy, r, width):
    inner = (r - width) ** 2
    return Shape(lambda x, y: inner <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r,
                 (cx - r, cy - r, cx + r, cy + r))


def rect(x0, y0, x1, y1):
    return Shape(lambda x, y: x0 <= x <= x1 and y0 <= y <= y1, (x0, y0, x1, y1))


def rrect(x0, y0, x1, y1, r):
    r = min(r, (x1 - x0) / 2, (y1 - y0) / 2)

    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        dx = max(x0 + r - x, 0, x - (x1 - r))
        dy = max(y0 + r - y, 0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r

    return Shape(inside, (x0, y0, x1, y1))


def frame(x0, y0, x1, y1, r, width):
    """The outline of a rounded rectangle, `width` thick, inside its edges."""
    return rrect(x0, y0, x1, y1, r) - rrect(x0 + width, y0 + width, x1 - width, y1 - width,
                                            max(0, r - width))


def polygon(points):
    pts = list(points)

    def inside(x, y):
        hit = False
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit

    return Shape(inside, (min(p[0] for p in pts), min(p[1] for p in pts),
                          max(p[0] for p in pts), max(p[1] for p in pts)))


def _segment_distance2(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0 if length2 == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
    px, py = ax + t * dx - x, ay + t * dy - y
    return px * px + py * py


def line(points, width, square=False):
    """A stroke through the points, `width` thick, with round ends and joints (square: cut ends
    flat at the end points)."""
    pts = list(points)
    h = width / 2.0
    h2 = h * h

    def inside(x, y):
        return any(_segment_distance2(x, y, *pts[i], *pts[i + 1]) <= h2
                   for i in range(len(pts) - 1))

    shape = Shape(inside, (min(p[0] for p in pts) - h, min(p[1] for p in pts) - h,
                           max(p[0] for p in pts) + h, max(p[1] for p in pts) + h))
    if square:
        # Keep only what lies between the perpendiculars at both ends.
        (ax, ay), (bx, by) = pts[0], pts[1]
        (cx, cy), (dx, dy) = pts[-2], pts[-1]
        f = shape.inside
        shape = Shape(lambda x, y: f(x, y) and (x - ax) * (bx - ax) + (y - ay) * (by - ay) >= 0
                      and (x - dx) * (cx - dx) + (y - dy) * (cy - dy) >= 0, shape.box)
    return shape


def arc(cx, cy, r, width, start, end):
    """A stroke along a circle from angle `start` to `end` (degrees, clockwise on screen from
    three o'clock), with flat ends."""
    inner, outer = (r - width / 2.0) ** 2, (r + width / 2.0) ** 2
    span = (end - start) % 360 or 360

    def inside(x, y):
        d = (x - cx) ** 2 + (y - cy) ** 2
        if not inner <= d <= outer:
            return False
        a = (math.degrees(math.atan2(y - cy, x - cx)) - start) % 360
        return a <= span

    R = r + width / 2.0
    return Shape(inside, (cx - R, cy - R, cx + R, cy + R))


def star(cx, cy, r_out, r_in, points=5):
    pts = []
    for i in range(points * 2):
        a = math.radians(-90 + i * 180.0 / points)
        r = r_out if i % 2 == 0 else r_in
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return polygon(pts)


def vertical(top, bottom, y0, y1):
    """A paint that runs from colour `top` at y0 to `bottom` at y1."""

    def paint(x, y):
        t = 0.0 if y1 == y0 else max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(int(round(a + (b - a) * t)) for a, b in zip(top, bottom))

    return paint


class Drawing:
    """Layers of (shape, paint) in points, painted in order; a paint is a colour (r, g, b, a) or
    a function of the point. `clear` layers cut what lies below them."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.layers = []

    def fill(self, shape, paint):
        self.layers.append((shape, paint, False))
        return self

    def clear(self, shape):
        self.layers.append((shape, None, True))
        return self

    def shadowed(self, shape, paint, shadow=(0, 0, 0, 110), dy=1.0):
        """The shape with a soft shadow below it, as bar icons are drawn."""
        self.fill(shape.moved(0, dy), shadow)
        return self.fill(shape, paint)

    def render(self, canvas_type, scale=1):
        c = canvas_type(int(round(self.width * scale)), int(round(self.height * scale)))
        n = 4 if scale == 1 else 3
        offsets = [(i + 0.5) / n for i in range(n)]
        total = float(n * n)
        for shape, paint, clearing in self.layers:
            x0 = max(0, int(math.floor(shape.box[0] * scale)) - 1)
            y0 = max(0, int(math.floor(shape.box[1] * scale)) - 1)
            x1 = min(c.w, int(math.ceil(shape.box[2] * scale)) + 1)
            y1 = min(c.h, int(math.ceil(shape.box[3] * scale)) + 1)
            test = shape.inside
            for py in range(y0, y1):
                for px in range(x0, x1):
                    hits = 0
                    for oy in offsets:
                        y = (py + oy) / scale
                        for ox in offsets:
                            if test((px + ox) / scale, y):
                                hits += 1
                    if not hits:
                        continue
                    cover = hits / total
                    if clearing:
                        p = c.px[py * c.w + px]
                        p[3] = int(round(p[3] * (1 - cover)))
                        continue
                    col = paint((px + 0.5) / scale, (py + 0.5) / scale) if callable(paint) \
                        else paint
                    a = int(round(col[3] * cover))
                    if a:
                        c.set(px, py, (col[0], col[1], col[2], a))
        return c

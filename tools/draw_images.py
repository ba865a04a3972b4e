#!/usr/bin/python3
"""Draws the application's small images (file-type icons, folder icons, arrows, buttons) into
resources/ as PNG files. Only the standard library is used: pixels are drawn into an RGBA buffer
and written with zlib. Run from anywhere: python3 tools/draw_images.py [output folder]."""

import os
import struct
import sys
import zlib

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
GREY = (110, 110, 110, 255)
LIGHT = (225, 225, 225, 255)
BLACK = (0, 0, 0, 255)


def save(name, canvas):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(canvas.png())


def document(label, color, size=32):
    """A page with a folded corner and a coloured band carrying a short label."""
    c = Canvas(size, size)
    s = size / 32.0
    x0, x1, y0, y1 = int(6 * s), int(26 * s), int(2 * s), int(30 * s)
    fold = int(7 * s)
    c.rect(x0, y0, x1, y1, WHITE)
    c.frame(x0, y0, x1, y1, GREY)
    # Cut the top-right corner off the page, then draw the folded flap.
    for y in range(y0, y0 + fold):
        for x in range(x1 - fold, x1):
            if (x - (x1 - fold)) > (y - y0):
                c.px[y * c.w + x] = [0, 0, 0, 0]
    c.triangle(((x1 - fold, y0), (x1 - fold, y0 + fold), (x1 - 1, y0 + fold)), LIGHT)
    for i in range(fold):
        c.set(x1 - fold + i, y0 + i, GREY)
    c.rect(x0 + 1, int(16 * s), x1 - 1, int(16 * s) + 7, color)
    if label:
        width = 4 * len(label) - 1
        c.text((x0 + x1 - width) // 2, int(16 * s) + 1, label, WHITE)
    return c


def folder(color, mark=None, mark_color=WHITE, size=32):
    c = Canvas(size, size)
    dark = tuple(max(0, v - 60) for v in color[:3]) + (255,)
    c.rect(3, 7, 14, 10, dark)
    c.rect(3, 9, 29, 27, color)
    c.frame(3, 9, 29, 27, dark)
    c.rect(4, 12, 28, 13, tuple(min(255, v + 40) for v in color[:3]) + (255,))
    if mark:
        width = 4 * len(mark) - 1
        c.text((32 - width) // 2, 16, mark, mark_color)
    return c


def arrow(direction, size=24, color=(60, 60, 60, 255)):
    c = Canvas(size, size)
    m = size // 2
    if direction == "left":
        c.triangle(((4, m), (12, 4), (12, size - 4)), color)
        c.rect(12, m - 3, size - 4, m + 3, color)
    elif direction == "up":
        c.triangle(((m, 4), (4, 12), (size - 4, 12)), color)
        c.rect(m - 3, 12, m + 3, size - 4, color)
    else:
        c.triangle(((m, size - 4), (4, size - 12), (size - 4, size - 12)), color)
        c.rect(m - 3, 4, m + 3, size - 12, color)
    return c


def glyph(label, color, size=30, fg=WHITE):
    """A rounded tile with a short label: toolbar and tab images."""
    c = Canvas(size, size)
    c.rect(2, 3, size - 2, size - 3, color)
    c.rect(3, 2, size - 3, size - 2, color)
    width = 4 * len(label) - 1
    c.text((size - width) // 2, (size - 5) // 2, label, fg)
    return c


def solid(w, h, color):
    return Canvas(w, h, color)


def main():
    os.makedirs(OUT, exist_ok=True)
    docs = {
        "3-doc-binary.png": ("BIN", (120, 120, 120, 255)),
        "3-doc-blank.png": ("", (170, 170, 170, 255)),
        "3-doc-audio.png": ("MP3", (150, 60, 170, 255)),
        "3-doc-video.png": ("MOV", (200, 60, 60, 255)),
        "3-doc-image.png": ("IMG", (40, 150, 60, 255)),
        "3-doc-txt.png": ("TXT", (90, 90, 90, 255)),
        "3-doc-html.png": ("HTM", (230, 120, 30, 255)),
        "3-doc-asp.png": ("ASP", (40, 90, 170, 255)),
        "3-doc-js.png": ("JS", (200, 170, 20, 255)),
        "3-doc-css.png": ("CSS", (30, 120, 200, 255)),
        "3-doc-php.png": ("PHP", (110, 110, 180, 255)),
        "3-doc-zip.png": ("ZIP", (160, 120, 60, 255)),
        "3-doc-doc.png": ("DOC", (40, 80, 180, 255)),
        "3-doc-xls.png": ("XLS", (30, 130, 70, 255)),
        "3-doc-ppt.png": ("PPT", (210, 90, 40, 255)),
    }
    for name, (label, color) in docs.items():
        save(name, document(label, color))

    save("3-folder.png", folder((240, 200, 80, 255)))
    save("3-folder-cloud.png", folder((120, 170, 230, 255), "C"))
    save("3-folder-photo.png", folder((240, 200, 80, 255), "P", (40, 120, 40, 255)))
    save("3-folder-sync.png", folder((240, 200, 80, 255), "S", (40, 80, 180, 255)))
    save("blank.png", Canvas(32, 32))
    save("blank24.png", Canvas(24, 24))
    save("mail_spacer.png", Canvas(8, 8))

    save("left-arrow24.png", arrow("left"))
    save("up-arrow24.png", arrow("up"))
    save("down-arrow24.png", arrow("down"))

    row = Canvas(4, 48)
    for y in range(48):
        shade = 220 - y * 2
        row.rect(0, y, 4, y + 1, (20, shade // 2, shade, 255))
    save("selected-row-4-48a.png", row)

    disk = Canvas(48, 48)
    disk.rect(6, 10, 42, 38, (150, 150, 160, 255))
    disk.frame(6, 10, 42, 38, (80, 80, 90, 255))
    disk.rect(10, 30, 38, 34, (60, 60, 70, 255))
    disk.disc(36, 16, 2, (60, 200, 60, 255))
    save("disk48.png", disk)

    up = arrow("up", 24, (40, 110, 200, 255))
    up.rect(3, 20, 21, 22, (40, 110, 200, 255))
    save("upload.png", up)

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

    for name, w, h in (("help300.png", 48, 24), ("help300-ipad.png", 48, 24)):
        c = Canvas(w, h)
        c.rect(1, 1, w - 1, h - 1, (60, 100, 170, 255))
        c.text(w // 2 - 7, h // 2 - 2, "HELP", WHITE)
        save(name, c)

    tiles = {
        "chmod-on.png": ("RWX", (90, 90, 90, 255)),
        "computer-lock2.png": ("LCK", (70, 70, 90, 255)),
        "computer.png": ("FTP", (60, 80, 120, 255)),
        "dir-mkdir.png": ("+", (200, 160, 50, 255)),
        "dirs-process.png": ("DIR", (200, 160, 50, 255)),
        "document_tab.png": ("DOC", (90, 90, 90, 255)),
        "downloads.png": ("DL", (40, 110, 200, 255)),
        "file_cabinet.png": ("FIL", (120, 90, 60, 255)),
        "globe.png": ("WEB", (40, 120, 180, 255)),
        "gr-tab.png": ("WWW", (60, 60, 60, 255)),
        "ipad-button-dir.png": ("DIR", (120, 120, 120, 255)),
        "ipad-button.png": ("", (120, 120, 120, 255)),
        "iphone-button-dir.png": ("DIR", (120, 120, 120, 255)),
        "iphone-button.png": ("", (120, 120, 120, 255)),
        "menu-v3.png": ("---", (80, 80, 80, 255)),
        "screen24b.png": ("TXT", (80, 80, 80, 255)),
        "settings.png": ("SET", (100, 100, 100, 255)),
        "sort24.png": ("AZ", (80, 80, 80, 255)),
        "transfer-arrows.png": ("UD", (40, 110, 200, 255)),
        "window-both-4.png": ("2", (80, 80, 80, 255)),
        "window-full-4.png": ("1", (80, 80, 80, 255)),
    }
    for name, (label, color) in tiles.items():
        save(name, glyph(label, color))

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

    save("Default.png", solid(320, 480, (30, 40, 60, 255)))
    save("Default-Portrait.png", solid(768, 1004, (30, 40, 60, 255)))
    save("Default-Landscape.png", solid(1024, 748, (30, 40, 60, 255)))


if __name__ == "__main__":
    main()

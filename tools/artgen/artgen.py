#!/usr/bin/env python3
"""Draws the installer's pictures and icon.

    python3 tools/artgen/artgen.py [output-folder]      (default: app/res)

writes
    gear.bmp     67 x 67, 24-bit: a blue gear on a light background (bitmap 112)
    connect.bmp  490 x 122, 24-bit: a printer joined by a USB cable to a laptop
                 (bitmap 113, the hint shown while no printer is found)
    app.ico      one 256 x 256 image, 32-bit with alpha, stored as a DIB
                 (icon 102)

Only the standard library is used and the output depends on nothing but this
file, so running it again gives the same bytes. Shapes are described by signed
distance functions; each pixel is supersampled (a grid of samples per pixel)
and every sample is covered by a shape in proportion to its distance from the
edge, which keeps lines and curves smooth at these small sizes.
"""

import math
import os
import struct
import sys

# ---------------------------------------------------------------------------
# Shapes: a signed distance function (negative inside, in pixels) and the
# box that holds the shape.


class Shape:
    def __init__(self, sdf, box):
        self.sdf = sdf
        self.box = box  # x0, y0, x1, y1


def _grow(box, m):
    return (box[0] - m, box[1] - m, box[2] + m, box[3] + m)


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r, (cx - r, cy - r, cx + r, cy + r))


def rounded_rect(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r

    return Shape(sdf, (x0, y0, x1, y1))


def _segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def polygon(points):
    n = len(points)
    edges = [(points[i], points[(i + 1) % n]) for i in range(n)]

    def sdf(x, y):
        d = min(_segment_distance(x, y, a[0], a[1], b[0], b[1]) for a, b in edges)
        inside = False
        for (ax, ay), (bx, by) in edges:
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                inside = not inside
        return -d if inside else d

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return Shape(sdf, (min(xs), min(ys), max(xs), max(ys)))


def polyline(points, width):
    """A stroke along a polyline with round ends and joins."""
    half = width / 2
    segs = list(zip(points, points[1:]))

    def sdf(x, y):
        return min(_segment_distance(x, y, a[0], a[1], b[0], b[1]) for a, b in segs) - half

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return Shape(sdf, _grow((min(xs), min(ys), max(xs), max(ys)), half))


def line(x0, y0, x1, y1, width):
    return polyline([(x0, y0), (x1, y1)], width)


def bezier(p0, p1, p2, p3, steps=48):
    pts = []
    for i in range(steps + 1):
        t = i / steps
        u = 1 - t
        pts.append((u * u * u * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t * t * t * p3[0],
                    u * u * u * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t * t * t * p3[1]))
    return pts


def outline(shape, width):
    """The edge of a shape as a stroke centred on it."""
    half = width / 2
    return Shape(lambda x, y: abs(shape.sdf(x, y)) - half, _grow(shape.box, half))


def subtract(a, b):
    return Shape(lambda x, y: max(a.sdf(x, y), -b.sdf(x, y)), a.box)


def union(a, b):
    box = (min(a.box[0], b.box[0]), min(a.box[1], b.box[1]), max(a.box[2], b.box[2]), max(a.box[3], b.box[3]))
    return Shape(lambda x, y: min(a.sdf(x, y), b.sdf(x, y)), box)


def intersect(a, b):
    return Shape(lambda x, y: max(a.sdf(x, y), b.sdf(x, y)), a.box)


def gear(cx, cy, teeth, r_tip, r_root, tip_share=0.36, root_share=0.54, phase=0.0):
    """A gear outline: teeth with straight flanks between arcs of the root circle."""
    pts = []
    step = 2 * math.pi / teeth
    for i in range(teeth):
        a = phase + i * step
        root_half = step * root_share / 2
        tip_half = step * tip_share / 2
        # root arc from the previous tooth up to this tooth's flank
        gap_start = a - step + root_half
        gap_end = a - root_half
        for k in range(7):
            t = gap_start + (gap_end - gap_start) * k / 6
            pts.append((cx + r_root * math.cos(t), cy + r_root * math.sin(t)))
        for k in range(5):
            t = a - tip_half + 2 * tip_half * k / 4
            pts.append((cx + r_tip * math.cos(t), cy + r_tip * math.sin(t)))
    return polygon(pts)


# ---------------------------------------------------------------------------
# Paint: a constant colour or a vertical gradient, in 0..255 RGB.


def vertical_gradient(y0, c0, y1, c1):
    def paint(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(c0[i] + (c1[i] - c0[i]) * t for i in range(3))

    return paint


# ---------------------------------------------------------------------------
# Canvas: premultiplied RGBA floats, composited "over".


class Canvas:
    SAMPLES = 3  # supersampling grid per pixel and axis

    def __init__(self, width, height, background=None):
        self.w, self.h = width, height
        n = width * height
        if background is None:
            self.r, self.g, self.b, self.a = [0.0] * n, [0.0] * n, [0.0] * n, [0.0] * n
        else:
            self.r = [float(background[0])] * n
            self.g = [float(background[1])] * n
            self.b = [float(background[2])] * n
            self.a = [1.0] * n
        s = self.SAMPLES
        self._offsets = [((i + 0.5) / s, (j + 0.5) / s) for j in range(s) for i in range(s)]
        self._weight = 1.0 / (s * s)

    def draw(self, shape, paint, opacity=1.0):
        x0 = max(0, int(math.floor(shape.box[0] - 1)))
        y0 = max(0, int(math.floor(shape.box[1] - 1)))
        x1 = min(self.w, int(math.ceil(shape.box[2] + 1)))
        y1 = min(self.h, int(math.ceil(shape.box[3] + 1)))
        sdf = shape.sdf
        # A sample's coverage spreads over its own share of the pixel.
        scale = self.SAMPLES
        for y in range(y0, y1):
            for x in range(x0, x1):
                # Cheap rejection far from the shape.
                d_centre = sdf(x + 0.5, y + 0.5)
                if d_centre > 1.0:
                    continue
                if d_centre < -1.0:
                    cover = 1.0
                else:
                    cover = 0.0
                    for ox, oy in self._offsets:
                        d = sdf(x + ox, y + oy) * scale
                        cover += min(1.0, max(0.0, 0.5 - d))
                    cover *= self._weight
                if cover <= 0.0:
                    continue
                colour = paint(x + 0.5, y + 0.5) if callable(paint) else paint
                alpha = cover * opacity
                i = y * self.w + x
                keep = 1.0 - alpha
                self.r[i] = colour[0] * alpha + self.r[i] * keep
                self.g[i] = colour[1] * alpha + self.g[i] * keep
                self.b[i] = colour[2] * alpha + self.b[i] * keep
                self.a[i] = alpha + self.a[i] * keep

    def pixel(self, i):
        """Straight (not premultiplied) 8-bit RGBA of pixel i."""
        a = self.a[i]
        if a <= 0.0:
            return 0, 0, 0, 0
        def c(v):
            return max(0, min(255, int(round(v / a))))
        return c(self.r[i]), c(self.g[i]), c(self.b[i]), max(0, min(255, int(round(a * 255))))


# ---------------------------------------------------------------------------
# File formats


def bmp24(canvas):
    """A Windows BMP file: BITMAPFILEHEADER, BITMAPINFOHEADER, bottom-up BGR rows."""
    stride = (canvas.w * 3 + 3) & ~3
    rows = []
    for y in range(canvas.h - 1, -1, -1):
        row = bytearray()
        for x in range(canvas.w):
            r, g, b, _ = canvas.pixel(y * canvas.w + x)
            row += bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.w, canvas.h, 1, 24, 0, len(pixels), 3780, 3780, 0, 0)
    head = b"BM" + struct.pack("<IHHI", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + pixels


def ico32(canvas):
    """An icon file with one 32-bit DIB image (straight alpha) and its AND mask."""
    w, h = canvas.w, canvas.h
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((w + 31) // 32) * 4
    for y in range(h - 1, -1, -1):
        bits = bytearray(mask_stride)
        for x in range(w):
            r, g, b, a = canvas.pixel(y * w + x)
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    image = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image += bytes(colour) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


# ---------------------------------------------------------------------------
# The pictures

BACKGROUND = (247, 249, 252)
INK = (46, 62, 90)          # outlines
BODY = (229, 235, 244)      # light fill of devices
BODY_SHADE = (208, 217, 230)
PAPER = (255, 255, 255)
TEXT_LINE = (170, 182, 200)
BLUE_LIGHT = (74, 151, 240)
BLUE = (30, 111, 217)
BLUE_DARK = (14, 72, 160)
SCREEN_TOP = (214, 232, 252)
SCREEN_BOTTOM = (176, 208, 245)
LED = (46, 184, 92)


def draw_gear(c, cx, cy, size, teeth=10):
    """A blue gear with a hub; size is the tip radius."""
    body = gear(cx, cy, teeth, size, size * 0.78, phase=-math.pi / 2)
    hole = circle(cx, cy, size * 0.30)
    ring = circle(cx, cy, size * 0.52)
    shape = subtract(body, hole)
    c.draw(shape, vertical_gradient(cy - size, BLUE_LIGHT, cy + size, BLUE_DARK))
    # A lighter hub ring gives the gear some depth.
    c.draw(subtract(ring, hole), vertical_gradient(cy - size * 0.5, (120, 182, 248), cy + size * 0.5, BLUE))
    line_width = max(1.0, size / 22)
    c.draw(outline(shape, line_width), BLUE_DARK)
    c.draw(outline(ring, line_width * 0.8), BLUE_DARK, 0.55)


def gear_picture():
    c = Canvas(67, 67, BACKGROUND)
    draw_gear(c, 33.5, 33.5, 28.5)
    return c


def draw_printer(c, x, y, s, ink_width):
    """A desktop printer whose top-left corner is (x, y); s scales it (1 = 150 px wide)."""
    def X(v):
        return x + v * s

    def Y(v):
        return y + v * s

    # paper waiting in the rear tray
    tray = rounded_rect(X(36), Y(0), X(114), Y(34), 3 * s)
    c.draw(tray, PAPER)
    c.draw(outline(tray, ink_width), INK)
    # body
    body = rounded_rect(X(0), Y(24), X(150), Y(84), 10 * s)
    c.draw(body, vertical_gradient(Y(24), BODY, Y(84), BODY_SHADE))
    c.draw(outline(body, ink_width), INK)
    # top cover line and the output slot
    c.draw(line(X(10), Y(40), X(140), Y(40), ink_width * 0.8), INK, 0.6)
    slot = rounded_rect(X(28), Y(62), X(122), Y(70), 3 * s)
    c.draw(slot, INK)
    # printed sheet coming out of the slot
    sheet = polygon([(X(38), Y(66)), (X(112), Y(66)), (X(116), Y(104)), (X(34), Y(104))])
    c.draw(sheet, PAPER)
    c.draw(outline(sheet, ink_width), INK)
    for i, (a, b) in enumerate(((44, 96), (44, 104), (44, 84))):
        yy = Y(78 + i * 8)
        c.draw(line(X(a), yy, X(b), yy, ink_width * 0.9), TEXT_LINE)
    # control panel: two buttons and a green light
    c.draw(circle(X(126), Y(50), 3.6 * s), LED)
    c.draw(outline(circle(X(126), Y(50), 3.6 * s), ink_width * 0.6), INK, 0.8)
    for bx in (104, 114):
        btn = rounded_rect(X(bx - 4), Y(47), X(bx + 4), Y(53), 1.5 * s)
        c.draw(btn, BODY_SHADE)
        c.draw(outline(btn, ink_width * 0.6), INK)


def draw_laptop(c, x, y, s, ink_width):
    """A laptop whose top-left corner is (x, y); s scales it (1 = 170 px wide)."""
    def X(v):
        return x + v * s

    def Y(v):
        return y + v * s

    lid = rounded_rect(X(20), Y(0), X(150), Y(82), 7 * s)
    c.draw(lid, vertical_gradient(Y(0), BODY, Y(82), BODY_SHADE))
    c.draw(outline(lid, ink_width), INK)
    screen = rounded_rect(X(28), Y(8), X(142), Y(74), 2 * s)
    c.draw(screen, vertical_gradient(Y(8), SCREEN_TOP, Y(74), SCREEN_BOTTOM))
    c.draw(outline(screen, ink_width * 0.7), INK, 0.8)
    # a small window on the screen with a progress bar
    win = rounded_rect(X(50), Y(22), X(120), Y(60), 2 * s)
    c.draw(win, PAPER)
    c.draw(outline(win, ink_width * 0.6), INK, 0.7)
    c.draw(rounded_rect(X(50), Y(22), X(120), Y(29), 2 * s), BLUE)
    c.draw(line(X(57), Y(38), X(100), Y(38), ink_width * 0.8), TEXT_LINE)
    bar = rounded_rect(X(57), Y(46), X(113), Y(52), 2 * s)
    c.draw(outline(bar, ink_width * 0.5), INK, 0.6)
    c.draw(rounded_rect(X(57), Y(46), X(92), Y(52), 2 * s), BLUE_LIGHT)
    # base with the keyboard deck and the touchpad notch
    base = polygon([(X(14), Y(84)), (X(156), Y(84)), (X(170), Y(96)), (X(0), Y(96))])
    base = intersect(union(base, rounded_rect(X(0), Y(92), X(170), Y(100), 3 * s)),
                     rounded_rect(X(0), Y(80), X(170), Y(100), 3 * s))
    c.draw(base, vertical_gradient(Y(84), BODY, Y(100), BODY_SHADE))
    c.draw(outline(base, ink_width), INK)
    c.draw(rounded_rect(X(70), Y(84), X(100), Y(88), 1.5 * s), INK, 0.45)


def draw_usb_plug(c, x, y, towards_right, ink_width):
    """A USB plug whose metal end touches (x, y), pointing right or left."""
    d = 1 if towards_right else -1
    metal = rounded_rect(min(x, x - d * 10), y - 5, max(x, x - d * 10), y + 5, 1)
    grip = rounded_rect(min(x - d * 10, x - d * 30), y - 7.5, max(x - d * 10, x - d * 30), y + 7.5, 3)
    c.draw(metal, (236, 238, 242))
    c.draw(outline(metal, ink_width * 0.8), INK)
    c.draw(grip, INK)


def draw_usb_symbol(c, cx, cy, size, colour):
    """The USB trident: a stem with a round base, an arrow head and two arms."""
    w = max(1.6, size * 0.09)
    left, right = cx - size * 0.62, cx + size * 0.50
    c.draw(line(left + size * 0.12, cy, right - size * 0.05, cy, w), colour)
    c.draw(circle(left + size * 0.06, cy, size * 0.13), colour)
    c.draw(polygon([(right + size * 0.16, cy), (right - size * 0.10, cy - size * 0.15),
                    (right - size * 0.10, cy + size * 0.15)]), colour)
    c.draw(polyline([(cx - size * 0.30, cy), (cx - size * 0.12, cy - size * 0.30),
                     (cx + size * 0.12, cy - size * 0.30)], w), colour)
    c.draw(circle(cx + size * 0.18, cy - size * 0.30, size * 0.09), colour)
    c.draw(polyline([(cx - size * 0.05, cy), (cx + size * 0.10, cy + size * 0.28),
                     (cx + size * 0.28, cy + size * 0.28)], w), colour)
    c.draw(rounded_rect(cx + size * 0.27, cy + size * 0.19, cx + size * 0.45, cy + size * 0.37, 0.5), colour)


def connect_picture():
    c = Canvas(490, 122, BACKGROUND)
    ink = 2.2
    # a soft floor line under both devices
    c.draw(line(24, 113.5, 466, 113.5, 1.2), (220, 227, 238))
    draw_printer(c, 36, 8, 1.0, ink)              # printer: x 36..186, y 8..112
    draw_laptop(c, 290, 12, 1.0, ink)             # laptop: x 290..460, y 12..112
    # The cable leaves the printer's side, dips and rises to the laptop's side.
    start, end = (206, 68), (270, 102)
    cable = bezier(start, (250, 68), (226, 102), end)
    c.draw(polyline(cable, 5.2), INK)
    c.draw(polyline(cable, 2.2), (120, 136, 160))
    draw_usb_plug(c, 186, 68, False, ink)        # into the printer's right side
    draw_usb_plug(c, 290, 102, True, ink)        # into the laptop's left side
    draw_usb_symbol(c, 238, 34, 30, BLUE)
    return c


def icon_picture():
    c = Canvas(256, 256)
    # The printer fills most of the icon, the gear sits on its lower right.
    ink = 5.0
    draw_printer(c, 14, 30, 1.28, ink)
    cx, cy, r = 184, 180, 58
    # a light halo separates the gear from the printer
    c.draw(circle(cx, cy, r + 6), (255, 255, 255), 0.92)
    draw_gear(c, cx, cy, r, teeth=10)
    return c


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, "..", "..", "app", "res")
    os.makedirs(out, exist_ok=True)
    for name, data in (("gear.bmp", bmp24(gear_picture())),
                       ("connect.bmp", bmp24(connect_picture())),
                       ("app.ico", ico32(icon_picture()))):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print("wrote", os.path.normpath(os.path.join(out, name)), len(data), "bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

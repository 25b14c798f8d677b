#!/usr/bin/env python3
"""Draws the tray program's icon, a game controller with a wireless sign, and
writes it as an .ico with images of 256, 64, 48, 40, 32, 24, 20 and 16
pixels, each at 4, 8 and 32 bits per pixel: the notification area's small
size and the large size at every common scale (16 and 32 at 100%, 20 and 40
at 125%, 24 and 48 at 150%, 32 and 64 at 200%), each drawn for its size.

    make_tray_icon.py OUTPUT.ico        write the icon
    make_tray_icon.py --check FILE.ico  exit 1 unless FILE.ico is what this draws

The drawing is plain geometry sampled on a fixed grid and the palettes are
fixed, so the bytes are the same on every run and every machine.
"""
import math
import struct
import sys

SIZES = (256, 64, 48, 40, 32, 24, 20, 16)
DEPTHS = (32, 8, 4)
SAMPLES = 4  # per pixel and axis

BODY = (0x2C, 0x3E, 0x50)
BODY_LIGHT = (0x3D, 0x56, 0x6E)
DPAD = (0xEC, 0xF0, 0xF1)
WAVES = (0x29, 0x80, 0xB9)
BUTTONS = ((0.70, 0.405, (0xF1, 0xC4, 0x0F)),  # top
           (0.765, 0.47, (0xE7, 0x4C, 0x3C)),  # right
           (0.70, 0.535, (0x2E, 0xCC, 0x71)),  # bottom
           (0.635, 0.47, (0x34, 0x98, 0xDB)))  # left


def in_rounded_rect(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and left <= x <= right and top <= y <= bottom


def in_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def sample(x, y):
    """Colour of the drawing at (x, y) in unit coordinates, or None outside."""
    # Wireless sign: a dot and two arcs opening upwards, above the body.
    wx, wy = x - 0.5, y - 0.33
    dist = math.hypot(wx, wy)
    if wy < 0 and abs(wx) <= -wy:
        if 0.075 <= dist <= 0.115 or 0.155 <= dist <= 0.195:
            return WAVES
    if in_circle(x, y, 0.5, 0.30, 0.032):
        return WAVES
    body = (in_rounded_rect(x, y, 0.08, 0.36, 0.92, 0.64, 0.13)
            or in_circle(x, y, 0.25, 0.68, 0.15)
            or in_circle(x, y, 0.75, 0.68, 0.15))
    if not body:
        return None
    if in_rounded_rect(x, y, 0.22, 0.445, 0.38, 0.495, 0.01) or in_rounded_rect(x, y, 0.275, 0.39, 0.325, 0.55, 0.01):
        return DPAD
    for bx, by, colour in BUTTONS:
        if in_circle(x, y, bx, by, 0.037):
            return colour
    if y < 0.45 and in_rounded_rect(x, y, 0.12, 0.38, 0.88, 0.62, 0.11):
        return BODY_LIGHT
    return BODY


def render(size):
    """Rows top to bottom of (r, g, b, alpha) with alpha 0..255."""
    rows = []
    n = SAMPLES * SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = sample((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        covered += 1
            if covered:
                row.append((r // covered, g // covered, b // covered, covered * 255 // n))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


VGA16 = ((0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
         (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
         (255, 0, 255), (0, 255, 255), (255, 255, 255))


def palette8():
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    grays = [(v, v, v) for v in range(8, 248, 10)]  # 24 shades
    return list(VGA16) + cube + grays


def nearest(palette, colour):
    best, best_d = 0, None
    for i, p in enumerate(palette):
        d = (p[0] - colour[0]) ** 2 + (p[1] - colour[1]) ** 2 + (p[2] - colour[2]) ** 2
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def row_bytes(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def dib(rows, depth):
    """BITMAPINFOHEADER, palette, colour bits and AND mask, rows bottom-up."""
    size = len(rows)
    palette = {4: list(VGA16), 8: palette8(), 32: []}[depth]
    xor_stride = row_bytes(size * depth)
    and_stride = row_bytes(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0,
                         (xor_stride + and_stride) * size, 0, 0, 0, 0)
    out = bytearray(header)
    for r, g, b in palette:
        out += bytes((b, g, r, 0))
    cache = {}
    for row in reversed(rows):
        line = bytearray()
        if depth == 32:
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
        else:
            indexes = []
            for r, g, b, a in row:
                if a < 128:
                    indexes.append(0)
                else:
                    key = (r, g, b)
                    if key not in cache:
                        cache[key] = nearest(palette, key)
                    indexes.append(cache[key])
            if depth == 8:
                line += bytes(indexes)
            else:
                for i in range(0, size, 2):
                    line.append(indexes[i] << 4 | (indexes[i + 1] if i + 1 < size else 0))
        out += line + bytes(xor_stride - len(line))
    for row in reversed(rows):
        line = bytearray(and_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def build_icon():
    images = []
    for size in SIZES:
        rows = render(size)
        for depth in DEPTHS:
            images.append((size, depth, dib(rows, depth)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if depth == 4 else 0, 0, 1, depth,
                           len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        with open(argv[2], "rb") as f:
            same = f.read() == build_icon()
        if not same:
            print(f"{argv[2]} differs from what make_tray_icon.py draws", file=sys.stderr)
        return 0 if same else 1
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], "wb") as f:
        f.write(build_icon())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

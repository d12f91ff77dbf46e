#!/usr/bin/env python3
"""Draws the library's icon (ICON 101 of the DLL, shown in the "Decrypt File"
dialog) and writes it as resources/arcsalve.ico.

The picture: an amber archive with a zipper down its middle, and a green
disc with a white cross at its lower right, the salve. Shapes are described
in unit coordinates (0..1, y downwards) and sampled 4 x 4 times per pixel, so
every size gets smooth edges. The icon holds 16, 32 and 48 pixel images,
32-bit with alpha (and the AND mask that older readers need).

Usage: scripts/draw_icon.py [OUTPUT]   (default: resources/arcsalve.ico)
The output is deterministic: run it again after changing the drawing and
commit the icon with the script.
"""
import os
import struct
import sys

SIZES = (16, 32, 48)
SUBSAMPLES = 4

AMBER = (232, 176, 74)
AMBER_DARK = (122, 84, 16)
TEETH_LIGHT = (236, 236, 236)
TEETH_DARK = (70, 70, 70)
GREEN = (46, 160, 67)
GREEN_DARK = (20, 90, 35)
WHITE = (255, 255, 255)


def in_round_rect(x, y, left, top, right, bottom, radius):
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_disc(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


# Layers from back to front: (test, colour). A point takes the colour of the
# front-most layer that covers it.
def layers():
    body = (0.10, 0.08, 0.74, 0.92)
    out = []
    out.append((lambda x, y: in_round_rect(x, y, *body, 0.10), AMBER_DARK))
    out.append((lambda x, y: in_round_rect(x, y, body[0] + 0.05, body[1] + 0.05,
                                           body[2] - 0.05, body[3] - 0.05, 0.06), AMBER))

    # The zipper: teeth alternating left and right of the middle line.
    mid = (body[0] + body[2]) / 2

    def tooth(x, y):
        if y < body[1] + 0.02 or y > 0.62 or abs(x - mid) > 0.08:
            return None
        row = int((y - body[1]) / 0.07)
        on_left = x < mid
        return TEETH_DARK if (row % 2 == 0) == on_left else TEETH_LIGHT

    out.append((tooth, None))
    # The pull tab at the zipper's end.
    out.append((lambda x, y: in_round_rect(x, y, mid - 0.07, 0.60, mid + 0.07, 0.78, 0.03),
                TEETH_DARK))
    out.append((lambda x, y: in_round_rect(x, y, mid - 0.03, 0.65, mid + 0.03, 0.74, 0.015),
                AMBER))

    # The salve: a green disc with a white cross.
    cx, cy, r = 0.72, 0.72, 0.26
    out.append((lambda x, y: in_disc(x, y, cx, cy, r), GREEN_DARK))
    out.append((lambda x, y: in_disc(x, y, cx, cy, r - 0.04), GREEN))
    arm, half = 0.15, 0.05
    out.append((lambda x, y: (abs(x - cx) <= half and abs(y - cy) <= arm)
                or (abs(y - cy) <= half and abs(x - cx) <= arm), WHITE))
    return out


def colour_at(x, y, stack):
    for test, colour in reversed(stack):
        hit = test(x, y)
        if hit is None or hit is False:
            continue
        return hit if colour is None else colour
    return None


def render(size, stack):
    """Rows top to bottom of (r, g, b, a) pixels."""
    rows = []
    n = SUBSAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = hits = 0
            for sy in range(n):
                for sx in range(n):
                    c = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size, stack)
                    if c is None:
                        continue
                    r += c[0]
                    g += c[1]
                    b += c[2]
                    hits += 1
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((r // hits, g // hits, b // hits, 255 * hits // (n * n)))
        rows.append(row)
    return rows


def icon_image(size, rows):
    """One image of an .ico file: a BITMAPINFOHEADER with doubled height, the
    BGRA pixels bottom-up, then the 1-bit AND mask (1 = transparent), each
    mask row padded to 4 bytes."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = bytearray()
    stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "arcsalve.ico")
    stack = layers()
    images = [(size, icon_image(size, render(size, stack))) for size in SIZES]
    data = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in images:
        data += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for _, image in images:
        data += image
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()

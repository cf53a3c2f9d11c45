#!/usr/bin/env python3
"""Writes icon_1.ico, the program's icon: a radar scope with a sweep and one target.

One 32 x 32 image of 16 colours (4 bits per pixel, the standard VGA palette) with an
AND mask that makes the corners outside the scope transparent. The picture is drawn
from a few circles and angles, so the file is the same on every run.

    python3 res/make_icon.py            # rewrites res/icon_1.ico
"""

import math
import struct
import sys
from pathlib import Path

SIZE = 32

# The 16-colour VGA palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_GREEN, GREY, GREEN, YELLOW, SILVER = 0, 2, 8, 10, 11, 7

CENTRE = 15.5     # the scope is centred between the middle pixels
RADIUS = 15.5
SWEEP_DEG = 40.0  # direction of the sweep line, counter-clockwise from east
TRAIL_DEG = 70.0  # the faded wedge behind the sweep
TARGET = (22, 9)  # (x, y) of the target, y downwards


def pixel(x, y):
    """Returns the palette index at (x, y), y downwards, or None when transparent."""
    dx, dy = x - CENTRE, CENTRE - y
    r = math.hypot(dx, dy)
    if r > RADIUS:
        return None
    if r > RADIUS - 1.5:
        return SILVER  # the scope's rim
    if abs(x - TARGET[0]) <= 1 and abs(y - TARGET[1]) <= 1:
        return YELLOW
    sweep = math.radians(SWEEP_DEG)
    along = dx * math.cos(sweep) + dy * math.sin(sweep)
    across = -dx * math.sin(sweep) + dy * math.cos(sweep)
    if along > 0 and abs(across) < 0.8:
        return GREEN  # the sweep line itself
    # The sweep turns clockwise, so its trail lies counter-clockwise of the line.
    behind = (math.degrees(math.atan2(dy, dx)) - SWEEP_DEG) % 360.0
    if any(abs(r - ring) < 0.5 for ring in (5.0, 10.0)):
        return GREEN if behind < TRAIL_DEG else GREY
    return DARK_GREEN if behind < TRAIL_DEG else BLACK


def icon_bytes():
    # Rows are stored bottom-up; both bitmaps pad each row to a multiple of 4 bytes.
    xor_rows, and_rows = [], []
    for y in reversed(range(SIZE)):
        indices = [pixel(x, y) for x in range(SIZE)]
        colour = bytearray()
        for x in range(0, SIZE, 2):
            hi, lo = (indices[x] or 0), (indices[x + 1] or 0)
            colour.append(hi << 4 | lo)
        mask = 0
        for x, index in enumerate(indices):
            if index is None:
                mask |= 1 << (SIZE - 1 - x)
        xor_rows.append(bytes(colour))
        and_rows.append(struct.pack(">I", mask))
    xor_bitmap, and_bitmap = b"".join(xor_rows), b"".join(and_rows)

    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    # BITMAPINFOHEADER; an icon's height counts the colour and the mask bitmaps together.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0,
                         len(xor_bitmap) + len(and_bitmap), 0, 0, 16, 0)
    image = header + palette + xor_bitmap + and_bitmap

    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image),
                        len(directory) + 16)
    return directory + entry + image


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("icon_1.ico")
    out.write_bytes(icon_bytes())


if __name__ == "__main__":
    main()

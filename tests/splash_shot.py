#!/usr/bin/env python3
"""The splash tests' image and screenshots (Python's standard library only).

  splash_shot.py image OUT.png              writes the test image (IMAGE_W x IMAGE_H, opaque)
  splash_shot.py find SHOT.xwd              exit 0 and "found X Y" when the test image is in
                                            the screenshot pixel for pixel, else exit 1
  splash_shot.py crop SHOT.xwd OUT.png X Y W H   a part of the screenshot as a PNG
  splash_shot.py box SHOT.xwd               exit 0 and "found N" when a message box's error icon
                                            (N red pixels, at least ICON_MIN_RED) is on screen
"""
import struct
import sys
import zlib

IMAGE_W, IMAGE_H = 240, 120


def pattern(x, y):
    """The test image's colour (r, g, b) at x, y: a dark frame, four coloured quarters with a
    gradient across each, so every row differs from its neighbours."""
    if x < 4 or y < 4 or x >= IMAGE_W - 4 or y >= IMAGE_H - 4:
        return (24, 28, 36)
    quarter = (x >= IMAGE_W // 2) + 2 * (y >= IMAGE_H // 2)
    base = [(214, 64, 96), (48, 156, 220), (246, 190, 52), (70, 180, 120)][quarter]
    shade = (x * 2 + y) % 48
    return tuple(min(255, c + shade - 24) if c + shade >= 24 else 0 for c in base)


def write_png(path, width, height, pixel):
    rows = b"".join(b"\0" + bytes(v for x in range(width) for v in pixel(x, y))
                    for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def read_xwd(path):
    """(width, height, rows of blue-green-red bytes) of a 24/32-bit ZPixmap screenshot."""
    data = open(path, "rb").read()
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
    # Xvfb at depth 24 writes 3 bytes a pixel (bits_per_pixel 24), other servers 4.
    if bits_per_pixel not in (24, 32) or byte_order != 0:
        sys.exit("splash_shot: a 24- or 32-bit screenshot, LSB first, is needed")
    size = bits_per_pixel // 8
    pixels = data[header_size + 12 * ncolors:]
    rows = []
    for y in range(height):
        row = bytearray(pixels[y * bytes_per_line:y * bytes_per_line + size * width])
        if size == 4:
            del row[3::4]
        rows.append(bytes(row))
    return width, height, rows


def find(path):
    width, height, rows = read_xwd(path)
    expected = [bytes(v for x in range(IMAGE_W) for v in reversed(pattern(x, y)))
                for y in range(IMAGE_H)]
    for top in range(height - IMAGE_H + 1):
        at = rows[top].find(expected[0])
        while at >= 0:
            if at % 3 == 0 and all(rows[top + k][at:at + 3 * IMAGE_W] == expected[k]
                                   for k in range(1, IMAGE_H)):
                print("found", at // 3, top)
                return 0
            at = rows[top].find(expected[0], at + 1)
    print("absent")
    return 1


# The red pixels of an error icon (a 32x32 red disc) at least: no desktop or window frame has any.
ICON_MIN_RED = 300


def box(path):
    _, _, rows = read_xwd(path)
    red = sum(1 for row in rows for i in range(0, len(row), 3)
              if row[i + 2] >= 180 and row[i + 1] <= 80 and row[i] <= 80)
    print("found" if red >= ICON_MIN_RED else "absent", red)
    return 0 if red >= ICON_MIN_RED else 1


def crop(path, out, x, y, w, h):
    _, _, rows = read_xwd(path)
    write_png(out, w, h, lambda i, j: tuple(reversed(rows[y + j][3 * (x + i):3 * (x + i) + 3])))
    return 0


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "image":
        write_png(sys.argv[2], IMAGE_W, IMAGE_H, pattern)
    elif command == "find":
        sys.exit(find(sys.argv[2]))
    elif command == "box":
        sys.exit(box(sys.argv[2]))
    elif command == "crop":
        sys.exit(crop(sys.argv[2], sys.argv[3], *map(int, sys.argv[4:8])))
    else:
        sys.exit("splash_shot: unknown command " + command)

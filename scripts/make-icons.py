#!/usr/bin/env python3
"""Draws the program's icons (a keyboard on a teal tile) as 32-bit .ico files."""
import struct
import sys


def pixel(x, y, n):
    # Tile with rounded corners, teal gradient; a white keyboard with black keys.
    r = n // 6
    cx = min(max(x, r), n - 1 - r)
    cy = min(max(y, r), n - 1 - r)
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    shade = 150 + (105 * (n - y)) // n
    tile = (40, shade, shade - 20, 255)
    top, bottom = n * 9 // 16, n * 13 // 16
    left, right = n // 8, n - n // 8
    if top <= y < bottom and left <= x < right:
        keys = 7
        width = (right - left) / keys
        k = (x - left) / width
        if (x - left) % width < 1:
            return (30, 30, 30, 255)
        black = {0.75, 1.75, 3.75, 4.75, 5.75}
        for b in black:
            if b <= k < b + 0.5 and y < top + (bottom - top) * 0.6:
                return (20, 20, 20, 255)
        return (250, 250, 250, 255)
    # a small wave above the keys: the firmware going in
    mid = n * 5 // 16
    import math
    wy = mid + math.sin((x / n) * 2 * math.pi) * n / 10
    if abs(y - wy) < max(1.0, n / 20) and left <= x < right:
        return (255, 255, 255, 255)
    return tile


def icon(n):
    rows = []
    for y in range(n - 1, -1, -1):  # bottom-up
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            rows.append(struct.pack('BBBB', b, g, r, a))
    xor = b''.join(rows)
    mask_row = ((n + 31) // 32) * 4
    andmask = b'\0' * (mask_row * n)
    header = struct.pack('<IiiHHIIiiII', 40, n, n * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + andmask


def write(path, sizes):
    images = [icon(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, img in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n % 256, n % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    folder = sys.argv[1] if len(sys.argv) > 1 else 'app/res'
    write(folder + '/carrowick.ico', [32, 48])
    write(folder + '/carrowick_small.ico', [16])

#!/usr/bin/env python3
"""An R64 reader written from the file layout alone, as an oracle for the tests.

Prints the kind and size, then per level "L <k> <offset> <w> <h>" and
"X <k> <pixels>": every pixel in raster order as hex (2 digits for 'G', 6 for 'P',
'0'/'1' for 'B'), or '..' for a pixel past the end of the file."""
import struct
import sys

TILE = 64


def levels(w, h):
    out = []
    while len(out) < 32:
        out.append((w, h))
        w, h = (w + 1) // 2, (h + 1) // 2
        if w < 2 or h < 2:
            break
    return out


def row_bytes(kind, w):
    return {'G': w, 'P': 3 * w, 'B': (w + 7) // 8}[kind]


def pixel(data, kind, ofs, lw, lh, x, y):
    h0, w0 = y // TILE * TILE, x // TILE * TILE
    hl, wl = min(TILE, lh - h0), min(TILE, lw - w0)
    tile = ofs + h0 * row_bytes(kind, lw) + (w0 // TILE) * hl * row_bytes(kind, TILE)
    row = tile + (y - h0) * row_bytes(kind, wl)
    if kind == 'B':
        at = row + (x - w0) // 8
        return '..' if at >= len(data) else str(data[at] >> (7 - x % 8) & 1)
    size = 3 if kind == 'P' else 1
    at = row + (x - w0) * size
    return '..' if at + size > len(data) else data[at:at + size].hex()


def main(path):
    data = open(path, 'rb').read()
    assert data[:3] == b'R64', 'preamble'
    kind = chr(data[3])
    w, h = struct.unpack('>hh', data[4:8])
    print(kind, w, h)
    ofs = 8
    for k, (lw, lh) in enumerate(levels(w, h)):
        print('L', k, ofs, lw, lh)
        px = [pixel(data, kind, ofs, lw, lh, x, y) for y in range(lh) for x in range(lw)]
        print('X', k, ''.join(px))
        ofs += lw * lh * (3 if kind == 'P' else 1)


if __name__ == '__main__':
    main(sys.argv[1])

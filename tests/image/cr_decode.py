#!/usr/bin/env python3
"""A CR decoder written from the file layout alone, with Pillow for the 'j' blocks (needed
only when a file holds one), as an oracle for the tests.

Decodes every level from the coarsest down: the coarsest level's samples are colours;
below it sample s of channel c gives clamp(P + inv(s, cal[c]), 0, 255), P the decoded
parent pixel. Prints per level "L <k> <w> <h>" and "X <k> <rgb hex of every pixel>"."""
import io
import struct
import sys


def levels(w, h):
    out = []
    while len(out) < 32:
        out.append((w, h))
        w, h = (w + 1) // 2, (h + 1) // 2
        if w < 2 or h < 2:
            break
    return out


def tdiv(a, b):
    """Integer division rounding towards zero."""
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def inv_cal(cc, cal):
    x = cc
    if x > 223:
        x = 224 + tdiv(332 * (x - 224), 32)
    elif x < 32:
        x = 32 + tdiv(332 * (x - 32), 32)
    return x - cal


def signed(b):
    return b - 256 if b > 127 else b


def decode_block(data, ofs, kind, size, w, h):
    block = data[ofs:ofs + size]
    if kind == 'n':
        assert block[0] + 1 == w and block[1] + 1 == h and len(block) == 2 + 3 * w * h, 'raw block'
        return block[2:]
    from PIL import Image
    im = Image.open(io.BytesIO(block))
    assert im.size == (w, h) and im.mode == 'RGB', 'jpeg block'
    return im.tobytes()


def main(path):
    data = open(path, 'rb').read()
    assert data[:3] == b'CR\0', 'preamble'
    width, height, rect = struct.unpack('>hhH', data[4:10])
    lv = levels(width, height)
    first, n = [], 0
    for w, h in lv:
        first.append(n)
        n += -(-w // rect) * -(-h // rect)
    decoded = [None] * len(lv)
    for k in range(len(lv) - 1, -1, -1):
        w, h = lv[k]
        img = bytearray(3 * w * h)
        across = -(-w // rect)
        for y0 in range(0, h, rect):
            for x0 in range(0, w, rect):
                at = 16 + 12 * (first[k] + (y0 // rect) * across + x0 // rect)
                ofs, kind, c0, c1, c2, size = struct.unpack('>Ic3bi', data[at:at + 12])
                rw, rh = min(rect, w - x0), min(rect, h - y0)
                s = decode_block(data, ofs, kind.decode(), size, rw, rh)
                for y in range(rh):
                    for x in range(rw):
                        o = 3 * ((y0 + y) * w + x0 + x)
                        for c, cal in enumerate((c0, c1, c2)):
                            v = s[3 * (y * rw + x) + c]
                            if k < len(lv) - 1:
                                pw = lv[k + 1][0]
                                p = decoded[k + 1][3 * (((y0 + y) >> 1) * pw + ((x0 + x) >> 1)) + c]
                                v = min(255, max(0, p + inv_cal(v, cal)))
                            img[o + c] = v
        decoded[k] = img
    for k, (w, h) in enumerate(lv):
        print('L', k, w, h)
        print('X', k, decoded[k].hex())


if __name__ == '__main__':
    main(sys.argv[1])

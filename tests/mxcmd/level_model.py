#!/usr/bin/python3
"""A reference of level operations on two-axis blocks (divisor 1 and blocks of 2^BS on both
axes, BS 3 unless a user sets it), written from their description alone: representative and average thinning of fine
blocks into their coarse block, and uint8 coarse-plus-fine and coarse-minus-fine with the
difference curve.

Standard input: cases "case OP TYPE OPT REP0 REP1 NBLOCKS" (OP rep, avg, add or sub), each
followed by NBLOCKS lines "LEVEL C0 C1 N0 N1 HEX" (elements little-endian, axis 0
fastest). Thinning: the coarse block's initial content, then the children; arithmetic: the
coarse block, then the fine one. Prints the result's elements in hex, one line per case.
"""
import struct
import sys

CODES = {'int16': 'h', 'uint8': 'B'}
DD, BS = 1, 3


def curve():
    k = struct.unpack('>d', bytes.fromhex('3F10203040506071'))[0]
    dec, enc = [], [None] * 511
    for i in range(256):
        x = i - 127.5
        dec.append(int(round(((k * x) * x) * x + x)))  # halves to even
        enc[dec[-1] + 255] = i
    last = 0
    for d in range(511):  # a difference without a code takes the next lower one's
        last = enc[d] = last if enc[d] is None else enc[d]
    return dec, enc


DEC, ENC = curve()


class Block:
    def __init__(self, lev, c, n, v):
        self.lev, self.c, self.n, self.v = lev, c, n, v

    def index(self, x, y):
        return x + self.n[0] * y if 0 <= x < self.n[0] and 0 <= y < self.n[1] else None


def geometry(fine, parent):
    """The cell exponent s and, per axis, where the fine block's cells start in the coarse."""
    s = DD * parent
    return s, [((c >> (DD * fine.lev + BS)) & (2 ** s - 1)) * 2 ** (BS - s) if BS > s else 0 for c in fine.c]


def thin(op, dest, src, rep):
    s, ofs = geometry(src, 1)
    starts = [0, 0] if op == 'avg' else rep
    for cy in range(starts[1], src.n[1], 2 ** s):
        for cx in range(starts[0], src.n[0], 2 ** s):
            d = dest.index((cx >> s) + ofs[0], (cy >> s) + ofs[1])
            if d is None:
                continue
            cell = [src.v[x + src.n[0] * y] for y in range(cy, min(cy + 2 ** s, src.n[1]))
                    for x in range(cx, min(cx + 2 ** s, src.n[0]))]
            total = sum(cell)  # the mean truncated toward zero
            dest.v[d] = cell[0] if op == 'rep' else abs(total) // len(cell) * (1 if total >= 0 else -1)


def curve_level(op, coarse, fine):
    s, ofs = geometry(fine, coarse.lev - fine.lev)
    out = [0] * len(fine.v)
    for y in range(fine.n[1]):
        for x in range(fine.n[0]):
            c = coarse.index(ofs[0] + (x >> s), ofs[1] + (y >> s))
            if c is None:
                continue
            a, f = coarse.v[c], fine.v[x + fine.n[0] * y]
            if op == 'add':
                out[x + fine.n[0] * y] = max(0, min(255, a + DEC[f]))
            else:
                out[x + fine.n[0] * y] = 255 if a - f > 255 else 0 if a - f < -255 else ENC[a - f + 255]
    return out


def main():
    lines = sys.stdin.read().split('\n')
    i = 0
    while i < len(lines):
        t = lines[i].split()
        i += 1
        if not t:
            continue
        op, code, rep, count = t[1], CODES[t[2]], [int(t[4]), int(t[5])], int(t[6])
        blocks = []
        for t in (lines[i + k].split() for k in range(count)):
            n = [int(t[3]), int(t[4])]
            v = list(struct.unpack('<%d%s' % (n[0] * n[1], code), bytes.fromhex(t[5])))
            blocks.append(Block(int(t[0]), [int(t[1]), int(t[2])], n, v))
        i += count
        if op in ('rep', 'avg'):
            for child in blocks[1:]:
                thin(op, blocks[0], child, rep)
            out = blocks[0].v
        else:
            out = curve_level(op, blocks[0], blocks[1])
        print(struct.pack('<%d%s' % (len(out), code), *out).hex())


if __name__ == '__main__':
    main()

#!/usr/bin/python3
"""A reference of the level operations of two-axis numeric blocks, written from their
description alone: representative and average thinning of a fine block into its coarse
block, and the coarse-plus-fine and coarse-minus-fine arithmetic with clamping and the
difference curve of 8-bit codes.

Reads cases from standard input and prints one line per case: the hex of the result's
elements (host order, little-endian).
  case OP TYPE OPT DD0 DD1 BS0 BS1 REP0 REP1 NBLOCKS    OP: rep avg add sub; OPT 0 1 2
  block LEV C0 C1 N0 N1 HEX                            element bytes, axis 0 fastest
Thinning: the first block is the coarse block's initial content, each further block a
child one level down. Arithmetic: the coarse block, then the fine block; the result has the
fine block's shape.
"""
import struct
import sys

TYPES = {  # struct code, bits, signed
    'int8': ('b', 8, True), 'uint8': ('B', 8, False), 'int16': ('h', 16, True), 'uint16': ('H', 16, False),
    'int32': ('i', 32, True), 'uint32': ('I', 32, False), 'int64': ('q', 64, True), 'uint64': ('Q', 64, False),
    'double': ('d', 64, None),
}


def curve_tables():
    k = struct.unpack('>d', bytes.fromhex('3F10203040506071'))[0]
    dec = []
    enc = [None] * 511
    for i in range(256):
        x = i - 127.5
        y = ((k * x) * x) * x + x
        d = int(round(y))  # halves to even, as rint
        dec.append(d)
        enc[d + 255] = i
    last = 0
    for d in range(-255, 256):
        if enc[d + 255] is None:
            enc[d + 255] = last
        else:
            last = enc[d + 255]
    return dec, enc


DEC, ENC = curve_tables()


def encode(diff):
    diff = (diff + 2 ** 15) % 2 ** 16 - 2 ** 15  # its low 16 bits, signed
    return 255 if diff > 255 else 0 if diff < -255 else ENC[diff + 255]


class Block:
    def __init__(self, tok, tp):
        self.lev, self.c = int(tok[1]), [int(tok[2]), int(tok[3])]
        self.n = [int(tok[4]), int(tok[5])]
        self.v = list(struct.unpack('<%d%s' % (self.n[0] * self.n[1], TYPES[tp][0]), bytes.fromhex(tok[6])))

    def at(self, x, y):
        return self.v[x + self.n[0] * y]

    def inside(self, x, y):
        return 0 <= x < self.n[0] and 0 <= y < self.n[1]


def geometry(dd, bs, fine, parent):
    s = [dd[i] * parent for i in range(2)]
    ofs = []
    for i in range(2):
        if bs[i] > s[i]:
            ofs.append(((fine.c[i] >> (dd[i] * fine.lev + bs[i])) & (2 ** s[i] - 1)) * 2 ** (bs[i] - s[i]))
        else:
            ofs.append(0)
    return s, ofs


def thin(op, dest, src, dd, bs, rep):
    s, ofs = geometry(dd, bs, src, 1)
    st = [2 ** s[0], 2 ** s[1]]
    for cy in range(0, src.n[1], st[1]) if op == 'avg' else range(rep[1], src.n[1], st[1]):
        for cx in range(0, src.n[0], st[0]) if op == 'avg' else range(rep[0], src.n[0], st[0]):
            dx, dy = (cx >> s[0]) + ofs[0], (cy >> s[1]) + ofs[1]
            if not dest.inside(dx, dy):
                continue
            if op == 'rep':
                v = src.at(cx, cy)
            else:  # the cell's elements inside the source, axis 0 fastest; truncated mean
                cell = [src.at(x, y) for y in range(cy, min(cy + st[1], src.n[1]))
                        for x in range(cx, min(cx + st[0], src.n[0]))]
                if isinstance(cell[0], float):
                    total = 0.0
                    for e in cell:
                        total += e
                    v = total / len(cell)
                else:
                    total = sum(cell)  # truncated toward zero
                    v = abs(total) // len(cell) * (1 if total >= 0 else -1)
            dest.v[dx + dest.n[0] * dy] = v


def store(tp, v, opt):
    bits, signed = TYPES[tp][1], TYPES[tp][2]
    if tp == 'uint8' and opt == 2:
        return encode(v)
    if bits == 64:
        return v % 2 ** 64 if not signed else (v + 2 ** 63) % 2 ** 64 - 2 ** 63
    lo, hi = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2 ** bits - 1)
    return max(lo, min(hi, v))


def level(op, tp, opt, coarse, fine, dd, bs):
    s, ofs = geometry(dd, bs, fine, coarse.lev - fine.lev)
    bits, signed = TYPES[tp][1], TYPES[tp][2]
    out = Block(['block', fine.lev, fine.c[0], fine.c[1], fine.n[0], fine.n[1],
                 bytes(struct.calcsize(TYPES[tp][0]) * fine.n[0] * fine.n[1]).hex()], tp)
    for y in range(fine.n[1]):
        for x in range(fine.n[0]):
            cx, cy = ofs[0] + (x >> s[0]), ofs[1] + (y >> s[1])
            if not coarse.inside(cx, cy):
                continue
            a, f = coarse.at(cx, cy), fine.at(x, y)
            if op == 'add' and tp == 'uint8' and opt == 2:
                r = a + DEC[f]
            else:
                r = a - f if op == 'sub' else a + f
                if bits == 32:  # wraps in 32 bits, widened by the member's signedness
                    r %= 2 ** 32
                    if signed and r >= 2 ** 31:
                        r -= 2 ** 32
            out.v[x + fine.n[0] * y] = store(tp, r, opt if op == 'sub' else 0)
    return out


def main():
    lines = sys.stdin.read().split('\n')
    i = 0
    while i < len(lines):
        tok = lines[i].split()
        i += 1
        if not tok or tok[0] != 'case':
            continue
        op, tp, opt = tok[1], tok[2], int(tok[3])
        dd, bs, rep = [int(tok[4]), int(tok[5])], [int(tok[6]), int(tok[7])], [int(tok[8]), int(tok[9])]
        blocks = [Block(lines[i + k].split(), tp) for k in range(int(tok[10]))]
        i += int(tok[10])
        if op in ('rep', 'avg'):
            out = blocks[0]
            for child in blocks[1:]:
                thin(op, out, child, dd, bs, rep)
        else:
            out = level(op, tp, opt, blocks[0], blocks[1], dd, bs)
        print(struct.pack('<%d%s' % (len(out.v), TYPES[tp][0]), *out.v).hex())


if __name__ == '__main__':
    main()

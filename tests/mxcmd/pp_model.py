"""Point-list code and plot order, written from the description of the format alone.

Reads cases from standard input:
  code DIM HEX          then plot lines, then "end": the plots described, HEX the code
                        of the system under test. Prints the description of HEX decoded
                        here, then "HEX ZHEX" of the plots encoded here (ZHEX the
                        compressed form).
  plot FLAGS ID C... [b B...] [f TYPE VALUE ...]
  order BS... ; then lines of coordinates, then "end": prints the coordinates sorted by
                        the interleaved key, one line each.
Values: 32 the text's bytes in hex; 49, 51, 52 a number; 50 "V,C"; 64 "RRGGBBAA,C".
"""
import struct
import sys
import zlib

NO_VALUE = {16, 33, 34}
INTS = {49, 51, 52}


def enc_field(t, v):
    out = bytes([t])
    if t == 32:
        out += bytes.fromhex(v) + b"\0"
    elif t in INTS:
        out += struct.pack(">q", int(v))
    elif t == 50:
        a, c = v.split(",")
        out += struct.pack(">qq", int(a), int(c))
    elif t == 64:
        rgba, c = v.split(",")
        out += bytes.fromhex(rgba) + struct.pack(">q", int(c))
    return out


def encode(dim, plots):
    out = b""
    for flags, pid, c, base, fields in plots:
        flags = (flags | 0x40) if pid else (flags & ~0x40)
        out += bytes([flags, 0]) + b"".join(struct.pack(">H", x) for x in c)
        if flags & 0x20:
            out += b"".join(struct.pack(">q", x) for x in base)
        if flags & 0x40:
            out += struct.pack(">q", pid)
        out += b"".join(enc_field(t, v) for t, v in fields) + b"\0"
    return out + b"\0"


def decode(dim, code):
    plots, i = [], 0
    while code[i] != 0:
        flags = code[i]
        i += 2
        c = list(struct.unpack_from(">%dH" % dim, code, i))
        i += 2 * dim
        base = []
        if flags & 0x20:
            base = list(struct.unpack_from(">%dq" % dim, code, i))
            i += 8 * dim
        pid = 0
        if flags & 0x40:
            pid = struct.unpack_from(">q", code, i)[0]
            i += 8
        fields = []
        while code[i] != 0:
            t = code[i]
            i += 1
            if t == 32:
                end = code.index(0, i)
                fields.append((t, code[i:end].hex()))
                i = end + 1
            elif t in INTS:
                fields.append((t, str(struct.unpack_from(">q", code, i)[0])))
                i += 8
            elif t == 50:
                a, n = struct.unpack_from(">qq", code, i)
                fields.append((t, "%d,%d" % (a, n)))
                i += 16
            elif t == 64:
                fields.append((t, "%s,%d" % (code[i:i + 4].hex(), struct.unpack_from(">q", code, i + 4)[0])))
                i += 12
            elif t in NO_VALUE:
                fields.append((t, "-"))
            else:
                raise ValueError("type %x" % t)
        i += 1
        plots.append((flags, pid, c, base, fields))
    return plots


def describe(plots):
    lines = []
    for flags, pid, c, base, fields in plots:
        s = "plot %d %d %s" % (flags, pid, " ".join(map(str, c)))
        if base:
            s += " b " + " ".join(map(str, base))
        if fields:
            s += " f " + " ".join("%d %s" % f for f in fields)
        lines.append(s)
    return lines


def parse_plot(words, dim):
    flags, pid = int(words[1]), int(words[2])
    c = [int(x) for x in words[3:3 + dim]]
    rest = words[3 + dim:]
    base, fields = [], []
    if rest and rest[0] == "b":
        base = [int(x) for x in rest[1:1 + dim]]
        rest = rest[1 + dim:]
    if rest and rest[0] == "f":
        rest = rest[1:]
        fields = [(int(rest[k]), rest[k + 1]) for k in range(0, len(rest), 2)]
    return flags, pid, c, base, fields


def key(bs, c):
    k = 0
    for b in range(max(bs) - 1, -1, -1):
        for i, s in enumerate(bs):
            if s > b:
                k = (k << 1) | ((c[i] >> b) & 1)
    return k


def main():
    lines = sys.stdin.read().split("\n")
    i = 0
    while i < len(lines):
        words = lines[i].split()
        i += 1
        if not words:
            continue
        body = []
        while lines[i].strip() != "end":
            body.append(lines[i].split())
            i += 1
        i += 1
        if words[0] == "code":
            dim, code = int(words[1]), bytes.fromhex(words[2])
            plots = [parse_plot(b, dim) for b in body]
            for line in describe(decode(dim, code)):
                print(line)
            mine = encode(dim, plots)
            print(mine.hex(), zlib.compress(b"\x0d" + mine, 7).hex())
        else:
            bs = [int(x) for x in words[1:]]
            for c in sorted(([int(x) for x in b] for b in body), key=lambda c: key(bs, c)):
                print(" ".join(map(str, c)))


main()

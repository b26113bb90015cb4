#!/usr/bin/env python3
"""Independent models of the element types' fixed forms, written from their layouts:

  net    the network form of sample datums of the 27 types that have one, packed with
         struct (big-endian fields, vectors led by offset, type, dim and sizes), and read
         back with struct to check each line
  curve  the difference curve: code byte i stands for rint(k x^3 + x), x = i - 127.5, k the
         double of bits 3F10203040506071; a difference without a code takes the code of the
         next lower difference that has one
  thin   average and representative thinning and level addition and difference of random
         integer blocks, with exact integer sums, the mean truncated toward zero over the
         elements of each cell inside the block, and the per-width wrap and clamp rules;
         each result is given as an FNV-1a digest of its elements

  mxtype_model.py golden   rewrites data/net_golden.txt, data/curve_golden.txt and
                           data/thin_golden.txt
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MASK64 = (1 << 64) - 1

# name: (code, struct letter, element bytes, signed)
SCALARS = {
    "bit": (1, "B", 1, False), "int8": (2, "b", 1, True), "int16": (3, "h", 2, True),
    "int32": (4, "i", 4, True), "int64": (5, "q", 8, True), "uint8": (6, "B", 1, False),
    "uint16": (7, "H", 2, False), "uint32": (8, "I", 4, False), "uint64": (9, "Q", 8, False),
    "float": (10, "f", 4, None), "double": (11, "d", 8, None), "rgb8": (12, "I", 4, False),
}

# ---------------------------------------------------------------- network form

NET_CASES = [
    ("bit", None, ["1"]), ("int8", None, ["-5"]), ("int16", None, ["-2"]),
    ("int32", None, ["305419896"]), ("int64", None, ["-1099511627779"]), ("uint8", None, ["200"]),
    ("uint16", None, ["65000"]), ("uint32", None, ["4000000000"]),
    ("uint64", None, ["9223372036854775813"]), ("float", None, [(1.0).hex()]),
    ("double", None, [(1.0).hex()]), ("rgb8", None, [str(0x10FF2080)]),
    ("block", None, ["0001ff80"]), ("string", None, ["68c3a96c6c6f"]),
    ("bit_v", [10], ["165", "3"]),
    ("int8_v", [3, 2], ["1", "-2", "3", "-4", "5", "-128"]),
    ("int16_v", [3, 2], ["1", "2", "3", "4", "5", "6"]),
    ("int32_v", [4], ["-1", "0", "2147483647", "-2147483648"]),
    ("int64_v", [2, 2], ["1", "-1", str(1 << 62), str(-(1 << 63))]),
    ("uint8_v", [], ["255"]),
    ("uint16_v", [2, 1, 2], ["1", "65535", "256", "4660"]),
    ("uint32_v", [3], ["0", "4294967295", "305419896"]),
    ("uint64_v", [2], [str(MASK64), "1"]),
    ("float_v", [3], [(1.0).hex(), (-0.5).hex(), (0.1).hex()]),
    ("double_v", [1], [(1.0).hex()]),
    ("double_v", [1, 1], [(1.0).hex()]),
    ("double_v", [2], [(-2.5).hex(), (1e300).hex()]),
    ("rgb8_v", [2], [str(0x10FF2080), str(0x01010101)]),
    ("string_v", [2], ["6162", "~"]),
    ("string_v", [2, 2], ["61", "=", "~", "e697a5"]),
]


def element_bytes(scalar, value):
    code, letter, size, signed = SCALARS[scalar]
    if signed is None:
        return struct.pack(">" + letter, float.fromhex(value))
    return struct.pack(">" + letter, int(value))


def vector_offset(dim, el, aligned):
    head = 4 + 4 * dim
    return (head + el - 1) // el * el if aligned else head


def encode(name, sizes, values):
    if sizes is None:
        if name == "block":
            return bytes.fromhex(values[0])
        if name == "string":
            return bytes.fromhex(values[0]) + b"\0"
        return element_bytes(name, values[0])
    dim = len(sizes)
    head_sizes = b"".join(struct.pack(">i", n) for n in sizes)
    if name == "string_v":
        out = struct.pack(">I", 30 << 16 | dim) + head_sizes
        for v in values:
            out += (b"" if v in ("~", "=") else bytes.fromhex(v)) + b"\0"
        return out
    scalar = name[:-2]
    code = SCALARS[scalar][0] | 0x10
    if name == "bit_v":
        offset = vector_offset(dim, 1, False)
        body = bytes(int(v) for v in values)
    else:
        el = SCALARS[scalar][2]
        offset = vector_offset(dim, el, True)
        body = b"".join(element_bytes(scalar, v) for v in values)
    head = struct.pack(">BBh", offset, code, dim) + head_sizes
    return head + b"\0" * (offset - len(head)) + body


def decode_check(name, sizes, values, data):
    """Reads the bytes back with struct and compares them with the values."""
    if sizes is None:
        if name in ("block", "string"):
            return
        code, letter, size, signed = SCALARS[name]
        (v,) = struct.unpack(">" + letter, data)
        assert (v == float.fromhex(values[0])) if signed is None else v == int(values[0]), name
        return
    if name == "string_v":
        head, = struct.unpack_from(">I", data)
        assert head >> 16 == 30 and head & 0xFFFF == len(sizes)
        strings = data[4 + 4 * len(sizes):].split(b"\0")[:-1]
        assert [s.hex() for s in strings] == ["" if v in ("~", "=") else v for v in values]
        return
    offset, code, dim = struct.unpack_from(">BBh", data)
    assert dim == len(sizes) and list(struct.unpack_from(">%di" % dim, data, 4)) == sizes
    scalar = name[:-2]
    assert code == SCALARS[scalar][0] | 0x10
    if name == "bit_v":
        assert list(data[offset:]) == [int(v) for v in values]
        return
    letter = SCALARS[scalar][1]
    got = struct.unpack_from(">%d%s" % (len(values), letter), data, offset)
    want = [float.fromhex(v) if SCALARS[scalar][3] is None else int(v) for v in values]
    if scalar == "float":
        want = [struct.unpack(">f", struct.pack(">f", w))[0] for w in want]
    assert list(got) == want, name


def net_lines():
    for name, sizes, values in NET_CASES:
        data = encode(name, sizes, values)
        decode_check(name, sizes, values, data)
        shape = "-" if sizes is None else ",".join(map(str, sizes)) or "()"
        yield "%s|%s|%s|%s" % (name, shape, ",".join(values), data.hex())

# ---------------------------------------------------------------- curve


def curve_tables():
    (k,) = struct.unpack(">d", bytes.fromhex("3F10203040506071"))
    decode = []
    encode_tbl = [None] * 511
    for i in range(256):
        x = i - 127.5
        y = ((k * x) * x) * x + x
        d = round(y)  # halves to even, as rint in the default mode
        decode.append(d)
        encode_tbl[d + 255] = i
    last = 0
    for d in range(511):
        if encode_tbl[d] is None:
            encode_tbl[d] = last
        else:
            last = encode_tbl[d]
    return decode, encode_tbl


def short2uchar(enc, d):
    return 255 if d > 255 else 0 if d < -255 else enc[d + 255]

# ---------------------------------------------------------------- thinning and levels

INTS = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]


def splitmix(seed):
    state = seed & MASK64
    while True:
        state = (state + 0x9E3779B97F4A7C15) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        yield z ^ (z >> 31)


def width(member):
    return SCALARS[member][2] * 8, SCALARS[member][3]


def element(member, z):
    bits, signed = width(member)
    v = z & ((1 << bits) - 1)
    return v - (1 << bits) if signed and v >= 1 << (bits - 1) else v


def count(sizes):
    n = 1
    for s in sizes:
        n *= s
    return n


def positions(sizes):
    """Index tuples in storage order, axis 0 fastest."""
    n = count(sizes)
    for seq in range(n):
        p = []
        for s in sizes:
            p.append(seq % s)
            seq //= s
        yield p


def seq_of(p, sizes):
    seq, stride = 0, 1
    for x, s in zip(p, sizes):
        seq += x * stride
        stride *= s
    return seq


def geometry(dd, bs, parent, lev, coords):
    shift = [d * parent for d in dd]
    ofs = []
    for s, b, d, c in zip(shift, bs, dd, coords):
        ofs.append(((c >> (d * lev + b)) & ((1 << s) - 1)) << (b - s) if b > s else 0)
    return shift, ofs


def inside(p, sizes):
    return all(0 <= x < s for x, s in zip(p, sizes))


def thin_avg(S, D, shift, ofs, src):
    dest = [0] * count(D)
    cells = [(s + (1 << h) - 1) >> h for s, h in zip(S, shift)]
    for k in positions(cells):
        d = [a + o for a, o in zip(k, ofs)]
        if not inside(d, D):
            continue
        lo = [a << h for a, h in zip(k, shift)]
        hi = [min(l + (1 << h), s) for l, h, s in zip(lo, shift, S)]
        box = [h - l for l, h in zip(lo, hi)]
        total = sum(src[seq_of([l + x for l, x in zip(lo, q)], S)] for q in positions(box))
        n = count(box)
        mean = abs(total) // n
        dest[seq_of(d, D)] = mean if total >= 0 else -mean
    return dest


def thin_rep(S, D, shift, ofs, rep, src):
    dest = [0] * count(D)
    if not inside(rep, S):
        return dest
    steps = [(s - r + (1 << h) - 1) >> h for s, r, h in zip(S, rep, shift)]
    for j in positions(steps):
        p = [r + (x << h) for r, x, h in zip(rep, j, shift)]
        d = [(x >> h) + o for x, h, o in zip(p, shift, ofs)]
        if inside(d, D):
            dest[seq_of(d, D)] = src[seq_of(p, S)]
    return dest


def level_result(member, a, b, sub, opt, dec):
    bits, signed = width(member)
    if member == "uint8" and not sub and opt == 2:
        return a + dec[b]
    r = a - b if sub else a + b
    if bits <= 16:
        return r
    r &= (1 << bits) - 1
    if bits == 32 and signed or bits == 64:
        r = r - (1 << bits) if r >= 1 << (bits - 1) else r
    return r


def level_store(member, r, sub, opt, enc):
    bits, signed = width(member)
    if bits == 64:
        return r & MASK64 if not signed else r
    if signed:
        return max(-(1 << (bits - 1)), min((1 << (bits - 1)) - 1, r))
    if member == "uint8" and sub and opt == 2:
        low = r & 0xFFFF
        return short2uchar(enc, low - 0x10000 if low >= 0x8000 else low)
    return max(0, min((1 << bits) - 1, r))


def level(member, sub, opt, F, C, D, shift, ofs, coarse, fine, dec, enc):
    dest = [0] * count(D)
    for f in positions(F):
        c = [o + (x >> h) for x, h, o in zip(f, shift, ofs)]
        if inside(c, C) and inside(f, D):
            r = level_result(member, coarse[seq_of(c, C)], fine[seq_of(f, F)], sub, opt, dec)
            dest[seq_of(f, D)] = level_store(member, r, sub, opt, enc)
    return dest


def digest(values):
    h = 0xCBF29CE484222325
    for v in values:
        for byte in (v & MASK64).to_bytes(8, "little"):
            h = ((h ^ byte) * 0x100000001B3) & MASK64
    return h


# op, S (fine), C (coarse; "-" for thinning), D, dim_divide, block_size, parent, level,
# coordinates, rep or option
THIN_CASES = [
    ("avg", [257, 257], None, [257, 257], [1, 1], [8, 8], 1, 1, [512, 0], None),
    ("avg", [255, 255], None, [256, 256], [1, 1], [8, 8], 1, 1, [0, 0], None),
    ("avg", [257], None, [257], [2], [8], 1, 1, [3 * 1024], None),
    ("avg", [5, 7, 3], None, [4, 8, 2], [1, 2, 1], [2, 3, 1], 1, 2, [12, 0, 8], None),
    ("avg", [256, 64], None, [256, 64], [1, 1], [8, 6], 2, 1, [1536, 0], None),
    ("rep", [257, 257], None, [257, 257], [1, 1], [8, 8], 1, 1, [512, 512], [1, 0]),
    ("rep", [255, 17], None, [256, 16], [1, 2], [8, 4], 1, 3, [0, 0], [0, 3]),
    ("add", [257, 257], [257, 257], [257, 257], [1, 1], [8, 8], 1, 1, [512, 0], 0),
    ("sub", [255, 255], [256, 256], [255, 255], [1, 1], [8, 8], 1, 1, [0, 512], 0),
    ("add", [9, 5], [4, 3], [9, 5], [1, 1], [3, 2], 1, 1, [16, 8], 2),
    ("sub", [9, 5], [4, 3], [9, 5], [1, 1], [3, 2], 1, 1, [16, 8], 2),
]


def thin_lines():
    dec, enc = curve_tables()
    seed = 1
    for member in INTS:
        for op, S, C, D, dd, bs, parent, lev, coords, extra in THIN_CASES:
            seed += 1
            rnd = splitmix(seed)
            fine = [element(member, next(rnd)) for _ in range(count(S))]
            shift, ofs = geometry(dd, bs, parent, lev, coords)
            if op == "avg":
                out = thin_avg(S, D, shift, ofs, fine)
            elif op == "rep":
                out = thin_rep(S, D, shift, ofs, extra, fine)
            else:
                coarse = [element(member, next(rnd)) for _ in range(count(C))]
                out = level(member, op == "sub", extra, S, C, D, shift, ofs, coarse, fine, dec, enc)
            j = lambda v: ",".join(map(str, v)) if v is not None else "-"
            yield " ".join([member, op, j(S), j(C), j(D), j(dd), j(bs), str(parent), str(lev), j(coords),
                            j(extra if isinstance(extra, list) else None if extra is None else [extra]),
                            str(seed), "%016x" % digest(out)])


def main():
    if sys.argv[1:2] != ["golden"]:
        print(__doc__)
        return 2
    data = os.path.join(HERE, "data")
    os.makedirs(data, exist_ok=True)
    with open(os.path.join(data, "net_golden.txt"), "w") as f:
        f.writelines(line + "\n" for line in net_lines())
    dec, enc = curve_tables()
    with open(os.path.join(data, "curve_golden.txt"), "w") as f:
        f.write("decode " + " ".join(map(str, dec)) + "\n")
        f.write("encode " + " ".join(map(str, enc)) + "\n")
    with open(os.path.join(data, "thin_golden.txt"), "w") as f:
        f.writelines(line + "\n" for line in thin_lines())
    return 0


if __name__ == "__main__":
    sys.exit(main())

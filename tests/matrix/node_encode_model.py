#!/usr/bin/env python3
# An independent encoder of the node byte string, written from its layout: a kind byte (1
# bit field, 0 child-code list), the field's length or the count of child codes and the
# codes themselves, then per carried channel (ascending) its number, the payload length and
# the payload in the element type's network form (big-endian elements; vectors led by
# offset, type, dim and sizes). Numbers use the store's variable-length code.
#
#   node_encode_model.py    rewrites data/node_encode_golden.txt
#
# Golden lines: form;children;int16;double_v;uint8;string;int32_v;hex where form is B (two
# axes, divisors 2 2: a 2-byte bit field) or L (two axes, divisors 7 7: a list of level-0
# child codes "x:y" of the level-1 node), "-" marks a channel without datum, vectors list
# their elements with ",", the int32_v its two sizes first ("2 3:1,2,3,4,5,6"). Channel 2
# (uint8) is not carried.
import os
import random
import struct

CLASSES = [(2, 15, 0b0, 1), (4, 30, 0b10, 2), (6, 45, 0b110, 3), (8, 60, 0b1110, 4)]


def code(v):
    for nbytes, bits, prefix, prefix_len in CLASSES:
        if -(1 << (bits - 1)) <= v < (1 << (bits - 1)):
            return ((prefix << (nbytes * 8 - prefix_len)) | (v & ((1 << bits) - 1))).to_bytes(nbytes, "big")
    return b"\xf0" + (v & ((1 << 64) - 1)).to_bytes(8, "big")


def dim_code(values):
    return b"".join(code(v) for v in values) + b"\xf1"


def vector(type_code, sizes, fmt, elements):
    offset = 4 + 4 * len(sizes)  # the layouts chosen here need no padding
    head = struct.pack(">bbh", offset, type_code, len(sizes)) + b"".join(struct.pack(">i", s) for s in sizes)
    return head + b"".join(struct.pack(fmt, e) for e in elements)


def encode(node):
    out = bytearray()
    if node["form"] == "B":
        out += b"\x01" + code(len(node["bits"])) + node["bits"]
    else:
        out += b"\x00" + code(len(node["children"]))
        for x, y in node["children"]:
            out += dim_code([0, x, y])
    payloads = []
    if node["int16"] is not None:
        payloads.append((0, struct.pack(">h", node["int16"])))
    if node["double_v"] is not None:
        payloads.append((1, vector(27, [len(node["double_v"])], ">d", node["double_v"])))
    if node["string"] is not None:
        payloads.append((3, node["string"].encode() + b"\x00"))
    if node["int32_v"] is not None:
        sizes, values = node["int32_v"]
        payloads.append((4, vector(20, sizes, ">i", values)))
    for ch, payload in payloads:
        out += code(ch) + code(len(payload)) + payload
    return bytes(out)


def maybe(rnd, f):
    return f() if rnd.random() < 0.7 else None


def wide(rnd):
    return rnd.choice([rnd.randint(-100, 100), rnd.randint(-(1 << 40), 1 << 40), rnd.randint(-(1 << 62), 1 << 62)])


def node(rnd):
    n = {"form": rnd.choice("BL")}
    if n["form"] == "B":
        n["bits"] = bytes([rnd.randrange(256), rnd.randrange(256)])
    else:
        ox, oy = wide(rnd) & ~1023, wide(rnd) & ~1023  # the level-1 parent's origin (2^10 span)
        kids = {(ox + 8 * rnd.randrange(128), oy + 8 * rnd.randrange(128)) for _ in range(rnd.randrange(6))}
        n["children"] = sorted(kids)
    n["int16"] = maybe(rnd, lambda: rnd.randint(-32768, 32767))
    n["double_v"] = maybe(rnd, lambda: [rnd.uniform(-1e9, 1e9) for _ in range(rnd.randrange(1, 5))])
    n["uint8"] = maybe(rnd, lambda: rnd.randrange(256))
    n["string"] = maybe(rnd, lambda: "".join(rnd.choice("abcxyz") for _ in range(rnd.randrange(8))))
    def ints():
        sizes = [rnd.randrange(1, 4), rnd.randrange(1, 4)]
        return sizes, [rnd.randint(-(1 << 31), (1 << 31) - 1) for _ in range(sizes[0] * sizes[1])]
    n["int32_v"] = maybe(rnd, ints)
    return n


def line(n):
    kids = n["bits"].hex() if n["form"] == "B" else " ".join("%d:%d" % k for k in n["children"])
    opt = lambda v, f: "-" if v is None else f(v)
    return ";".join([n["form"], kids, opt(n["int16"], str), opt(n["double_v"], lambda v: ",".join(repr(x) for x in v)),
                     opt(n["uint8"], str), opt(n["string"], str),
                     opt(n["int32_v"], lambda v: "%d %d:%s" % (v[0][0], v[0][1], ",".join(map(str, v[1])))),
                     encode(n).hex()])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    rnd = random.Random(32)
    with open(os.path.join(here, "data", "node_encode_golden.txt"), "w") as f:
        for _ in range(300):
            f.write(line(node(rnd)) + "\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
# An independent model of the GIF writer and its median-cut quantiser, written from the
# description of the format and the algorithm (not from our C++): plain lists, a dict for
# the LZW string table, an integer bit accumulator for the sub-blocks.
#
#   gif_model.py golden        writes data/gif_model_golden.txt: for every case of
#                              CASES, "index w h kind seed length crc32" of the model's GIF
#   gif_model.py write N FILE  writes the model's GIF of case N (to compare by hand)
#   gif_model.py late-end A B  lists random-colour images of sides A..B-1 whose end code
#                              starts late in a full block (256 bytes left at the end)
#
# gif_writer_test.cpp rebuilds the same images (same generator) and compares.
import os
import sys
import zlib


class Lcg:
    def __init__(self, seed):
        self.x = seed & 0xFFFFFFFF

    def next(self):
        self.x = (self.x * 1103515245 + 12345) & 0xFFFFFFFF
        return self.x

    def byte(self):
        return self.next() >> 24

    def below(self, n):
        return ((self.next() >> 8) * n) >> 24


def photo(w, h, seed):
    """The gradient with noise of image_test_util.h, as (r, g, b) tuples."""
    g = Lcg(seed)
    clamp = lambda v: 0 if v < 0 else 255 if v > 255 else v
    out = []
    for y in range(h):
        for x in range(w):
            n = g.below(33) - 16
            out.append((clamp(x * 255 // (w - 1 if w > 1 else 1) + n),
                        clamp(y * 255 // (h - 1 if h > 1 else 1) - n),
                        clamp((x + y) * 127 // (w + h) + 64 + int(n / 2))))
    return out


def make_image(kind, w, h, seed):
    """Kinds: 0 a few colours, 1 any colours, 2 photo, 3 runs of few colours."""
    g = Lcg(seed)
    if kind == 2:
        return photo(w, h, seed)
    if kind == 1:
        return [(g.byte(), g.byte(), g.byte()) for _ in range(w * h)]
    k = 1 + g.below(12)
    pal = [(g.byte(), g.byte(), g.byte()) for _ in range(k)]
    if kind == 0:
        return [pal[g.below(k)] for _ in range(w * h)]
    out = []
    while len(out) < w * h:
        c = pal[g.below(k)]
        out += [c] * (1 + g.below(40))
    return out[:w * h]


def cases():
    """(w, h, kind, seed) of every case: many small images and a few large enough to pass
    4096 codes and 8192 bytes of output."""
    g = Lcg(2024)
    out = []
    for i in range(300):
        out.append((1 + g.below(40), 1 + g.below(40), g.below(4), i + 1))
    for (w, h, kind) in [(120, 120, 1), (160, 100, 2), (200, 150, 3), (90, 130, 0), (256, 64, 1)]:
        out.append((w, h, kind, len(out) + 1))
    out.append((79, 79, 1, 45))  # the end code starts late in a full block (see late-end)
    return out


# ----------------------------------------------------------------- median cut

CH = {"r": 0, "g": 1, "b": 2}


def median_cut(pixels):
    """Returns (palette of 256 (r, g, b), index per pixel)."""
    cells = {}
    for p in pixels:
        cells.setdefault((p[0] >> 4, p[1] >> 4, p[2] >> 4), []).append(p)

    def colours_in(lo, hi):
        for key in [(a, b, c) for a in range(lo[0] >> 4, (hi[0] >> 4) + 1)
                    for b in range(lo[1] >> 4, (hi[1] >> 4) + 1)
                    for c in range(lo[2] >> 4, (hi[2] >> 4) + 1)]:
            for p in cells.get(key, ()):
                if all(lo[i] <= p[i] <= hi[i] for i in range(3)):
                    yield p

    def tight(lo, hi):
        inside = list(colours_in(lo, hi))
        if not inside:
            return lo, hi
        return ([min(p[i] for p in inside) for i in range(3)],
                [max(p[i] for p in inside) for i in range(3)])

    # a box: [lo, hi, count, leaf]; a tree node: dict
    if not pixels:
        return [(0, 0, 0)] * 256, []
    root = {"leaf": True}
    boxes = [[[min(p[i] for p in pixels) for i in range(3)],
              [max(p[i] for p in pixels) for i in range(3)], len(pixels), root]]
    while len(boxes) < 256:
        def score(b):
            side = max(b[1][i] - b[0][i] + 1 for i in range(3))
            return side * b[2].bit_length()
        best = None
        for i, b in enumerate(boxes):
            if score(b) > 0 and (best is None or score(b) > score(boxes[best])):
                best = i
        if best is None:
            break
        lo, hi, _, leaf = boxes[best]
        sides = [hi[i] - lo[i] + 1 for i in range(3)]
        if max(sides) < 2:
            break
        ch = sides.index(max(sides))  # red, then green, then blue
        counts = [0] * 256
        for p in colours_in(lo, hi):
            counts[p[ch]] += 1
        total = sum(counts)
        boxes[best] = boxes[-1]
        boxes.pop()
        if total == 0:
            continue
        cut, below = lo[ch] + 1, counts[lo[ch]]
        while cut < hi[ch] and 2 * below < total:
            below += counts[cut]
            cut += 1
        lhi = list(hi)
        lhi[ch] = cut - 1
        ulo = list(lo)
        ulo[ch] = cut
        left, right = {"leaf": True}, {"leaf": True}
        leaf.clear()
        leaf.update({"leaf": False, "ch": ch, "cut": cut, "left": left, "right": right})
        l_lo, l_hi = tight(lo, lhi)
        u_lo, u_hi = tight(ulo, hi)
        boxes.append([l_lo, l_hi, below, left])
        boxes.append([u_lo, u_hi, total - below, right])
    palette = []
    for i, (lo, hi, _, leaf) in enumerate(boxes):
        leaf["index"] = i
        palette.append(tuple(lo[k] + (hi[k] - lo[k] + 1) // 2 for k in range(3)))
    palette += [(0, 0, 0)] * (256 - len(palette))
    indices = []
    for p in pixels:
        node = root
        while not node["leaf"]:
            node = node["left"] if p[node["ch"]] < node["cut"] else node["right"]
        indices.append(node["index"])
    return palette, indices


# ----------------------------------------------------------------- LZW and blocks

class Blocks:
    """Codes packed least significant bit first. Before a code is added, a block holding
    254 bytes or more goes out with its whole bytes; at the end the rest goes out in
    blocks of at most 255 bytes."""

    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.nbits = 0
        self.late_end = False

    def code(self, value, width):
        whole = self.nbits // 8
        if whole >= 254:
            self.out.append(whole)
            self.out += (self.acc & ((1 << (8 * whole)) - 1)).to_bytes(whole, "little")
            self.acc >>= 8 * whole
            self.nbits -= 8 * whole
        self.acc |= value << self.nbits
        self.nbits += width

    def finish(self):
        n = (self.nbits + 7) // 8
        data = self.acc.to_bytes(n, "little") if n else b""
        self.late_end = n > 255
        while data:
            self.out.append(min(255, len(data)))
            self.out += data[:255]
            data = data[255:]
        self.out.append(0)


def lzw(indices, min_size=8):
    clear, eof = 1 << min_size, (1 << min_size) + 1
    blocks = Blocks()
    state = {}

    def reset():
        state.update(table={}, next=clear + 2, width=min_size + 1)

    reset()
    blocks.code(clear, state["width"])
    if indices:
        prefix = indices[0]
        for ch in indices[1:]:
            key = (prefix, ch)
            if key in state["table"]:
                prefix = state["table"][key]
                continue
            blocks.code(prefix, state["width"])
            given = state["next"]
            if given < 4096:
                state["table"][key] = given
                state["next"] += 1
            if given == 1 << state["width"]:
                if state["width"] < 12:
                    state["width"] += 1
                else:
                    blocks.code(clear, 12)
                    reset()
            prefix = ch
        blocks.code(prefix, state["width"])
    blocks.code(eof, state["width"])
    blocks.finish()
    return bytes([min_size]) + bytes(blocks.out), blocks.late_end


def gif(w, h, pixels):
    palette, indices = median_cut(pixels)
    le16 = lambda v: bytes((v & 255, v >> 8))
    out = bytearray(b"GIF87a" + le16(w) + le16(h) + bytes((0xF7, 0, 0)))
    for c in palette:
        out += bytes(c)
    out += b"," + le16(0) + le16(0) + le16(w) + le16(h) + b"\x00"
    data, late = lzw(indices)
    return bytes(out + data + b";"), late


def main():
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
    if sys.argv[1:2] == ["golden"]:
        with open(os.path.join(here, "gif_model_golden.txt"), "w") as f:
            for i, (w, h, kind, seed) in enumerate(cases()):
                g, _ = gif(w, h, make_image(kind, w, h, seed))
                f.write("%d %d %d %d %d %d %08x\n" % (i, w, h, kind, seed, len(g), zlib.crc32(g)))
    elif sys.argv[1:2] == ["write"]:
        w, h, kind, seed = cases()[int(sys.argv[2])]
        with open(sys.argv[3], "wb") as f:
            f.write(gif(w, h, make_image(kind, w, h, seed))[0])
    elif sys.argv[1:2] == ["late-end"]:  # slow: about a minute per hundred images
        for w in range(int(sys.argv[2]), int(sys.argv[3])):
            for seed in range(1, 60):
                g, late = gif(w, w, make_image(1, w, w, seed))
                if late:
                    print("w=h=%d kind=1 seed=%d length=%d" % (w, seed, len(g)))
    else:
        sys.exit("usage: gif_model.py golden | write N FILE | late-end A B")


if __name__ == "__main__":
    main()

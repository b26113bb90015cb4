#!/usr/bin/env python3
# An independent model of the block orders and the work counts of the matrix store's walks,
# written from their rules:
# - geometry: level 0 holds the axis lengths; each level divides every length by
#   2^dim_divide (ceiling, at least 1); the level count is the most levels any axis needs to
#   reach 1. A node of level L spans 2^(block_size + dim_divide * L) samples of level 0.
# - the Peano walk visits the blocks of one level inside a box (inside the matrix) in Z order:
#   ancestors compared from the top level down, within a parent the last axis most significant.
# - the work below a node: the box clipped to the node's block, summed over the levels from
#   the node's down to 0 of the product of the clipped spans (end aligned up, start down) in
#   samples of that level.
# - a forced scan that descends everywhere: "call-force" per node (codes printed as
#   "+max LEVELS+[LEVEL x.. ]", coordinates masked to 2^(dim_divide * level) in hex), node
#   before children, children inside the box with axis 0 fastest; the progress after a
#   node's children: its own block when it was descended into, else its work; a "TOTAL"
#   line whenever the clock (moved one second at every node's first phase) has changed.
#
#   scan_model.py golden    rewrites data/scan_golden.txt
import itertools
import os
import random
import sys


def levels_of(axes):
    most = 0
    for p, d, _ in axes:
        n, size = 1, p
        while size > 1:
            size = -(-size // (1 << d))
            n += 1
        most = max(most, n)
    return most


def span(axis, level):
    _, d, b = axis
    return b + d * level


def peano_order(axes, level, start, end):
    total = levels_of(axes)
    ranges = []
    for a, axis in enumerate(axes):
        step = 1 << span(axis, level)
        ranges.append(range(start[a], end[a], step))

    def key(c):
        k = [tuple(c[a] >> span(axes[a], total) for a in reversed(range(len(axes))))]
        for lev in range(total, level, -1):
            k.append(tuple((c[a] >> span(axes[a], lev - 1)) & ((1 << axes[a][1]) - 1)
                           for a in reversed(range(len(axes)))))
        return k

    return sorted(itertools.product(*ranges), key=key)


def loop_amount(axes, start, end, dc):
    level = dc[0]
    cs, ce = [], []
    for a, axis in enumerate(axes):
        s = span(axis, level)
        origin = dc[a + 1] >> s << s
        cs.append(max(start[a + 1], origin))
        ce.append(min(end[a + 1], origin + (1 << s)))
        if ce[-1] <= cs[-1]:
            return 0
    total = 0
    for lev in range(level, -1, -1):
        prod = 1
        for a, axis in enumerate(axes):
            s = span(axis, lev)
            up = -(-ce[a] >> s) << s
            down = cs[a] >> s << s
            prod *= (up - down) >> (axis[1] * lev)
        total += prod
    return total


def pt_dc(axes, total, dc):
    text = "+max %d+[%d " % (total, dc[0])
    for a, axis in enumerate(axes):
        text += "%x " % (dc[a + 1] >> (axis[1] * dc[0]) << (axis[1] * dc[0]))
    return text + "]"


def forced_walk(axes, start, end, clock):
    total = levels_of(axes)
    top = [total - 1] + [0] * len(axes)
    state = {"clock": clock, "last": None, "done": 0, "all": loop_amount(axes, start, end, top)}
    lines = []

    def visit(dc):
        lines.append("call-force %s %s %s" % (pt_dc(axes, total, dc), pt_dc(axes, total, start),
                                              pt_dc(axes, total, end)))
        state["clock"] += 1
        level = dc[0]
        if level > 0:
            ranges = []
            for a, axis in enumerate(axes):
                sc, sl = span(axis, level - 1), span(axis, level)
                origin = dc[a + 1] >> sl << sl
                cs = max(start[a + 1] >> sc << sc, origin)
                ce = min((end[a + 1] >> sc << sc) + (1 << sc), origin + (1 << sl))
                ranges.append(range(cs, ce, 1 << sc))
            for c in itertools.product(*reversed(ranges)):
                visit([level - 1] + list(reversed(c)))
            state["done"] += 1 << sum(b for _, _, b in axes)
        else:
            state["done"] += loop_amount(axes, start, end, dc)
        if state["clock"] != state["last"]:
            lines.append("TOTAL = %d / %d %f" % (state["done"], state["all"], state["done"] * 100.0 / state["all"]))
            state["last"] = state["clock"]

    visit(top)
    return lines


def axes_text(axes):
    return " ".join("%d %d %d" % axis for axis in axes)


def peano_boxes(rnd):
    """One axis 0..4 on 3 levels, two axes (0, 0)..(4, 4), a one-block box, then random boxes."""
    yield [(4, 1, 0)], 0, [0], [4]
    yield [(4, 1, 0), (4, 1, 0)], 0, [0, 0], [4, 4]
    yield [(64, 1, 2), (64, 1, 2)], 1, [8, 16], [16, 24]
    for _ in range(60):
        axes = [(rnd.randint(1, 64), rnd.choice([1, 1, 2]), rnd.randint(0, 2)) for _ in range(rnd.randint(1, 3))]
        level = rnd.randint(0, levels_of(axes) - 1)
        start, end = [], []
        for axis in axes:  # boxes inside the matrix
            p, step = axis[0], 1 << span(axis, level)
            start.append(rnd.randint(0, (p - 1) // step) * step)
            end.append(rnd.randint(start[-1] + 1, p))
        yield axes, level, start, end


def golden(rnd):
    out = []
    for axes, level, start, end in peano_boxes(rnd):
        dim = len(axes)
        order = peano_order(axes, level, start, end)
        out.append("peano %d %s %d %d %s %s : %s" % (
            dim, axes_text(axes), levels_of(axes), level, " ".join(map(str, start)), " ".join(map(str, end)),
            " ".join(",".join(map(str, c)) for c in order)))
    for _ in range(100):
        dim = rnd.randint(1, 3)
        axes = [(rnd.randint(1, 300), rnd.choice([1, 2]), rnd.randint(0, 3)) for _ in range(dim)]
        total = levels_of(axes)
        level = rnd.randint(0, total - 1)
        dc = [level] + [rnd.randint(0, p) for p, _, _ in axes]
        start = [0] + [rnd.randint(-5, p) for p, _, _ in axes]
        end = [0] + [s + rnd.randint(0, 80) for s in start[1:]]
        out.append("loop %d %s %d %s %s %s = %d" % (
            dim, axes_text(axes), total, " ".join(map(str, dc)), " ".join(map(str, start)),
            " ".join(map(str, end)), loop_amount(axes, start, end, dc)))
    for case in range(12):
        dim = rnd.randint(1, 2)
        axes = [(rnd.randint(2, 24), 1, rnd.randint(0, 2)) for _ in range(dim)]
        total = levels_of(axes)
        start = [0] + [rnd.randint(0, p - 1) for p, _, _ in axes]
        end = [0] + [rnd.randint(s + 1, p) for s, (p, _, _) in zip(start[1:], axes)]
        clock = 1000000 * (case + 1)
        out.append("force %d %s %d %d %s %s" % (dim, axes_text(axes), total, clock, " ".join(map(str, start)),
                                                  " ".join(map(str, end))))
        out += forced_walk(axes, start, end, clock)
        out.append("end")
    return out


if __name__ == "__main__":
    if sys.argv[1:] != ["golden"]:
        sys.exit("usage: scan_model.py golden")
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "scan_golden.txt")
    with open(path, "w") as f:
        f.write("\n".join(golden(random.Random(8124))) + "\n")

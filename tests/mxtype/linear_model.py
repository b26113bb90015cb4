#!/usr/bin/env python3
# An independent model of square linear systems: random systems of small integers solved by
# exact rational elimination (fractions, Gauss-Jordan with row exchanges), the solution
# rounded to the nearest double only at the end. Systems whose elimination needs a row
# exchange at every choice of pivot (a zero diagonal) or that are singular are not kept.
#
#   linear_model.py golden    rewrites data/linear_golden.txt: "n a(0,0) a(1,0) ... v0 .. = x0 .."
#                             with a row by row (element (column j, row i) at j + n * i)
import os
import random
import sys
from fractions import Fraction


def solve(a, v):
    n = len(v)
    m = [[Fraction(x) for x in row] + [Fraction(v[i])] for i, row in enumerate(a)]
    for col in range(n):
        piv = next((r for r in range(col, n) if m[r][col] != 0), None)
        if piv is None:
            return None
        m[col], m[piv] = m[piv], m[col]
        for r in range(n):
            if r != col and m[r][col] != 0:
                f = m[r][col] / m[col][col]
                m[r] = [x - f * y for x, y in zip(m[r], m[col])]
    return [m[i][n] / m[i][i] for i in range(n)]


def golden(rnd):
    out = []
    for n in range(2, 7):
        kept = 0
        while kept < 20:
            a = [[rnd.randint(-9, 9) for _ in range(n)] for _ in range(n)]
            v = [rnd.randint(-20, 20) for _ in range(n)]
            if all(a[i][i] == 0 for i in range(n)):
                continue
            x = solve(a, v)
            if x is None:
                continue
            kept += 1
            out.append("%d %s %s = %s" % (n, " ".join(str(e) for row in a for e in row), " ".join(map(str, v)),
                                          " ".join(repr(float(e)) for e in x)))
    return out


if __name__ == "__main__":
    if sys.argv[1:] != ["golden"]:
        sys.exit("usage: linear_model.py golden")
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "linear_golden.txt")
    with open(path, "w") as f:
        f.write("\n".join(golden(random.Random(9142))) + "\n")

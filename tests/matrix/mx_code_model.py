#!/usr/bin/env python3
# An independent model of the matrix store's variable-length number code, written from its
# class rules: a number takes the first class (2, 4, 6, 8 bytes with 15, 30, 45, 60-bit
# two's complement fields behind the prefixes 0, 10, 110, 1110) whose range holds it, else
# the byte F0 and its 8 bytes; all big-endian.
#
#   mx_code_model.py golden               rewrites data/mx_code_golden.txt (a few thousand)
#   mx_code_model.py check TEST_BIN [N]   N (default 1000000) random numbers against the
#                                         built test program (test_matrix), opt-in
import os
import random
import subprocess
import sys
import tempfile

CLASSES = [(2, 15, 0b0, 1), (4, 30, 0b10, 2), (6, 45, 0b110, 3), (8, 60, 0b1110, 4)]


def encode(v):
    for nbytes, bits, prefix, prefix_len in CLASSES:
        if -(1 << (bits - 1)) <= v < (1 << (bits - 1)):
            field = v & ((1 << bits) - 1)
            word = (prefix << (nbytes * 8 - prefix_len)) | field
            return word.to_bytes(nbytes, "big")
    return b"\xf0" + (v & ((1 << 64) - 1)).to_bytes(8, "big")


def numbers(count, seed):
    """Boundaries of every class, then random numbers of random bit lengths, both signs."""
    out = [0, -1, 1, -(1 << 63), (1 << 63) - 1]
    for _, bits, _, _ in CLASSES:
        half = 1 << (bits - 1)
        out += [half - 1, half, -half, -half - 1]
    rnd = random.Random(seed)
    while len(out) < count:
        length = rnd.randint(0, 64)
        v = rnd.getrandbits(length) if length else 0
        if rnd.random() < 0.5:
            v = -v - 1 if length == 64 else -v
        out.append(max(-(1 << 63), min((1 << 63) - 1, v)))
    return out[:count]


def write(path, values):
    with open(path, "w") as f:
        for v in values:
            f.write("%d %s\n" % (v, encode(v).hex()))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.argv[1:2] == ["golden"]:
        write(os.path.join(here, "data", "mx_code_golden.txt"), numbers(4000, 20))
        return 0
    if sys.argv[1:2] == ["check"] and len(sys.argv) >= 3:
        count = int(sys.argv[3]) if len(sys.argv) > 3 else 1000000
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "codes.txt")
            write(path, numbers(count, random.randrange(1 << 30)))
            env = dict(os.environ, TQ_MX_CODE_FILE=path, TQ_MX_CODE_COUNT=str(count))
            run = subprocess.run([sys.argv[2], "--gtest_filter=MxCodeModel.*"], env=env)
            return run.returncode
    print(__doc__ or "usage: mx_code_model.py golden | check TEST_BIN [N]")
    return 2


if __name__ == "__main__":
    sys.exit(main())

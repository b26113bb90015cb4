#!/usr/bin/env python3
# An independent model of the node cache's bucket of a dimension code: the level plus each
# coordinate with its low (dim_divide * level + block_size) bits cleared (the level's low
# 32 bits, signed; a shift of 64 or more clears everything, none below 1 clears nothing),
# summed as unsigned 64-bit numbers, modulo 403. Codes come from splitmix64, which the test
# replays; the golden file holds a digest (FNV-1a over the buckets) per geometry.
#
#   node_hash_model.py    rewrites data/node_hash_golden.txt
import os

M = (1 << 64) - 1
GEOMETRIES = [([1, 1], [8, 8]), ([2, 0, 5], [3, 7, 1]), ([20], [50]), ([0, 3, 1, 1], [0, 0, 63, 9])]
COUNT = 100000


def splitmix(state):
    state = (state + 0x9E3779B97F4A7C15) & M
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M
    return state, z ^ (z >> 31)


def codes(seed, dim, count):
    state = seed
    for _ in range(count):
        state, r = splitmix(state)
        level = r if r % 8 == 0 else (r >> 8) % 40 - 4
        code = [level & M]
        for _ in range(dim):
            state, c = splitmix(state)
            code.append(c)
        yield code


def bucket(code, divide, block):
    low = code[0] & 0xFFFFFFFF
    low = low - (1 << 32) if low >= 1 << 31 else low
    key = code[0]
    for c, d, b in zip(code[1:], divide, block):
        s = d * low + b
        mask = M if s <= 0 else 0 if s >= 64 else M ^ ((1 << s) - 1)
        key = (key + (c & mask)) & M
    return key % 403


def digest(buckets):
    h = 0xCBF29CE484222325
    for b in buckets:
        h = ((h ^ b) * 0x100000001B3) & M
    return h


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "data", "node_hash_golden.txt"), "w") as f:
        for seed, (divide, block) in enumerate(GEOMETRIES, 1):
            bs = [bucket(c, divide, block) for c in codes(seed, len(divide), COUNT)]
            f.write("%s %s %d %d %d\n" % (",".join(map(str, divide)), ",".join(map(str, block)), seed, COUNT,
                                          digest(bs)))


if __name__ == "__main__":
    main()

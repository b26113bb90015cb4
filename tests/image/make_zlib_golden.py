#!/usr/bin/env python3
# Writes data/zlib_golden.txt: Python's zlib.compress of a few fixed inputs at several
# levels, one line "name level length crc32" each (the CRC-32 of the compressed bytes). The inputs are rebuilt byte for byte by
# zlib_glue_test.cpp (same generator). Run once; the test compares against the file.
# Inputs stay below 64 KiB: at level 0 longer ones come out in stored blocks whose sizes
# follow the caller's output buffer (Python's grows in steps, compress2 has it all at once).
import os
import zlib


def lcg_bytes(n, seed):
    x = seed
    out = bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


INPUTS = {
    "empty": b"",
    "text": b"The quick brown fox jumps over the lazy dog. " * 50,
    "noise": lcg_bytes(5000, 7),
    "ramp": bytes((i * i >> 3) & 255 for i in range(30000)),
}
LEVELS = [-1, 0, 1, 6, 9]

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "data", "zlib_golden.txt"), "w") as f:
    for name, data in INPUTS.items():
        for level in LEVELS:
            z = zlib.compress(data, level)
            f.write("%s %d %d %08x\n" % (name, level, len(z), zlib.crc32(z)))

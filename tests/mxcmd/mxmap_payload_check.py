#!/usr/bin/python3
"""Checks the file of a sample map matrix after the second edit event ran the middle-level
script on the level-1 node at the origin: channel 8 must inflate to the block type byte 13
and a compound payload of exactly the stored channel 10 (a double) and the stored channels
12 to 14, and those must be the reference's representative thinning of the level-0 values
in INPUT with the grid positions (even on both axes) zeroed.

usage: mxmap_payload_check.py FILE INPUT; prints "OK items=N channel 10 V" or FAIL lines.
"""
import struct
import sys
import zlib

import level_model
import mxmap_check as mc
import payload_check as pc


def main(path, input_path):
    with open(path, 'rb') as f:
        w = mc.DataWalker(f.read())
    w.walk()
    stored = {ch: body for (dc, ch), body in w.data.items() if dc == (1, 0, 0)}
    fails = []
    plain = zlib.decompress(stored.get(8, b'x\x9c\x03\x00\x00\x00\x00\x01'))
    items = pc.decode(plain[1:]) if plain[:1] == b'\x0d' else []
    want = ['f:' + stored.get(10, b'').hex()] + ['v:' + stored.get(ch, b'').hex() for ch in (12, 13, 14)]
    if items != want:
        fails.append('channel 8 does not separate into channels 10, 12, 13, 14')
    for line in open(input_path):
        ch, hx = line.split()
        if int(ch) not in (12, 13, 14):
            continue
        raw = bytes.fromhex(hx)
        fine = mc.block(0, 'd', values=list(struct.unpack('<%dd' % (len(raw) // 8), raw)))
        coarse = mc.block(1, 'd')
        level_model.thin('rep', coarse, fine, [0, 0])
        for y in range(0, coarse.n[1], 2):
            for x in range(0, coarse.n[0], 2):
                coarse.v[x + coarse.n[0] * y] = 0
        got = mc.block(1, 'd', stored[int(ch)]) if int(ch) in stored else None
        if not got or (got.n, got.v) != (coarse.n, coarse.v):
            fails.append('channel %s is not the squashed thinning' % ch)
    for msg in fails:
        print('FAIL ' + msg)
    if not fails:
        print('OK items=%d channel 10 %g' % (len(items), struct.unpack('>d', stored[10])[0]))
    return 1 if fails else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))

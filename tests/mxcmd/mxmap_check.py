#!/usr/bin/python3
"""Checks the file of a sample map matrix (2 axes of 64, 3 extra channels) after level-0
edits ran up the pyramid: the file walker's invariants and scripts, then every node's
stored channels 9 (uint8_v) and 12 to 14 (double_v) against a reference of representative
thinning (offset 0 on both axes) of the level-0 values in INPUT.

usage: mxmap_check.py FILE INPUT     INPUT: lines "CHANNEL HEX" of level 0's elements
prints "OK nodes=N records=R" or FAIL lines.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'matrix'))
import mx_file_walker as fw  # noqa: E402

SIZE, LEVELS, BLOCK = 64, 7, 8
CHANNELS = {9: ('B', 22), 12: ('d', 27), 13: ('d', 27), 14: ('d', 27)}


class DataWalker(fw.Walker):
    """The walker, keeping each node's channel-data bodies by (code, channel)."""

    def __init__(self, data):
        super().__init__(data, False)
        self.data = {}

    def node(self, ofs, dc):
        super().node(ofs, dc)
        chain = fw.be(self.recs[ofs][2], 0, 8, True)
        while chain in self.recs:
            body = self.recs[chain][2]
            nxt, ch = struct.unpack('>qi', body[:12])
            self.data[(tuple(dc), ch)] = body[12:]
            chain = nxt


def decode(body, code, type_code):
    """(sizes, elements) of a vector in network form."""
    off, typ, dim = body[0], body[1], struct.unpack('>h', body[2:4])[0]
    if typ != type_code or dim != 2:
        fw.fail('vector of type %d with %d axes' % (typ, dim))
        return None
    n = list(struct.unpack('>2i', body[4:12]))
    return n, list(struct.unpack('>%d%s' % (n[0] * n[1], code), body[off:off + n[0] * n[1] * struct.calcsize(code)]))


def shape(level):
    """A node's vector at the origin: the level's extent (within one block) plus the shared sample."""
    extent = -(-SIZE // 2 ** level)
    return [min(2 ** BLOCK, extent) + 1] * 2


def thin(src, sn, level):
    """Representative thinning with offset 0 of the one child at the parent's origin."""
    dn = shape(level)
    out = [0] * (dn[0] * dn[1])
    for y in range(0, sn[1], 2):
        for x in range(0, sn[0], 2):
            if x // 2 < dn[0] and y // 2 < dn[1]:
                out[x // 2 + dn[0] * (y // 2)] = src[x + sn[0] * y]
    return dn, out


def main(path, input_path):
    with open(path, 'rb') as f:
        w = DataWalker(f.read())
    w.walk()
    if w.m is not None:
        fw.check_mxmap(w, 3)
    want = {}
    for line in open(input_path):
        ch, hx = line.split()
        code = CHANNELS[int(ch)][0]
        raw = bytes.fromhex(hx)
        want[int(ch)] = (shape(0), list(struct.unpack('<%d%s' % (len(raw) // struct.calcsize(code), code), raw)))
    records = 0
    for level in range(LEVELS):
        for ch, (code, type_code) in CHANNELS.items():
            body = w.data.get(((level, 0, 0), ch))
            if body is None:
                fw.fail('node %d has no channel %d' % (level, ch))
                continue
            records += 1
            if level:
                want[ch] = thin(want[ch][1], want[ch][0], level)
            if decode(body, code, type_code) != (want[ch][0], want[ch][1]):
                fw.fail('node %d channel %d differs from the reference' % (level, ch))
    for msg in fw.FAILS:
        print('FAIL ' + msg)
    if not fw.FAILS:
        print('OK nodes=%d records=%d' % (w.nodes, records))
    return 1 if fw.FAILS else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))

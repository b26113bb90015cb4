#!/usr/bin/python3
"""Checks the file of a sample map matrix (2 axes of 64, 3 extra channels) after level-0
edits ran up the pyramid: the file walker's invariants and scripts, then every node's
stored channels 9 (uint8_v) and 12 to 14 (double_v) against the reference's representative
thinning (offsets 0) of the level-0 values in INPUT (lines "CHANNEL HEX", host order).

usage: mxmap_check.py FILE INPUT; prints "OK nodes=N records=R" or FAIL lines.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, '..', 'matrix')]
import level_model  # noqa: E402
import mx_file_walker as fw  # noqa: E402

level_model.BS = 8
CODES = {9: 'B', 12: 'd', 13: 'd', 14: 'd'}


class DataWalker(fw.Walker):
    """The walker, keeping each node's channel-data bodies by (code, channel)."""

    def __init__(self, data):
        super().__init__(data, False)
        self.data = {}

    def node(self, ofs, dc):
        super().node(ofs, dc)
        chain = fw.be(self.recs[ofs][2], 0, 8, True)
        while chain in self.recs:
            nxt, ch = struct.unpack('>qi', self.recs[chain][2][:12])
            self.data[(tuple(dc), ch)] = self.recs[chain][2][12:]
            chain = nxt


def block(level, code, body=None, values=None):
    """A node's vector at the origin: the level's extent plus the shared sample per axis."""
    n = [-(-64 // 2 ** level) + 1] * 2
    if body is not None:  # network form: offset, type, dim, sizes, elements
        n = list(struct.unpack('>2i', body[4:12]))
        values = list(struct.unpack('>%d%s' % (n[0] * n[1], code), body[body[0]:]))
    return level_model.Block(level, [0, 0], n, values if values is not None else [0] * (n[0] * n[1]))


def main(path, input_path):
    with open(path, 'rb') as f:
        w = DataWalker(f.read())
    w.walk()
    if w.m is not None:
        fw.check_mxmap(w, 3)
    want = {}
    for ch, hx in (line.split() for line in open(input_path)):
        raw, code = bytes.fromhex(hx), CODES[int(ch)]
        want[int(ch)] = block(0, code, values=list(struct.unpack('<%d%s' % (len(raw) // struct.calcsize(code), code), raw)))
    records = 0
    for level in range(7):
        for ch, code in CODES.items():
            if level:
                child, want[ch] = want[ch], block(level, code)
                level_model.thin('rep', want[ch], child, [0, 0])
            body = w.data.get(((level, 0, 0), ch))
            records += body is not None
            got = block(level, code, body) if body else None
            if not got or (got.n, got.v) != (want[ch].n, want[ch].v):
                fw.fail('node %d channel %d differs from the reference' % (level, ch))
    for msg in fw.FAILS:
        print('FAIL ' + msg)
    if not fw.FAILS:
        print('OK nodes=%d records=%d' % (w.nodes, records))
    return 1 if fw.FAILS else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))

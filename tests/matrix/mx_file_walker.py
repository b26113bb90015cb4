#!/usr/bin/python3
"""An independent walker of matrix store files, written from the record formats alone:
the store file's framing, free list and AVL tree records, the variable-length numbers and
dimension codes, and the matrix records 0x600 to 0x607 with the node index (kind 1025).

usage: mx_file_walker.py FILE [--open] [--lost] [--unflushed] [--view] [--mxmap DEST_DIM]
       mx_file_walker.py --batch [LIST]   (files and options in LIST or on stdin: see batch())

Checks every invariant of a closed matrix file and prints "OK nodes=N ring=R scripts=S";
prints "FAIL <reason>" lines and exits 1 otherwise. --open accepts a subheader still
marked open; --lost accepts records nothing names (room a failed write lost); --unflushed
reads a file whose node index, as last written, lags its ring (the index's tree records not
yet written back): a ring entry may name a node record the index does not hold yet, and a
node the index holds may name an entry off the ring, but each must still be a record of its
type, named once; --view first
prints what the file names: the ring ("ring COUNT FIRST LAST"), each script
("script MODE-EVENT OFS") and each node in index order ("node CODE OFS ring R children A
chain CH:OFS ..."); --mxmap checks mode 0's scripts against the sample open hook's pieces.
"""
import struct
import sys

FAILS = []


def fail(msg):
    FAILS.append(msg)


def be(b, o, n, signed=False):
    return int.from_bytes(b[o:o + n], 'big', signed=signed)


# ---- store framing -----------------------------------------------------------------------

def read_records(data):
    """{offset: (type, memory size, body bytes)} walking by disk lengths from offset 0."""
    recs = {}
    ofs = 0
    while ofs < len(data):
        if ofs + 4 > len(data):
            fail('cut head at %d' % ofs)
            break
        typ, d16 = struct.unpack('>HH', data[ofs:ofs + 4])
        if d16 == 0xFFFE:
            hl, d = 8, be(data, ofs + 4, 4)
        elif d16 == 0xFFFF:
            hl, d = 12, be(data, ofs + 4, 8)
        else:
            hl, d = 4, d16
        if d < hl or ofs + d > len(data):
            fail('record at %d of disk length %d passes the end' % (ofs, d))
            break
        recs[ofs] = (typ, d - hl + 16, data[ofs + hl:ofs + d])
        ofs += d
    return recs


# ---- variable-length numbers -------------------------------------------------------------

def code(b, p):
    """(value, next position) of the code at p, or None."""
    if p >= len(b):
        return None
    c = b[p]
    if c == 0xF0:
        n, bits = 9, 64
        if p + 9 > len(b):
            return None
        v = be(b, p + 1, 8)
    elif c >= 0xF1:
        return None
    elif c & 0xF0 == 0xE0:
        n, bits = 8, 60
    elif c & 0xE0 == 0xC0:
        n, bits = 6, 45
    elif c & 0xC0 == 0x80:
        n, bits = 4, 30
    else:
        n, bits = 2, 15
    if c != 0xF0:
        if p + n > len(b):
            return None
        v = be(b, p, n) & ((1 << bits) - 1)
    if v >> (bits - 1) & 1:
        v -= 1 << bits
    return v, p + n


def dim_code(b, p, dim):
    """(codes, next position) of a dimension code of dim axes at p, or None."""
    vals = []
    while True:
        if p >= len(b):
            return None
        if b[p] == 0xF1:
            break
        r = code(b, p)
        if r is None or len(vals) > dim:
            return None
        vals.append(r[0])
        p = r[1]
    if len(vals) != dim + 1:
        return None
    return vals, p + 1


# ---- the matrix --------------------------------------------------------------------------

class Matrix:
    pass


def parse_header(body):
    m = Matrix()
    if len(body) < 32:
        fail('header body of %d bytes' % len(body))
        return None
    m.channel_nos, m.dim, m.flags, m.total_levels = struct.unpack('>iiii', body[0:16])
    m.modify_time, m.subheader = struct.unpack('>qq', body[16:32])
    if not 0 <= m.dim <= 30 or m.channel_nos < 0:
        fail('header dim %d channels %d' % (m.dim, m.channel_nos))
        return None
    m.divide = list(body[32:32 + m.dim])
    m.block = list(body[32 + m.dim:32 + 2 * m.dim])
    p = 32 + 2 * m.dim
    m.pixel = []
    for _ in range(m.dim):
        r = code(body, p)
        if r is None:
            fail('header pixel size cut')
            return None
        m.pixel.append(r[0])
        p = r[1]
    if len(body) - p != 12 * m.channel_nos:
        fail('header channel table of %d bytes for %d channels' % (len(body) - p, m.channel_nos))
        return None
    m.channels = []
    for ch in range(m.channel_nos):
        t, f, d = struct.unpack('>HHq', body[p + 12 * ch:p + 12 * ch + 12])
        m.channels.append((t, f, d))
    s = sum(m.divide)
    if m.dim == 0 or 0 in m.divide or s > 13:
        m.bit_field = 0
    elif s > 2:
        m.bit_field = 2 ** (s - 3)
    else:
        m.bit_field = 1
    m.ring = bool(m.flags & 2)
    return m


def index_key(m, dc):
    """The index order of a code: level, then each coordinate cleared below its node span."""
    lv = dc[0]
    out = [lv]
    for a in range(m.dim):
        s = m.block[a] + m.divide[a] * lv
        mask = 0 if s >= 64 else ~((1 << s) - 1) if s > 0 else ~0
        out.append(dc[a + 1] & mask)
    return out


class Walker:
    def __init__(self, data, allow_open, allow_lost=False, unflushed=False):
        self.recs = read_records(data)
        self.unflushed = unflushed
        self.m = None
        self.claims = {}
        self.allow_open = allow_open
        self.allow_lost = allow_lost
        self.view = []
        self.nodes = 0
        self.ring_len = 0
        self.node_rings = {}  # ring entry -> node, of the nodes the index names
        self.scripts = {}

    def claim(self, ofs, typ, who, size=None):
        r = self.recs.get(ofs)
        if r is None:
            fail('%s names %d, no record there' % (who, ofs))
            return None
        if r[0] != typ:
            fail('%s names %d of type %#x, not %#x' % (who, ofs, r[0], typ))
            return None
        if size is not None and r[1] != size:
            fail('%s names %d of size %d, not %d' % (who, ofs, r[1], size))
        if ofs in self.claims:
            fail('record %d (%#x) referenced by %s and %s' % (ofs, typ, self.claims[ofs], who))
            return None
        self.claims[ofs] = who
        return r[2]

    def walk(self):
        if not self.recs or self.recs.get(0, (0,))[0] != 1:
            fail('no file header at 0')
            return
        if be(self.claim(0, 1, 'file'), 24, 4) & 1 and not self.allow_open:
            fail('the file header is marked open')
        self.free_list()
        heads = [o for o, r in self.recs.items() if r[0] == 0x600]
        if len(heads) != 1:
            fail('%d matrix headers' % len(heads))
            return
        body = self.claim(heads[0], 0x600, 'file')
        self.m = parse_header(body) if body is not None else None
        if self.m is None:
            return
        self.subheader()
        for o, r in sorted(self.recs.items()):
            if o not in self.claims and not self.allow_lost:
                fail('record %d of type %#x is not referenced' % (o, r[0]))

    def free_list(self):
        anchors = [o for o, r in self.recs.items() if r[0] == 259]
        if len(anchors) != 1:
            fail('%d free-list anchors' % len(anchors))
            return
        nxt = be(self.claim(anchors[0], 259, 'file'), 0, 8)
        last = None
        while nxt:
            if last is not None and nxt >= last:
                fail('free list not descending at %d' % nxt)
                return
            body = self.claim(nxt, 260, 'free list')
            if body is None:
                return
            last, nxt = nxt, be(body, 0, 8)

    def subheader(self):
        m = self.m
        body = self.claim(m.subheader, 0x601, 'header', 912)
        if body is None:
            return
        m.pri = [[be(body, 4 * (i * 24 + e), 4, True) for e in range(24)] for i in range(3)]
        m.cal = [[be(body, 288 + 8 * (i * 24 + e), 8, True) for e in range(24)] for i in range(3)]
        root, nxt, prv, cnt, flags = struct.unpack('>qqqii', body[864:896])
        if flags & ~1 or (flags & 1 and not self.allow_open):
            fail('subheader flags %#x' % flags)
        for ch, (t, f, d) in enumerate(m.channels):
            if d:
                self.claim(d, 0x602, 'default of channel %d' % ch)
            if t == 0 and (f or d):
                fail('untyped channel %d with flags or default' % ch)
        for i in range(3):
            for e in range(24):
                if m.cal[i][e]:
                    self.view.append('script %d-%d %d' % (i, e, m.cal[i][e]))
                    text = self.claim(m.cal[i][e], 0x604, 'script %d-%d' % (i, e))
                    if text is not None:
                        self.scripts[(i, e)] = text
        self.index(root)
        self.ring(nxt, prv, cnt)

    def index(self, root):
        m = self.m
        body = self.claim(root, 257, 'node_root', 28)
        if body is None:
            return
        kind, top = struct.unpack('>iq', body[:12])
        if kind != 1025:
            fail('node_root of kind %d' % kind)
            return
        prev = None
        stack, ofs = [], top
        while stack or ofs:
            while ofs:
                nb = self.claim(ofs, 258, 'tree')
                if nb is None:
                    ofs = 0
                    break
                stack.append((ofs, nb))
                ofs = be(nb, 0, 8)
            if not stack:
                break
            o, nb = stack.pop()
            key = self.key(o, nb[20:])
            if key is not None:
                k = index_key(m, key[1])
                if prev is not None and not prev < k:
                    fail('index keys out of order at %d' % o)
                prev = k
                self.node(key[0], key[1])
            ofs = be(nb, 8, 8)

    def key(self, o, data):
        m = self.m
        if len(data) < 9:
            fail('index key of %d bytes at %d' % (len(data), o))
            return None
        r = dim_code(data, 8, m.dim)
        if r is None or r[1] != len(data):
            fail('index key at %d is not one code of %d axes' % (o, m.dim))
            return None
        return be(data, 0, 8, True), r[0]

    def node(self, ofs, dc):
        m = self.m
        body = self.claim(ofs, 0x606, 'index key %r' % (dc,))
        if body is None:
            return
        self.nodes += 1
        fixed = 8 + (8 if m.ring else 0) + (0 if m.bit_field else 8)
        chain = be(body, 0, 8, True)
        r = dim_code(body, fixed, m.dim)
        if r is None or r[0] != dc:
            fail('node %d holds code %r, its key %r' % (ofs, r and r[0], dc))
            return
        if len(body) - r[1] != m.bit_field:
            fail('node %d: %d bytes after its code, bit field %d' % (ofs, len(body) - r[1], m.bit_field))
        ring = be(body, 8, 8, True) if m.ring else 0
        if m.ring:
            self.node_rings[ring] = ofs
        addr = 0 if m.bit_field else be(body, fixed - 8, 8, True)
        if not m.bit_field:
            self.dim_addr(addr, ofs)
        line = 'node %s %d ring %d children %d chain' % (','.join(map(str, dc)), ofs, ring, addr)
        self.view.append(line)
        last = -1
        while chain:
            cb = self.claim(chain, 0x603, 'chain of node %d' % ofs)
            if cb is None:
                return
            nxt, ch = struct.unpack('>qi', cb[:12])
            self.view[-1] += ' %d:%d' % (ch, chain)
            if ch <= last or ch >= m.channel_nos or not m.channels[ch][0] or not m.channels[ch][1] & 2:
                fail('node %d chain: channel %d after %d' % (ofs, ch, last))
            last, chain = ch, nxt

    def dim_addr(self, ofs, node):
        body = self.claim(ofs, 0x605, 'children of node %d' % node)
        if body is None:
            return
        p = 0
        while p < len(body) and body[p] != 0xF2:
            r = dim_code(body, p, self.m.dim)
            if r is None:
                fail('children of node %d: a code cut' % node)
                return
            p = r[1]
        if len(body) != max(8, p) or any(c != 0xF2 for c in body[p:]):
            fail('children of node %d: %d code bytes in a body of %d' % (node, p, len(body)))

    def ring(self, nxt, prv, cnt):
        m, head = self.m, self.m.subheader
        if not m.ring:
            if (nxt, prv, cnt) != (head, head, 0):
                fail('no ring kept, yet next %d prev %d count %d' % (nxt, prv, cnt))
            return
        back, o = head, nxt
        while o != head:
            b = self.claim(o, 0x607, 'ring', 40)
            if b is None:
                return
            node, n2, p2 = struct.unpack('>qqq', b)
            if p2 != back:
                fail('ring entry %d prev %d, expected %d' % (o, p2, back))
            named_by = self.node_rings.pop(o, None)
            if named_by is None and self.unflushed:
                self.claim(node, 0x606, 'ring entry %d' % o)
            elif named_by != node:
                fail('ring entry %d names node %d that does not name it' % (o, node))
            self.ring_len += 1
            back, o = o, n2
        self.view.insert(0, 'ring %d %d %d' % (cnt, nxt, prv))
        if prv != back or cnt != self.ring_len:
            fail('ring prev %d count %d; walked to %d with %d' % (prv, cnt, back, self.ring_len))
        if self.node_rings and self.unflushed:
            for o, node in sorted(self.node_rings.items()):
                self.claim(o, 0x607, 'node %d' % node, 40)
        elif self.node_rings:
            fail('nodes name ring entries not on the ring: %r' % sorted(self.node_rings))


# ---- the sample open hook's scripts ------------------------------------------------------

def mxmap_scripts(dd):
    s1 = ["<If> (= create-node \"enable\") <Then>\n", "\t<mxFinish\n", "\t\tnormal-jump-status=\"MS_OK\"\n",
          "\t\terr-jump-status=\"MS_OK\"/>\n", "</Then><Else>\n", "\t<mxFinish\n",
          "\t\tnormal-jump-status=\"MS_OK\"\n", "\t\terr-jump-status=\"MS_PROCESS_ERR_1\"/>\n",
          "</Else></If>\n", "<mxLoad target=\"file\"/>\n"]

    def s2(err):
        return ["<mxFinish\n", "\tnormal-jump-status=\"MS_OK\"\n", "\terr-jump-status=\"%s\"/>\n" % err,
                "<mxTrigger type=\"parent\"/>\n"]
    s3 = ["<mxFinish\n", "\tnormal-jump-status=\"MS_OK\"\n", "\terr-jump-status=\"MS_EDIT_ERR_1\"/>\n",
          "<Let>\n", "<Sub>\n", "\t<cnt> ", dd, " </cnt>\n", "\t<ch> ", 12, " </ch>\n", "</Sub>\n", "<mxSet> ", 9,
          " \t\t([mxThinnedOut type=\"representative\"\n", "\t\t\tchannel=\"", 9, "\"]\n",
          "\t\t([mxCH type=\"children\"] \n", 9, "))\n", "</mxSet>", "<For dec=\"cnt\">",
          "\t<mxSet> ^ch ([mxThinnedOut type=\"representative\"\n", "\t\t\tchannel=\"^ch\"] \n",
          "\t\t\t([mxCH type=\"children\"] ch))\n", "\t</mxSet>\n", "\t<set> ^ch (+ ch 1) </set>\n", "</For>\n",
          "</Let>\n", "<mxTrigger type=\"parent\"/>\n"]
    s4 = ["<mxFinish\n", "\tnormal-jump-status=\"MS_OK\"\n", "\terr-jump-status=\"MS_EDIT_ERR_1\"/>\n",
          "<Let>\n", "<Sub>\n", "\t<cnt> ", dd, " </cnt>\n", "\t<ch> ", 12, " </ch>\n", "</Sub><mxSet> ", 9,
          " \t\t([mxThinnedOut type=\"representative\"\n", "\t\t\tchannel=\"", 9, "\"]\n",
          "\t\t([mxCH type=\"children\"] \n", 9, "))\n", "</mxSet>\n",
          "<For dec=\"cnt\">\t<mxSet> ^ch ([mxThinnedOut type=\"representative\"\n",
          "\t\t\tchannel=\"^ch\"] \t\t\t([mxCH type=\"children\"] ch))\n", "\t</mxSet>\n",
          "\t<set> ^ch (+ ch 1) </set>\n", "</For>\n", "</Let>\n"]
    s5 = ["<mxFinish\n", "\tnormal-jump-status=\"MS_OK\"\n", "\terr-jump-status=\"MS_EDIT_ERR_2\"/>\n",
          "<Let>\n", "<Sub>\n", "\t<cnt> (- max_levels this_level) </cnt>\n", "\t<ch> (+ \n", dd + 12,
          " this_level) </ch>\n", "\t<cnt2> \n", dd, " </cnt2>\n", "\t<ch2>\n", 12, " </ch2>\n",
          "\t<ret> () </ret>\n", "</Sub><For dec=\"cnt\">\t<mxSet> ^ch (mxMax ([mxCH type=\"children\"] ch))\n",
          "\t</mxSet>\n", "\t<set> ^ch (+ ch 1) </set>\n", "</For>\n", "<mxSet> \n", 10, "\t(mxCH (+ \n",
          dd + 12, " this_level))\n", "</mxSet>\n", "<set> ^ret (cons (mxCH \n", 10, ") ()) </set>\n",
          "<For dec=\"cnt2\">\n", "\t<Define> ^d (mxSquash (mxCH ch2)) </Define>\n", "\t<mxSet> ^ch2 ^d </mxSet>\n",
          "\t<set> ^ret (cons d ret) </set>\n", "\t<set> ^ch2 (+ ch2 1) </set>\n", "</For>\n",
          "<mxSet> 8 (mxCompressZ (mxCompound (reverse ret))) </mxSet>\n", "</Let>\n"]
    s6 = ["<mxSave/>\n"]
    join = lambda ps: ''.join(str(p) for p in ps).encode()
    by_slot = {3: s1, 4: s1, 5: s1, 9: s4, 10: s3, 11: s2("MS_EDIT_ERR_1"), 13: s5, 14: s2("MS_EDIT_ERR_2"),
               21: s6, 22: s6, 23: s6}
    return {e: join(p) for e, p in by_slot.items()}


def check_mxmap(w, dd):
    want = mxmap_scripts(dd)
    got = {e: t for (i, e), t in w.scripts.items() if i == 0}
    for e in sorted(set(want) | set(got)):
        if want.get(e) != got.get(e):
            fail('mode 0 script of event %d differs: %r' % (e, got.get(e)))
    pri = [0] * 24
    for e in range(3, 18):
        pri[e] = 0x02000001
    for e in range(21, 24):
        pri[e] = 0x04000001
    if w.m.pri[0] != pri:
        fail('mode 0 priorities %r' % w.m.pri[0])


def report(path, opts):
    """(the report's text, exit status) of the file at path walked with opts."""
    FAILS.clear()
    with open(path, 'rb') as f:
        data = f.read()
    w = Walker(data, '--open' in opts, '--lost' in opts, '--unflushed' in opts)
    w.walk()
    out = ''
    if '--view' in opts:
        out += ''.join(line + '\n' for line in w.view)
    if '--mxmap' in opts and w.m is not None:
        check_mxmap(w, int(opts[opts.index('--mxmap') + 1]))
    out += ''.join('FAIL ' + msg + '\n' for msg in FAILS)
    if FAILS:
        return out, 1
    return out + 'OK nodes=%d ring=%d scripts=%d\n' % (w.nodes, w.ring_len, len(w.scripts)), 0


def batch(lines):
    """One line a file, the path and its options apart by tabs; for each, a line with the
    report's length in bytes, then the report (a walk that breaks gives its traceback as its
    report, and the batch goes on)."""
    import traceback
    for line in lines:
        args = line.rstrip('\n').split('\t')
        try:
            out = report(args[0], args[1:])[0]
        except Exception:
            out = traceback.format_exc()
        b = out.encode()
        sys.stdout.buffer.write(b'%d\n' % len(b) + b)
        sys.stdout.buffer.flush()
    return 0


def main(argv):
    if argv[1] == '--batch':
        if len(argv) > 2:
            with open(argv[2]) as f:
                return batch(f)
        return batch(sys.stdin)
    out, status = report(argv[1], argv[2:])
    print(out, end='')
    return status


if __name__ == '__main__':
    sys.exit(main(sys.argv))

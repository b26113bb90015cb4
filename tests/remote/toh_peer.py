#!/usr/bin/python3
"""A client of the language over HTTP, written from the protocol's description alone: it
packs frames with struct and compares every reply with the bytes the description gives.

Usage: toh_peer.py PORT CLOCK STEPDIR SCENARIO
  CLOCK    the server's tick second at the start (the first cookie word of new sessions),
           or 0 when the test moves the clock while the scenario runs
  STEPDIR  where the scenario leaves a file NAME when it waits for the test to act
Prints "ok" and exits 0, or prints what differed and exits 1. Every read is bounded.
"""
import os
import re
import socket
import struct
import sys
import time

HOST = '127.0.0.1'
DATE = b'Date: Fri, 20 Sep 2002 09:36:44 GMT\r\n'
SERVER = b'Server: TORVELINE MERIDOVANE SERVER\r\n'
ADMISSION = re.compile(rb'^\n&cx[0-9a-f]+;\n<Permission>Allow</Permission>\n')
TQSV = b'/cgi-bin/tqsv.cgi'
OPEN, DATA, END, INVALID, KEEP, PROBE, UPLOAD, DOWNLOAD = range(1, 9)


class Fail(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Fail(what)


def frame(ftype, seq=0, c0=0, c1=0, sum_off=0):
    b = bytearray(struct.pack('>BBhII', ftype, 0, seq, c0, c1))
    b[1] = (-sum(b) + sum_off) & 0xff
    return bytes(b)


def reply_head(keep, length, status=b'HTTP/1.0 200 OK', ctype=b'application/tqohttp'):
    h = status + b'\r\n' + DATE + SERVER
    h += b'Connection: ' + (b'keep-alive' if keep else b'close') + b'\r\n'
    h += b'Content-Type: ' + ctype + b'\r\n'
    if length is not None:
        h += b'Content-Length: %d\r\n' % length
    return h + b'\r\n'


def post_head(path, length, keep=False, ctype=b'application/tqohttp'):
    h = b'POST ' + path + b' HTTP/1.0\r\n'
    if keep:
        h += b'Connection: keep-alive\r\n'
    return h + b'Content-Type: ' + ctype + b'\r\nContent-Length: ' + str(length).encode() + b'\r\n\r\n'


def step(name, content='', wait=False):
    """Leaves STEPDIR/name for the test; with wait, returns once the test answers name.go."""
    with open(os.path.join(STEPDIR, name + '.tmp'), 'w') as f:
        f.write(content)
    os.rename(os.path.join(STEPDIR, name + '.tmp'), os.path.join(STEPDIR, name))
    deadline = time.time() + 10
    while wait and not os.path.exists(os.path.join(STEPDIR, name + '.go')):
        expect(time.time() < deadline, 'the test did not answer step ' + name)
        time.sleep(0.01)


class Conn:
    def __init__(self):
        self.s = socket.create_connection((HOST, PORT), timeout=10)
        self.buf = b''

    def send(self, b):
        self.s.sendall(b)

    def _more(self):
        try:
            chunk = self.s.recv(65536)
        except socket.timeout:
            raise Fail('no reply within the bound after %r' % self.buf)
        self.buf += chunk
        return chunk

    def read(self, n):
        while len(self.buf) < n:
            expect(self._more(), 'the server closed after %r' % self.buf)
        r, self.buf = self.buf[:n], self.buf[n:]
        return r

    def read_head(self):
        while b'\r\n\r\n' not in self.buf:
            expect(self._more(), 'the server closed inside a head: %r' % self.buf)
        i = self.buf.index(b'\r\n\r\n') + 4
        r, self.buf = self.buf[:i], self.buf[i:]
        return r

    def read_to_end(self):
        while self._more():
            pass
        r, self.buf = self.buf, b''
        return r

    def close(self):
        self.s.close()

    # A frame reply: the head must be exactly the protocol's, keep-alive only for an answer
    # carrying data in a keep-alive session; the frame's bytes sum to 0.
    def frame_reply(self, keep=False, length_line=True):
        head = self.read_head()
        m = re.search(rb'Content-Length: (\d+)\r\n', head)
        length = int(m.group(1)) if m else None
        f = self.read(12)
        expect(sum(f) % 256 == 0, 'frame checksum %r' % f)
        ftype, _, seq, c0, c1 = struct.unpack('>BBhII', f)
        keep = keep and ftype in (DATA, KEEP)
        expect(head == reply_head(keep, length if length_line else None), 'reply head %r' % head)
        expect(length_line == (length is not None), 'Content-Length line in %r' % head)
        payload = self.read(length - 12) if length is not None else b''
        return ftype, seq, (c0, c1), payload, keep


def finish(c, keep):
    """After a reply: a closing one ends the connection."""
    if not keep:
        expect(c.read_to_end() == b'', 'bytes after a closing reply')
        c.close()


def one_shot(head_and_body, keep=False, length_line=True):
    c = Conn()
    c.send(head_and_body)
    *r, kept = c.frame_reply(keep, length_line)
    finish(c, kept)
    return r, c


def closed_unanswered(data):
    c = Conn()
    try:
        c.send(data)
        rest = c.read_to_end()
    except (ConnectionResetError, BrokenPipeError):
        rest = b''  # closed while the request was still being sent
    c.close()
    expect(rest == b'', 'an answer where none is due: %r' % rest)


class Session:
    """A version-1 session; each request on a connection of its own unless keep-alive."""

    def __init__(self, keep=False, path=TQSV):
        self.keep = keep
        (t, seq, self.cookie, payload), self.conn = one_shot(post_head(path, 12, keep) + frame(OPEN), keep)
        expect((t, seq, payload) == (KEEP if keep else DATA, 0, b''), 'open answer %r' % [t, seq, payload])
        if CLOCK:
            expect(self.cookie[0] == CLOCK, 'cookie word 0 %d, clock %d' % (self.cookie[0], CLOCK))
        self.seq = 0
        self.out = b''

    def send(self, data, ftype=DATA, seq=None, conn=None):
        if seq is None:
            self.seq += 1
            seq = self.seq
        c = conn or (self.conn if self.keep else Conn())
        c.send(post_head(TQSV, 12 + len(data), self.keep) + frame(ftype, seq, *self.cookie) + data)
        return c, seq

    def answer(self, c, seq, types=(DATA,)):
        t, rseq, cookie, payload, kept = c.frame_reply(self.keep)
        expect(t in types and rseq == seq and cookie == self.cookie,
               'answer %r to seq %d' % ([t, rseq, cookie, payload], seq))
        self.out += payload
        finish(c, kept)
        return t, payload

    def request(self, data, ftype=DATA, types=(DATA,)):
        c, seq = self.send(data, ftype)
        return self.answer(c, seq, types)

    def poll_until(self, text):
        deadline = time.time() + 10
        while not self.out.endswith(text):
            expect(time.time() < deadline, 'output %r never ended in %r' % (self.out, text))
            self.request(b'')

    def end(self):
        self.request(b'', END, (END,))
        (t, seq, cookie, _), _ = one_shot(post_head(TQSV, 12) + frame(DATA, self.seq + 1, *self.cookie))
        expect((t, seq, cookie) == (INVALID, self.seq + 1, self.cookie), 'the ended session answered %d' % t)


def admitted(out):
    expect(ADMISSION.match(out), 'admission text %r' % out)
    return len(ADMISSION.match(out).group(0))


# ---- scenarios -------------------------------------------------------------------------------

def scenario_open():
    (t, seq, cookie, payload), _ = one_shot(post_head(TQSV, 12) + frame(OPEN))
    expect((t, seq, payload) == (DATA, 0, b'') and cookie[0] == CLOCK, 'open answer')
    k = Session(True)  # keep-alive: type 5, then every request on the same socket
    step('parked', wait=True)
    k.request(b'\n')
    k.end()
    Session(False, b'http://127.0.0.1:%d/cgi-bin/tqsv.cgi' % PORT).end()
    # Close the first session too.
    s = Session()
    s.end()
    (t, _, _, _), _ = one_shot(post_head(TQSV, 12) + frame(END, 1, *cookie))
    expect(t == END, 'the first session ends')


def scenario_dialogue():
    s = Session()
    s.request(b'\n')
    s.poll_until(b'</Permission>\n')
    admitted(s.out)
    step('poll', wait=True)  # a polling pass keeps a session whose interpreter runs
    s.request(b'(+ 1 2)\n')
    s.poll_until(b'<Result> 2 3</Result>\n')
    # Seq 4 is sent before seq 3; the interpreter still reads them in seq order.
    early, seq4 = s.send(b'(+ 4 5)\n', seq=s.seq + 2)
    late, seq3 = s.send(b'(+ 3 4)\n', seq=s.seq + 1)
    s.seq += 2
    s.answer(late, seq3)
    s.answer(early, seq4)
    s.poll_until(b'<Result> 4 9</Result>\n')
    expect(s.out.endswith(b'<Result> 2 3</Result>\n<Result> 3 7</Result>\n<Result> 4 9</Result>\n'),
           'results in order: %r' % s.out)
    s.end()


def scenario_refusals():
    s = Session()
    bad = frame(DATA, 5, *s.cookie, sum_off=1)
    (t, seq, cookie, _), _ = one_shot(post_head(TQSV, 12) + bad)
    expect((t, seq, cookie) == (INVALID, 5, s.cookie), 'checksum refusal')
    (t, seq, cookie, _), _ = one_shot(post_head(TQSV, 12) + frame(DATA, 7, s.cookie[0], s.cookie[1] ^ 1))
    expect((t, seq, cookie) == (INVALID, 7, (s.cookie[0], s.cookie[1] ^ 1)), 'unknown cookie refusal')
    for length in (b'11', b'-5', b'1x', b'4294967296'):
        closed_unanswered(b'POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: ' + length + b'\r\n\r\n'
                          + frame(DATA, 1, *s.cookie))
    closed_unanswered(b'POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nX-Long: ' + b'a' * 9216 + b'\r\n\r\n')
    s.end()


def scenario_idle():
    parked = Session(True)
    s = Session()
    waiting = []

    def queue(seqs):  # a few at a time: the listener's backlog is short
        for n in seqs:
            waiting.append(s.send(b'', seq=n))
            if len(waiting) % 4 == 0 or n == seqs[-1]:
                step('queued%d' % len(waiting), str(len(waiting)), wait=True)

    queue(range(2, 11))  # seq 1 never comes
    (t, seq, _, _), _ = one_shot(post_head(TQSV, 12) + frame(DATA, 5, *s.cookie))
    expect((t, seq) == (INVALID, 5), 'a seq already queued is refused')
    queue(range(11, 66))
    (t, seq, _, _), _ = one_shot(post_head(TQSV, 12) + frame(DATA, 66, *s.cookie))
    expect((t, seq) == (INVALID, 66), 'a 65th queued request is refused')
    step('idle')
    for c, n in waiting:
        s.answer(c, n, (INVALID,))
    try:
        rest = parked.conn.read_to_end()
    except Fail as e:
        raise Fail('the idle keep-alive connection stays open: %s' % e)
    expect(rest == b'', 'an idle keep-alive connection is closed')


def scenario_gone():
    s = Session()
    s.request(b'\n')
    while not ADMISSION.match(s.out):
        s.request(b'')
    c, seq = s.send(b'(Break)\n')  # the interpreter ends, and with it the session
    s.answer(c, seq, (INVALID,))
    (t, _, _, _), _ = one_shot(post_head(TQSV, 12) + frame(DATA, seq + 1, *s.cookie))
    expect(t == INVALID, 'the dropped session answered %d' % t)


def scenario_empty():
    s = Session()
    s.request(b'\n')
    while not ADMISSION.match(s.out):
        s.request(b'')  # output is still due: every poll carries some
    c, seq = s.send(b'')
    step('empty', str(seq))
    expect(s.answer(c, seq) == (DATA, b''), 'an empty answer')
    s.end()


def scenario_probe():
    c = Conn()
    c.send(post_head(b'/cgi-bin/upload.cgi', 12, ctype=b'application/tqohttp2') + frame(PROBE))
    want = reply_head(False, 12) + bytes.fromhex('06f8000200000000 00000000')
    got = c.read_to_end()
    expect(got == want, 'probe answer %r' % got)


def upload(cookie, data, length=None):
    n = 12 + len(data) if length is None else length
    c = Conn()
    c.send(post_head(b'/cgi-bin/upload.cgi', n, ctype=b'application/tqohttp2') + frame(UPLOAD, 0, *cookie) + data)
    return c


def uploaded(c, cookie):
    t, seq, got, payload, _ = c.frame_reply(length_line=False)
    expect((t, seq, got, payload) == (UPLOAD, 0, cookie, b''), 'upload answer')
    expect(c.read_to_end() == b'', 'bytes after the upload answer')


def scenario_v2():
    d = Conn()
    d.send(b'GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n')
    t, seq, cookie, _, _ = d.frame_reply(length_line=False)
    expect((t, seq, cookie[0]) == (DOWNLOAD, 0, CLOCK), 'download start %r' % [t, seq, cookie])
    uploaded(upload(cookie, b'\n(+ 1 2)\n'), cookie)
    want = b'<Result> 2 3</Result>\n'
    while not d.buf.endswith(want):
        expect(d._more(), 'download ended early: %r' % d.buf)
    admitted(d.buf)
    running = upload(cookie, b'(+', 12 + 9)
    step('uploading', wait=True)
    closed_unanswered(post_head(b'/cgi-bin/upload.cgi', 15) + frame(UPLOAD, 0, *cookie) + b'7\n\n')
    running.send(b' 5 6)\n\n')
    uploaded(running, cookie)
    uploaded(upload(cookie, b''), cookie)  # a frame alone: answered, the session goes on
    closed_unanswered(b'POST /cgi-bin/upload.cgi HTTP/1.0\r\n\r\n' + frame(UPLOAD, 0, *cookie))
    uploaded(upload(cookie, b'(+ 7 8)\n'), cookie)
    want += b'<Result> 3 11</Result>\n<Result> 5 15</Result>\n'
    while not d.buf.endswith(want):
        expect(d._more(), 'download ended early: %r' % d.buf)
    d.buf = b''
    broken = upload(cookie, b'(+', 100)  # a body that breaks off ends the session
    broken.s.shutdown(socket.SHUT_WR)
    broken.read_to_end()
    rest = d.read_to_end()
    expect(rest == b'', 'output after the end: %r' % rest)


def error_page(status, message, code=b'()'):
    return (b'<HTML>\n\r<HEAD>\n\r<TITLE>TORVELINE HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r'
            + b'HTTP Status: ' + status + b'\n\r<HR>\n\rMessage: ' + message + b'<BR>\n\rTQ Code:' + code
            + b'\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r')


def http_head(status, ctype=b'text/html'):
    return reply_head(False, None, b'HTTP/1.1 ' + status, ctype)


def get(path, body=None):
    c = Conn()
    if body is None:
        c.send(b'GET ' + path + b' HTTP/1.0\r\n\r\n')
    else:
        c.send(b'POST ' + path + b' HTTP/1.0\r\nContent-Length: %d\r\n\r\n' % len(body) + body)
    r = c.read_to_end()
    c.close()
    return r


def not_found(path, shown):
    return http_head(b'404 Not Found') + error_page(b'404 Not Found', shown)


def scenario_notfound():
    for path, shown in ((b'/x', b'/x'), (b'/<b>', b'/&lt;b&gt;')):
        got = get(path)
        expect(got == not_found(path, shown), 'page for %r: %r' % (path, got))


def scenario_agents():
    gif = bytes(range(256)) + b'GIF89a\r\n\x00'
    cases = [
        (b'/a', None, http_head(b'200 OK') + b'hi'),
        (b'/a?x=1', None, http_head(b'200 OK') + b'hi'),
        (b'/ab', None, not_found(b'/ab', b'/ab')),
        (b'/a/b', None, not_found(b'/a/b', b'/a/b')),
        (b'/gif', gif, http_head(b'200 OK', b'image/gif') + gif),
        (b'/num', None, http_head(b'500 Internal Server Error') + error_page(b'500 Internal Server Error', b'/num', b'5')),
    ]
    for path, body, want in cases:
        got = get(path, body)
        expect(got == want, 'agent reply for %r: %r' % (path, got))


if __name__ == '__main__':
    PORT, CLOCK, STEPDIR, name = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    try:
        globals()['scenario_' + name]()
    except (Fail, OSError) as e:
        print('FAIL', name + ':', e)
        sys.exit(1)
    print('ok')

#!/usr/bin/python3
"""A client of the language over HTTP written from the protocol's description alone: it packs
frames with struct and compares every reply with the bytes the description gives.
Usage: toh_peer.py PORT CLOCK STEPDIR SCENARIO. CLOCK is the server's tick second (the first
cookie word of new sessions), 0 when the test moves the clock meanwhile; the scenario leaves a
file STEPDIR/NAME when it needs the test to act. Prints "ok", or what differed and exits 1."""
import os, re, socket, struct, sys, time

DATE_SERVER = b'Date: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVELINE MERIDOVANE SERVER\r\n'
ADMISSION = re.compile(rb'^\n&cx[0-9a-f]+;\n<Permission>Allow</Permission>\n')
TQSV, UPLOAD_PATH = b'/cgi-bin/tqsv.cgi', b'/cgi-bin/upload.cgi'
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
    h = status + b'\r\n' + DATE_SERVER + b'Connection: ' + (b'keep-alive' if keep else b'close')
    h += b'\r\nContent-Type: ' + ctype + b'\r\n'
    return h + (b'Content-Length: %d\r\n' % length if length is not None else b'') + b'\r\n'


def post_head(path, length, keep=False, ctype=b'application/tqohttp'):
    return (b'POST ' + path + b' HTTP/1.0\r\n' + (b'Connection: keep-alive\r\n' if keep else b'') +
            b'Content-Type: ' + ctype + b'\r\nContent-Length: %d\r\n\r\n' % length)


def step(name, content='', wait=False):
    """Leaves STEPDIR/name for the test; with wait, returns once the test answers name.go."""
    path = os.path.join(STEPDIR, name)
    with open(path + '.tmp', 'w') as f:
        f.write(content)
    os.rename(path + '.tmp', path)
    deadline = time.time() + 10
    while wait and not os.path.exists(path + '.go'):
        expect(time.time() < deadline, 'the test did not answer step ' + name)
        time.sleep(0.01)


class Conn:
    def __init__(self):
        self.s = socket.create_connection(('127.0.0.1', PORT), timeout=10)
        self.buf = b''

    def send(self, b):
        self.s.sendall(b)

    def more(self):
        try:
            chunk = self.s.recv(65536)
        except socket.timeout:
            raise Fail('no reply within the bound after %r' % self.buf)
        self.buf += chunk
        return chunk

    def take(self, n):
        while len(self.buf) < n:
            expect(self.more(), 'the server closed after %r' % self.buf)
        r, self.buf = self.buf[:n], self.buf[n:]
        return r

    def read_to_end(self):
        while self.more():
            pass
        r, self.buf = self.buf, b''
        self.s.close()
        return r

    def frame_reply(self, keep=False, length_line=True):
        """A reply: exactly the protocol's head (keep-alive only for data in a keep-alive
        session), then a frame whose bytes sum to 0. A closing reply ends the connection."""
        while b'\r\n\r\n' not in self.buf:
            expect(self.more(), 'the server closed inside a head: %r' % self.buf)
        head = self.take(self.buf.index(b'\r\n\r\n') + 4)
        m = re.search(rb'Content-Length: (\d+)\r\n', head)
        length = int(m.group(1)) if m else None
        f = self.take(12)
        expect(sum(f) % 256 == 0, 'frame checksum %r' % f)
        ftype, _, seq, c0, c1 = struct.unpack('>BBhII', f)
        keep = keep and ftype in (DATA, KEEP)
        expect(head == reply_head(keep, length if length_line else None), 'reply head %r' % head)
        expect(length_line == (length is not None), 'Content-Length line in %r' % head)
        payload = self.take(length - 12) if length is not None else b''
        if not keep and length_line:
            expect(self.read_to_end() == b'', 'bytes after a closing reply')
        return ftype, seq, (c0, c1), payload


def one_shot(data, keep=False):
    c = Conn()
    c.send(data)
    return c.frame_reply(keep), c


def closed_unanswered(data):
    c = Conn()
    try:
        c.send(data)
        rest = c.read_to_end()
    except (ConnectionResetError, BrokenPipeError):
        rest = b''  # closed while the request was still being sent
    expect(rest == b'', 'an answer where none is due: %r' % rest)


class Session:
    """A version-1 session; each request on a connection of its own unless keep-alive."""

    def __init__(self, keep=False, path=TQSV):
        self.keep, self.seq, self.out = keep, 0, b''
        (t, seq, self.cookie, payload), self.conn = one_shot(post_head(path, 12, keep) + frame(OPEN), keep)
        expect((t, seq, payload) == (KEEP if keep else DATA, 0, b''), 'open answer %r' % [t, seq, payload])
        expect(not CLOCK or self.cookie[0] == CLOCK, 'cookie word 0 %d, clock %d' % (self.cookie[0], CLOCK))

    def send(self, data, ftype=DATA, seq=None):
        if seq is None:
            self.seq += 1
            seq = self.seq
        c = self.conn if self.keep else Conn()
        c.send(post_head(TQSV, 12 + len(data), self.keep) + frame(ftype, seq, *self.cookie) + data)
        return c, seq

    def answer(self, c, seq, types=(DATA,)):
        t, rseq, cookie, payload = c.frame_reply(self.keep)
        expect(t in types and (rseq, cookie) == (seq, self.cookie), 'answer %r to %d' % ([t, rseq, cookie, payload], seq))
        self.out += payload
        return t, payload

    def request(self, data, ftype=DATA, types=(DATA,)):
        return self.answer(*self.send(data, ftype), types)

    def poll_until(self, text):
        deadline = time.time() + 10
        while not self.out.endswith(text):
            expect(time.time() < deadline, 'output %r never ended in %r' % (self.out, text))
            self.request(b'')

    def admitted(self):
        self.request(b'\n')
        while not ADMISSION.match(self.out):  # the admission comes in two flushes: polls carry it
            self.request(b'')

    def gone(self, seq):
        (t, rseq, cookie, _), _ = one_shot(post_head(TQSV, 12) + frame(DATA, seq, *self.cookie))
        expect((t, rseq, cookie) == (INVALID, seq, self.cookie), 'the ended session answered %d' % t)

    def end(self):
        self.request(b'', END, (END,))
        self.gone(self.seq + 1)


def scenario_open():
    c = Conn()  # the frame header split across two segments
    c.send(post_head(TQSV, 12) + frame(OPEN)[:5])
    time.sleep(0.05)
    c.send(frame(OPEN)[5:])
    t, seq, cookie, payload = c.frame_reply()
    expect((t, seq, payload, cookie[0]) == (DATA, 0, b'', CLOCK), 'open answer %r' % [t, seq, payload, cookie])
    k = Session(True)  # keep-alive: type 5, then every request on the same socket
    expect(abs(k.cookie[1] - cookie[1]) > 1000, 'cookies %r and %r are guessable' % (cookie, k.cookie))
    step('parked', wait=True)
    k.request(b'\n')
    k.end()
    Session(False, b'http://127.0.0.1:%d/cgi-bin/tqsv.cgi' % PORT).end()
    (t, _, _, _), _ = one_shot(post_head(TQSV, 12) + frame(END, 1, *cookie))
    expect(t == END, 'the first session ends')


def scenario_dialogue():
    s = Session()
    s.request(b'\n')
    s.poll_until(b'</Permission>\n')
    expect(ADMISSION.match(s.out), 'admission %r' % s.out)
    step('poll', wait=True)  # a polling pass keeps a session whose interpreter runs
    s.request(b'(+ 1 2)\n')
    s.poll_until(b'<Result> 2 3</Result>\n')
    early, seq4 = s.send(b'(+ 4 5)\n', seq=s.seq + 2)  # seq 4 before seq 3: read in seq order
    late, seq3 = s.send(b'(+ 3 4)\n', seq=s.seq + 1)
    s.seq += 2
    s.answer(late, seq3)
    s.answer(early, seq4)
    s.poll_until(b'<Result> 4 9</Result>\n')
    expect(s.out.endswith(b'<Result> 2 3</Result>\n<Result> 3 7</Result>\n<Result> 4 9</Result>\n'), 'order %r' % s.out)
    s.end()


def scenario_refusals():
    s = Session()
    for f, seq, cookie in ((frame(DATA, 5, *s.cookie, sum_off=1), 5, s.cookie),
                           (frame(DATA, 7, s.cookie[0], s.cookie[1] ^ 1) + b'x' * 5000, 7, (s.cookie[0], s.cookie[1] ^ 1))):
        (t, rseq, rcookie, _), _ = one_shot(post_head(TQSV, len(f)) + f)  # a bad checksum, an unknown cookie
        expect((t, rseq, rcookie) == (INVALID, seq, cookie), 'refusal %r' % [t, rseq, rcookie])
    for length in (b'11', b'-5', b'1x', b'4294967296'):
        closed_unanswered(b'POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: ' + length + b'\r\n\r\n' + frame(DATA, 1, *s.cookie))
    closed_unanswered(b'POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nX-Long: ' + b'a' * 9216 + b'\r\n\r\n')
    s.end()


def scenario_idle():
    parked, s, waiting = Session(True), Session(), []

    def queue(seqs):  # a few at a time: the listener's backlog is short
        for n in seqs:
            waiting.append(s.send(b'', seq=n))
            if len(waiting) % 4 == 0 or n == seqs[-1]:
                step('queued%d' % len(waiting), str(len(waiting)), wait=True)

    queue(range(2, 11))  # seq 1 never comes
    for seq, what in ((5, 'a seq already queued'), (66, 'a 65th waiting request')):
        (t, rseq, _, _), _ = one_shot(post_head(TQSV, 12) + frame(DATA, seq, *s.cookie))
        expect((t, rseq) == (INVALID, seq), what + ' is refused')
        queue(range(11, 66) if seq == 5 else [])
    step('idle')
    for c, n in waiting:
        s.answer(c, n, (INVALID,))
    expect(parked.conn.read_to_end() == b'', 'an idle keep-alive connection is closed')


def scenario_held():  # 64 requests held behind seq 1, which comes last: all answered, in order
    s, waiting = Session(), []
    for n in list(range(2, 66)) + [1]:
        waiting.append(s.send(b'%d\n' % n if n > 1 else b'\n', seq=n))
        if n % 4 == 1 and n > 1:
            step('queued%d' % (n - 1), str(n - 1), wait=True)
    for c, n in sorted(waiting, key=lambda w: w[1]):
        s.answer(c, n)
    s.seq = 65
    s.poll_until(b'<Result> 65 65</Result>\n')
    expect(re.findall(rb'<Result> \d+ (\d+)<', s.out) == [b'%d' % n for n in range(2, 66)], 'order %r' % s.out)
    s.end()


def scenario_delivered():  # 64 requests delivered, none answered yet: the next in order is taken
    s, waiting = Session(), []
    s.admitted()
    for n in range(1, 66):
        waiting.append(s.send(b''))
        if n % 4 == 0 or n == 65:
            step('queued%d' % n, str(n), wait=True)
    step('empty', str(s.seq), wait=True)
    for c, n in waiting:
        expect(s.answer(c, n) == (DATA, b''), 'an empty answer to %d' % n)
    s.end()


def scenario_slow():
    held = [Session(True) for _ in range(11)]
    for s in held:
        s.conn.send(b'P')  # a head begun and held up: its reader waits for the rest
    step('reading', '11', wait=True)
    Session(True).end()  # another keep-alive session is served meanwhile
    for s in held:
        s.conn.send(post_head(TQSV, 12, True)[1:] + frame(END, s.seq + 1, *s.cookie))
        s.answer(s.conn, s.seq + 1, (END,))


def scenario_wrap():
    s = Session()
    s.admitted()
    step('wrap', str(s.seq + 1), wait=True)  # the session's next seq becomes 32766
    sent = [s.send(b'(+ %d 0)\n' % n, seq=q) for n, q in ((2, 32767), (3, -32768), (1, 32766))]
    for c, q in sent[2:] + sent[:2]:  # answered in serial order across the wrap
        s.answer(c, q)
    s.seq = -32768
    s.poll_until(b' 3</Result>\n')
    expect(re.findall(rb' (\d)</Result>', s.out) == [b'1', b'2', b'3'], 'order across the wrap %r' % s.out)
    s.end()


def scenario_short():
    s = Session()
    s.admitted()
    s.seq += 1
    c = Conn()  # a body shorter than its Content-Length ends the session, not just the body
    c.send(post_head(TQSV, 12 + 10) + frame(DATA, s.seq, *s.cookie) + b'(+')
    c.s.shutdown(socket.SHUT_WR)
    s.answer(c, s.seq, (INVALID,))
    s.gone(s.seq + 1)


def scenario_gone():
    s = Session()
    s.admitted()
    s.answer(*s.send(b'(Break)\n'), (INVALID,))  # the interpreter ends, and with it the session
    s.gone(s.seq + 1)


def scenario_empty():
    s = Session()
    s.admitted()
    c, seq = s.send(b'')
    step('empty', str(seq))
    expect(s.answer(c, seq) == (DATA, b''), 'an empty answer')
    # The session answers again: the next request gets its output.
    expect(s.request(b'(+ 1 2)\n') == (DATA, b'<Result> 2 3</Result>\n'), 'the answer after an empty one %r' % s.out)
    s.end()


def scenario_probe():
    c = Conn()
    c.send(post_head(UPLOAD_PATH, 12, ctype=b'application/tqohttp2') + frame(PROBE))
    got = c.read_to_end()
    expect(got == reply_head(False, 12) + bytes.fromhex('06f8000200000000 00000000'), 'probe answer %r' % got)


def upload(cookie, data, length=None, answered=True):
    c = Conn()
    c.send(post_head(UPLOAD_PATH, 12 + len(data) if length is None else length, ctype=b'application/tqohttp2') +
           frame(UPLOAD, 0, *cookie) + data)
    if answered:
        expect(c.frame_reply(length_line=False) == (UPLOAD, 0, cookie, b''), 'upload answer')
        expect(c.read_to_end() == b'', 'bytes after the upload answer')
    return c


def scenario_v2():
    d = Conn()
    d.send(b'GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n')
    t, seq, cookie, _ = d.frame_reply(length_line=False)
    expect((t, seq, cookie[0]) == (DOWNLOAD, 0, CLOCK), 'download start %r' % [t, seq, cookie])
    upload(cookie, b'\n(+ 1 2)\n')
    want = b'<Result> 2 3</Result>\n'
    while not d.buf.endswith(want):
        expect(d.more(), 'download ended early: %r' % d.buf)
    expect(ADMISSION.match(d.buf), 'admission %r' % d.buf)
    running = upload(cookie, b'(+', 12 + 9, False)
    step('uploading', wait=True)
    closed_unanswered(post_head(UPLOAD_PATH, 15) + frame(UPLOAD, 0, *cookie) + b'7\n\n')  # a second at once
    running.send(b' 5 6)\n\n')
    expect(running.frame_reply(length_line=False) == (UPLOAD, 0, cookie, b''), 'upload answer')
    upload(cookie, b'')  # a frame alone: answered, the session goes on
    closed_unanswered(b'POST /cgi-bin/upload.cgi HTTP/1.0\r\n\r\n' + frame(UPLOAD, 0, *cookie))  # no length
    upload(cookie, b'(+ 7 8)\n')
    want += b'<Result> 3 11</Result>\n<Result> 5 15</Result>\n'
    while not d.buf.endswith(want):
        expect(d.more(), 'download ended early: %r' % d.buf)
    d.buf = b''
    broken = upload(cookie, b'(+', 100, False)  # a body that breaks off ends the session
    broken.s.shutdown(socket.SHUT_WR)
    broken.read_to_end()
    rest = d.read_to_end()
    expect(rest == b'', 'output after the end: %r' % rest)


def scenario_ended():  # a form running for a session is cancelled once the session ends
    global CLOCK
    CLOCK = 0  # the clock moves between its sessions
    for how in ('end', 'idle', 'download'):
        if how == 'download':
            d = Conn()
            d.send(b'GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n')
            upload(d.frame_reply(length_line=False)[2], b'\n(While 1 0)\n')
            while not ADMISSION.match(d.buf):  # read whole, the close is a close, not a reset
                expect(d.more(), 'download ended early: %r' % d.buf)
            step('alive', wait=True)
        else:
            s = Session()
            s.answer(*s.send(b'\n(While 1 0)\n'))  # the admission's first flush
        step('running ' + how, wait=True)
        s.end() if how == 'end' else step('idle ' + how, wait=True) if how == 'idle' else d.s.close()
        step('cancelled ' + how, wait=True)


def scenario_starved():  # no thread to be had: new sessions and uploads are refused, open ones go on
    s, k, d = Session(), Session(True), Conn()
    s.admitted()
    d.send(b'GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n')
    t, _, cookie, _ = d.frame_reply(length_line=False)
    expect(t == DOWNLOAD, 'download start %d' % t)
    step('starve', wait=True)
    closed_unanswered(post_head(TQSV, 12) + frame(OPEN))
    closed_unanswered(b'GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n')
    closed_unanswered(post_head(UPLOAD_PATH, 13, ctype=b'application/tqohttp2') + frame(UPLOAD, 0, *cookie) + b'\n')
    k.conn.send(post_head(TQSV, 12, True) + frame(OPEN))  # on a parked keep-alive connection
    expect(k.conn.read_to_end() == b'', 'an answer to an open with no thread for it')
    s.request(b'(+ 1 2)\n')
    s.poll_until(b'<Result> 2 3</Result>\n')
    step('fed', wait=True)
    upload(cookie, b'\n(+ 1 2)\n')
    while not d.buf.endswith(b'<Result> 2 3</Result>\n'):
        expect(d.more(), 'download ended early: %r' % d.buf)
    broken = upload(cookie, b'(+', 100, False)  # a body that breaks off ends the session
    broken.s.shutdown(socket.SHUT_WR)
    broken.read_to_end()
    d.read_to_end()
    k.keep = False  # its connection is gone: the session ends from another
    for x in (Session(), k, s):
        x.end()


def error_page(status, message, code=b'()'):
    return (b'<HTML>\n\r<HEAD>\n\r<TITLE>TORVELINE HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r'
            b'HTTP Status: ' + status + b'\n\r<HR>\n\rMessage: ' + message + b'<BR>\n\rTQ Code:' + code +
            b'\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r')


def page(status, body, ctype=b'text/html'):
    return reply_head(False, None, b'HTTP/1.1 ' + status, ctype) + body


def not_found(shown):
    return page(b'404 Not Found', error_page(b'404 Not Found', shown))


def expect_pages(cases):
    for path, body, want in cases:
        c = Conn()
        c.send(b'GET ' + path + b' HTTP/1.0\r\n\r\n' if body is None else
               b'POST ' + path + b' HTTP/1.0\r\nContent-Length: %d\r\n\r\n' % len(body) + body)
        got = c.read_to_end()
        expect(got == want, 'reply for %r: %r' % (path, got))


def scenario_agents():
    gif = bytes(range(256)) + b'GIF89a\r\n\x00'
    expect_pages([(b'/x', b'abc', not_found(b'/x')), (b'/<b>', None, not_found(b'/&lt;b&gt;')),
                  (b'/a', None, page(b'200 OK', b'hi')), (b'/a?x=1', None, page(b'200 OK', b'hi')),
                  (b'/ab', None, not_found(b'/ab')), (b'/a/b', None, not_found(b'/a/b')),
                  (b'/gif', gif, page(b'200 OK', gif, b'image/gif')),
                  (b'/num', None, page(b'500 Internal Server Error', error_page(b'500 Internal Server Error', b'/num', b'5'))),
                  (b'/txt', None, page(b'500 Internal Server Error', error_page(b'500 Internal Server Error', b'text/plain'))),
                  (b'/\x01', None, not_found(b'/\x01'))])
    for length, body in ((len(gif) + 1, b''), (10, b'abc')):  # over the cap; shorter than declared
        c = Conn()
        c.send(b'POST /gif HTTP/1.0\r\nContent-Length: %d\r\n\r\n' % length + body)
        c.s.shutdown(socket.SHUT_WR)
        got = c.read_to_end()
        expect(got == page(b'500 Internal Server Error', error_page(b'500 Internal Server Error', b'/gif')), 'body %d: %r' % (length, got))


if __name__ == '__main__':
    PORT, CLOCK, STEPDIR, name = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    try:
        globals()['scenario_' + name]()
    except (Fail, OSError) as e:
        print('FAIL', name + ':', e)
        sys.exit(1)
    print('ok')

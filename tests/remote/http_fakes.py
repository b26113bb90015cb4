#!/usr/bin/python3
"""Fake HTTP peers of the protocol client's tests, written from the protocol's description.

Usage: http_fakes.py MODE LOG [SCRIPT]

It listens on a free port and prints "PORT <n>". Connections are numbered from 1 in the
order they are accepted. Bytes in the log are escaped: \\r, \\n, \\\\ and \\xNN for other
bytes below 0x20 or from 0x7f. A line "release NAME" on standard input lets a held reply go;
the end of standard input ends the program.

MODE v1 (on 127.0.0.2): a server of the protocol's version 1. Each request is logged
"<conn> <head and body>". A probe (a POST of /cgi-bin/upload.cgi) is answered type 4 and the
connection closed. Every other request takes the next line of SCRIPT, "STATUS TYPE SEQOFF
KEEP PAYLOAD" (KEEP k or c, PAYLOAD escaped text or -): a reply of that status; for 200 a
frame of TYPE carrying the request's seq plus SEQOFF, the cookie 0x11223344 0x55667788 (an
opening) or the request's, and the payload; the connection stays open for the next request
with k. Without a line left: an opening gets type 5 and keeps the connection when its head
asks keep-alive, else type 2 and the close; a type-3 request gets type 3 and the close; any
other type 2, kept as its head asks.

MODE proxy (on 127.0.0.1): a forward proxy. It reads the first request head of a connection,
logs "<conn> <request line>", connects to the host and port of its absolute URL, sends the
head on unchanged and then relays both ways until either side ends.

MODE http (on 127.0.0.1): an HTTP/1.0 server. Each request is logged "REQ <conn> <head and
body>" once read, and "REPLY <conn>" just before its reply is sent. Paths: /a.xml text/xml "<a>1</a>";
/p.png image/png with bytes 89 50 4e 47 0d 0a 1a 0a 00 01 ff; /404 status 404; a path
beginning /hold waits for "release <path>", then answers as the rest would; any other path
text/plain with the path as body. Every reply closes the connection.
"""
import codecs
import os
import socket
import struct
import sys
import threading

lock = threading.Lock()
released = set()
log_file = None
script = []
count = [0]

PNG = b'\x89PNG\r\n\x1a\n\x00\x01\xff'


def escaped(data):
    out = []
    for b in data:
        if b == 0x0D:
            out.append('\\r')
        elif b == 0x0A:
            out.append('\\n')
        elif b == 0x5C:
            out.append('\\\\')
        elif b < 0x20 or b >= 0x7F:
            out.append('\\x%02x' % b)
        else:
            out.append(chr(b))
    return ''.join(out)


def log(line):
    with lock:
        log_file.write(line + '\n')
        log_file.flush()


class Conn:
    def __init__(self, s):
        self.s = s
        self.buf = b''

    def fill(self):
        chunk = self.s.recv(65536)
        self.buf += chunk
        return chunk

    def head(self):
        while b'\r\n\r\n' not in self.buf:
            if not self.fill():
                return None
        h, self.buf = self.buf.split(b'\r\n\r\n', 1)
        return h + b'\r\n\r\n'

    def take(self, n):
        while len(self.buf) < n:
            if not self.fill():
                break
        r, self.buf = self.buf[:n], self.buf[n:]
        return r

    def request(self):
        h = self.head()
        if h is None:
            return None, None
        length = 0
        for line in h.split(b'\r\n'):
            if line.lower().startswith(b'content-length:'):
                length = int(line.split(b':', 1)[1])
        return h, self.take(length)


def frame(ftype, seq, c0, c1):
    b = bytearray(struct.pack('>BBhII', ftype, 0, seq, c0, c1))
    b[1] = (-sum(b)) & 0xff
    return bytes(b)


def reply(status, keep, ctype, body):
    h = b'HTTP/1.0 %d %s\r\n' % (status, b'OK' if status == 200 else b'Error')
    h += b'Connection: ' + (b'keep-alive' if keep else b'close') + b'\r\n'
    h += b'Content-Type: ' + ctype + b'\r\nContent-Length: %d\r\n\r\n' % len(body)
    return h + body


def v1_answer(head, body):
    ftype, _, seq, c0, c1 = struct.unpack('>BBhII', body[:12])
    asks_keep = b'keep-alive' in head.lower()
    with lock:
        line = script.pop(0) if script else None
    if line is None:
        status, keep, payload = 200, asks_keep and ftype != 3, b''
        atype = {1: 5 if asks_keep else 2, 3: 3}.get(ftype, 2)
        seqoff = 0
    else:
        st, at, so, kp, pl = line.split(' ', 4)
        status, atype, seqoff, keep = int(st), int(at), int(so), kp == 'k'
        payload = b'' if pl == '-' else codecs.escape_decode(pl.encode())[0]
    if ftype == 1:
        c0, c1 = 0x11223344, 0x55667788
    if status != 200:
        return reply(status, False, b'text/html', b''), False
    return reply(200, keep, b'application/tqohttp', frame(atype, seq + seqoff, c0, c1) + payload), keep


def serve_v1(conn, n):
    while True:
        head, body = conn.request()
        if head is None:
            return
        log('%d %s' % (n, escaped(head + body)))
        if b'upload.cgi' in head.split(b'\r\n', 1)[0]:
            _, _, seq, c0, c1 = struct.unpack('>BBhII', body[:12])
            conn.s.sendall(reply(200, False, b'application/tqohttp', frame(4, seq, c0, c1)))
            return
        data, keep = v1_answer(head, body)
        conn.s.sendall(data)
        if not keep:
            return


def relay(a, b):
    try:
        while True:
            chunk = a.recv(65536)
            if not chunk:
                break
            b.sendall(chunk)
    except OSError:
        pass
    try:
        b.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def serve_proxy(conn, n):
    head = conn.head()
    if head is None:
        return
    line = head.split(b'\r\n', 1)[0]
    log('%d %s' % (n, escaped(line)))
    hostport = line.split(b' ')[1].split(b'/')[2]
    host, port = hostport.rsplit(b':', 1)
    up = socket.create_connection((host.decode(), int(port)))
    up.sendall(head + conn.buf)
    back = threading.Thread(target=relay, args=(up, conn.s), daemon=True)
    back.start()
    relay(conn.s, up)
    back.join()
    up.close()


def serve_http(conn, n):
    head, body = conn.request()
    if head is None:
        return
    log('REQ %d %s' % (n, escaped(head + body)))
    path = head.split(b' ')[1].decode('latin-1')
    if path.startswith('/hold'):
        with lock:
            while path not in released:
                lock.wait()
        rest = path[len('/hold'):].lstrip('0123456789')
        path = rest if rest.startswith('/') else '/' + rest
    if path == '/a.xml':
        data = reply(200, False, b'text/xml', b'<a>1</a>')
    elif path == '/p.png':
        data = reply(200, False, b'image/png', PNG)
    elif path == '/404':
        data = reply(404, False, b'text/html', b'')
    else:
        data = reply(200, False, b'text/plain', path.encode('latin-1'))
    log('REPLY %d' % n)  # before the bytes go: the client cannot act on a reply not yet logged
    conn.s.sendall(data)


def handle(s, n, serve):
    try:
        serve(Conn(s), n)
    except (OSError, struct.error, ValueError, IndexError):
        pass
    finally:
        s.close()


def accept_loop(ls, serve):
    while True:
        s, _ = ls.accept()
        with lock:
            count[0] += 1
            n = count[0]
        threading.Thread(target=handle, args=(s, n, serve), daemon=True).start()


def main():
    global log_file, lock
    mode, log_path = sys.argv[1], sys.argv[2]
    lock = threading.Condition()
    log_file = open(log_path, 'a')
    if len(sys.argv) > 3:
        with open(sys.argv[3]) as f:
            script.extend(l for l in f.read().split('\n') if l)
    ls = socket.socket()
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind(('127.0.0.2' if mode == 'v1' else '127.0.0.1', 0))
    ls.listen(16)
    serve = {'v1': serve_v1, 'proxy': serve_proxy, 'http': serve_http}[mode]
    threading.Thread(target=accept_loop, args=(ls, serve), daemon=True).start()
    print('PORT %d' % ls.getsockname()[1], flush=True)
    for line in sys.stdin:
        if line.startswith('release '):
            with lock:
                released.add(line[8:].strip())
                lock.notify_all()
    os._exit(0)


main()

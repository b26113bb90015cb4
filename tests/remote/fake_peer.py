#!/usr/bin/python3
"""A fake native-protocol server for the remote tests, written from the protocol alone.

Usage: fake_peer.py RULES LOG [PERMISSION]

It listens on a free loopback port and prints "PORT <n>" on standard output. A client that
sends its opening line end is answered "\\n&cxdfff0016;\\n<Permission>Allow</Permission>\\n"
(PERMISSION "Busy" or "Denied": that line alone, then the connection is closed). PERMISSION
may list one answer per connection, separated by commas, the last standing for the rest;
"hold ANSWER" gives ANSWER once "release" is read on standard input. Every line
the client sends afterwards is logged as "<connection> <text>" (connections counted from 1,
control characters written as \\f, \\r, \\xNN) and, when it holds a form, answered
"<Result> N value</Result>\\n", where N is the line's number as the client's reader counts
it: 1 at the start, +1 per LF and per CR, 0 after a form feed.

RULES has one rule a line, "FORM<TAB>ACTION": FORM is the form's exact text (code markers
"&cx..;" before it are not part of it) or a text ending in "*" that matches by prefix. The
first rule that matches and is not used up gives the answer; ACTION is one of
  value TEXT          answer TEXT
  hold ACTION         answer as ACTION once "release" is read on standard input
  drop                close the connection without answering
  error CODE TEXT     answer an error cell with that code (hex) and data ("TEXT")
  raw HEX             answer a list of one raw cell holding those bytes
and may begin with "once " to be used a single time. Without a rule the answer is ().
The end of standard input ends the program.
"""
import socket
import sys
import threading

lock = threading.Lock()
held = []  # (connection, reply bytes) waiting for "release"
log = None


def load_rules(path):
    rules = []
    with open(path, encoding="utf-8") as f:
        for line in f.read().split("\n"):
            if not line or line.startswith("#"):
                continue
            form, action = line.split("\t", 1)
            once = action.startswith("once ")
            rules.append({"form": form, "action": action[5:] if once else action, "once": once, "used": False})
    return rules


def escaped(data):
    out = []
    for b in data:
        if b == 0x0C:
            out.append("\\f")
        elif b == 0x0D:
            out.append("\\r")
        elif b < 0x20 or b == 0x7F:
            out.append("\\x%02x" % b)
        else:
            out.append(chr(b))
    return "".join(out)


def form_text(line):
    """The line without leading code markers and blanks; empty when it holds no form."""
    text = line.decode("utf-8", "replace").lstrip(" \t\x0c")
    while text.startswith("&cx"):
        end = text.find(";")
        if end < 0:
            break
        text = text[end + 1:].lstrip(" \t\x0c")
    return text.strip()


def rule_for(rules, form):
    with lock:
        for r in rules:
            pattern = r["form"]
            hit = form.startswith(pattern[:-1]) if pattern.endswith("*") else form == pattern
            if hit and not (r["once"] and r["used"]):
                r["used"] = True
                return r["action"]
    return "value ()"


def answer(number, action):
    """The reply bytes, or None to drop the connection."""
    kind, _, rest = action.partition(" ")
    if kind == "drop":
        return None
    if kind == "error":
        code, _, text = rest.partition(" ")
        body = '^\n %%E\n ("" "" 0 "peer" 0x%s\n ("%s"))' % (code, text)
        return ("<Result> %d %s</Result>\n" % (number, body)).encode()
    if kind == "raw":
        data = bytes.fromhex(rest)
        return b"<Result> %d (#%x#" % (number, len(data)) + data + b")</Result>\n"
    return ("<Result> %d %s</Result>\n" % (number, rest)).encode()


def log_line(index, line, held_reply):
    """Logs a received line. A reply held for it is registered under the same hold of the
    lock, so a "release" sent once the line is seen in the log always lets it go."""
    with lock:
        if held_reply:
            held.append(held_reply)
        log.write("%d %s\n" % (index, escaped(line)))
        log.flush()


def serve(conn, index, rules, permissions):
    permission = permissions[min(index, len(permissions)) - 1]
    hold = permission.startswith("hold ")
    permission = permission[5:] if hold else permission
    buf = b""
    number = 1  # the line now being read
    admitted = False
    try:
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return
            buf += chunk
            while True:
                cut = [i for i in (buf.find(b"\n"), buf.find(b"\r")) if i >= 0]
                if not cut:
                    break
                end = min(cut)
                line, buf = buf[:end], buf[end + 1:]
                start = number
                for b in line:
                    if b == 0x0C:
                        start = number = 0
                number += 1
                if not admitted:
                    admitted = True
                    if permission == "Allow":
                        text = b"\n&cxdfff0016;\n<Permission>Allow</Permission>\n"
                    else:
                        text = ("<Permission>%s</Permission>\n" % permission).encode()
                    log_line(index, line, (conn, text) if hold else None)
                    if hold:
                        continue
                    conn.sendall(text)
                    if permission != "Allow":
                        return
                    continue
                form = form_text(line)
                action = rule_for(rules, form) if form else None
                held_form = action is not None and action.startswith("hold ")
                reply = answer(start, action[5:] if held_form else action) if action else None
                log_line(index, line, (conn, reply) if held_form and reply is not None else None)
                if not form:
                    continue
                if reply is None:
                    return
                if not held_form:
                    conn.sendall(reply)
    except OSError:
        pass
    finally:
        conn.close()


def commands():
    for line in sys.stdin:
        if line.strip() != "release":
            continue
        with lock:
            for conn, reply in held:
                try:
                    conn.sendall(reply)
                except OSError:
                    pass
            held.clear()


def main():
    global log
    rules = load_rules(sys.argv[1])
    log = open(sys.argv[2], "w", encoding="utf-8")
    permission = (sys.argv[3] if len(sys.argv) > 3 else "Allow").split(",")
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.bind(("127.0.0.1", 0))
    srv.listen(16)
    print("PORT %d" % srv.getsockname()[1], flush=True)

    def accept_loop():
        index = 0
        while True:
            conn, _ = srv.accept()
            index += 1
            threading.Thread(target=serve, args=(conn, index, rules, permission), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    commands()


if __name__ == "__main__":
    main()

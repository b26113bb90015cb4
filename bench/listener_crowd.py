#!/usr/bin/env python3
"""A crowd of slow refused request bodies against the README's server.tq (not in the suite).

Runs `tq_script server.tq -` under `ulimit -v 1000000` on a free port, opens a version-1
session, then sends a crowd of requests whose bodies come slowly, one kind per run:
  404    POST /x, Content-Length 100, a body byte every 2 s (the page no agent serves)
  type4  POST /cgi-bin/tqsv.cgi, a frame with an unknown cookie, 88 payload bytes, one every 2 s
At each sample (40 s, 80 s) it times a newcomer text peer, a GET /x, a version probe and a
poll of the session opened before the crowd (each must be answered within a second), and it
times the refusal of a 40-byte body sent a byte a second beside the crowd (due at 40 s).

usage: listener_crowd.py TQ_SCRIPT_BINARY [crowd=300] [kinds=404,type4]
"""
import asyncio
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

SAMPLES = (40, 80)
BOUND = 10.0  # seconds a sampled request may take before it counts as unanswered


def frame(ftype, seq, c0, c1):
    b = bytearray(struct.pack(">BBhII", ftype, 0, seq, c0, c1))
    b[1] = (-sum(x if x < 128 else x - 256 for x in b)) & 0xFF
    return bytes(b)


def post(path, body):
    return (f"POST {path} HTTP/1.0\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body


async def exchange(port, data, until, bound=BOUND):
    """Seconds until the reply holds `until` (or the peer closed after some bytes), else None."""
    start = time.monotonic()
    try:
        r, w = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), bound)
        w.write(data)
        got = b""
        while until not in got:
            chunk = await asyncio.wait_for(r.read(4096), bound - (time.monotonic() - start))
            if not chunk:
                break
            got += chunk
        w.close()
        return (time.monotonic() - start, got) if got else (None, got)
    except (asyncio.TimeoutError, OSError):
        return None, b""


async def open_session(port):
    """The cookie of a new session and its next seq, or None. The reply ends with the close."""
    _, got = await exchange(port, post("/cgi-bin/tqsv.cgi", frame(1, 0, 0, 0)), b"(the close)")
    head_end = got.find(b"\r\n\r\n")
    if head_end < 0 or len(got) < head_end + 16:
        return None
    _, _, _, c0, c1 = struct.unpack(">BBhII", got[head_end + 4:head_end + 16])
    return [c0, c1, 1]


async def sample(port, session, at):
    res = {}
    res["newcomer"] = (await exchange(port, b"\n", b"</Permission>\n"))[0]
    res["GET /x"] = (await exchange(port, b"GET /x HTTP/1.0\r\n\r\n", b"\r\n"))[0]
    res["version probe"] = (await exchange(port, post("/cgi-bin/upload.cgi", frame(6, 0, 0, 0)), b"(the close)"))[0]
    c0, c1, seq = session
    session[2] += 1
    t, got = await exchange(port, post("/cgi-bin/tqsv.cgi", frame(2, seq, c0, c1) + b"(+ 1 2)\n"), b"</Result>")
    res["session poll"] = t
    print(f"  sample {at:3d} s: " + ", ".join(f"{k} {'NONE' if v is None else f'{v:.3f} s'}" for k, v in res.items()),
          flush=True)
    return all(v is not None and v < 1.0 for v in res.values())


async def slow(port, head, body, every, until=None):
    """Sends head then body a byte every `every` s; returns (seconds to the first reply byte, reply)."""
    try:
        r, w = await asyncio.open_connection("127.0.0.1", port)
    except OSError:
        return None, b"(connect failed)"
    start = time.monotonic()
    w.write(head)
    reply = b""
    try:
        for i in range(len(body)):
            await asyncio.sleep(every)
            w.write(body[i:i + 1])
            await w.drain()
        reply = await asyncio.wait_for(r.read(200), BOUND)
    except (asyncio.TimeoutError, OSError) as e:
        return None, str(e).encode()
    finally:
        w.close()
    return time.monotonic() - start, reply


def crowd_member(kind):
    if kind == "404":
        return b"POST /x HTTP/1.0\r\nContent-Length: 100\r\n\r\n", b"x" * 100
    return (b"POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 100\r\n\r\n" + frame(2, 3, 1, 2)), b"x" * 88


def forty(kind):
    if kind == "404":
        return b"POST /x HTTP/1.0\r\nContent-Length: 40\r\n\r\n", b"y" * 40
    return b"POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 52\r\n\r\n" + frame(2, 3, 1, 2), b"y" * 40


async def run(port, kind, count):
    session = await open_session(port)
    if not session:
        print("  no session could be opened")
        return False
    print(f"crowd of {count} ({kind}), a byte every 2 s; session {session[0]:#x}/{session[1]:#x}", flush=True)
    t0 = time.monotonic()
    crowd = [asyncio.create_task(slow(port, *crowd_member(kind), 2.0)) for _ in range(count)]
    head, body = forty(kind)
    refusal = asyncio.create_task(slow(port, head, body, 1.0))
    ok = True
    for at in SAMPLES:
        await asyncio.sleep(max(0.0, t0 + at - time.monotonic()))
        ok &= await sample(port, session, at)
    t, reply = await refusal
    first = reply.split(b"\r\n", 1)[0].decode(errors="replace")
    print(f"  40-byte body, a byte a second: {'NONE' if t is None else f'{t:.1f} s'}: {first!r}", flush=True)
    ok &= t is not None and (first.startswith("HTTP/1.1 404") if kind == "404" else first.startswith("HTTP/1.0 200"))
    for c in crowd:
        c.cancel()
    await asyncio.gather(*crowd, return_exceptions=True)
    return ok


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def main():
    binary = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    kinds = (sys.argv[3] if len(sys.argv) > 3 else "404,type4").split(",")
    all_ok = True
    for kind in kinds:
        port = free_port()
        with tempfile.TemporaryDirectory() as d:
            script = os.path.join(d, "server.tq")
            with open(script, "w") as f:
                f.write(f'(define L (OpenInterpreter "accept" Env0 (Port {port}) (Permission (list "all") '
                        f'(Allow "ip" "127.0.0.1" "255.255.255.255"))))\n(WaitInterpreter L)\n')
            proc = subprocess.Popen(["bash", "-c", f"ulimit -v 1000000 && exec {binary} {script} -"], cwd=d,
                                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(200):
                try:
                    socket.create_connection(("127.0.0.1", port), 0.1).close()
                    break
                except OSError:
                    time.sleep(0.05)
            try:
                ok = asyncio.run(run(port, kind, count))
            finally:
                alive = proc.poll() is None
                proc.kill()
                proc.wait()
            print(f"  {kind}: {'all answered' if ok else 'SOME UNANSWERED'}; server {'alive' if alive else 'ENDED'}")
            all_ok &= ok and alive
    sys.exit(0 if all_ok else 1)


if __name__ == "__main__":
    main()

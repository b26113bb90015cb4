#!/usr/bin/python3
"""Block payloads decoded from their description alone, for the matrix word tests.

usage: payload_check.py MODE < LINES

compound  lines "PAYLOAD_HEX ITEM ...", ITEM as the tests describe values: "s:HEX" string
          (UTF-8), "i:N" integer, "f:HEX" double bits, "b:HEX" block bytes, "v:HEX" vector
          network form. Each item of a compound payload is a type byte (14 string, 5
          integer, 11 float, 13 block, else the vector's type code), the length in the
          store's variable-length code, then the payload. Decodes the payload, encodes the
          items, and prints "OK N" (N items) or what differs.
zlib      lines "PAYLOAD_HEX PLAIN_HEX": prints "OK N" when every payload inflates to its plain
          image.
jpeg      lines "PAYLOAD_HEX": a "gj" or "cj" payload decoded by Pillow; prints per line the
          width, the height and the pixels in hex: the red byte of each for "gj", red, green,
          blue and 0 for "cj".
"""
import io
import struct
import sys
import zlib


def code(n):
    """The store's variable-length code of n (big-endian, the sign bit leading the field)."""
    for size, lead, bits in ((2, 0x0, 15), (4, 0x2, 30), (6, 0x6, 45), (8, 0xE, 60)):
        if -(1 << (bits - 1)) <= n < 1 << (bits - 1):
            return ((lead << bits) | (n & ((1 << bits) - 1))).to_bytes(size, 'big')
    return b'\xf0' + (n & (1 << 64) - 1).to_bytes(8, 'big')


def read_code(b, at):
    first = b[at]
    for size, lead, mask_bits in ((2, 0x0, 1), (4, 0x2, 2), (6, 0x6, 3), (8, 0xE, 4)):
        if first >> (8 - mask_bits) == lead:
            bits = size * 8 - mask_bits
            v = int.from_bytes(b[at:at + size], 'big') & ((1 << bits) - 1)
            return (v - (1 << bits) if v >> (bits - 1) else v), at + size
    if first == 0xF0:
        return struct.unpack('>q', b[at + 1:at + 9])[0], at + 9
    raise ValueError('no code at %d' % at)


def encode(item):
    kind, val = item.split(':', 1)
    if kind == 'i':
        body, t = struct.pack('>q', int(val)), 5
    elif kind == 'f':
        body, t = bytes.fromhex(val), 11
    elif kind == 's':
        body, t = bytes.fromhex(val), 14
    elif kind == 'b':
        body, t = bytes.fromhex(val), 13
    else:
        body = bytes.fromhex(val)
        t = body[1]  # the type byte of the header (of the head word for string vectors)
    return bytes([t]) + code(len(body)) + body


def decode(payload):
    items, at = [], 0
    while at < len(payload):
        t = payload[at]
        n, at = read_code(payload, at + 1)
        body = payload[at:at + n]
        at += n
        if t == 5:
            items.append('i:%d' % struct.unpack('>q', body)[0])
        else:
            items.append({14: 's', 11: 'f', 13: 'b'}.get(t, 'v') + ':' + body.hex())
    return items


def compound(lines):
    count = 0
    for line in lines:
        words = line.split()
        payload, items = bytes.fromhex(words[0]), words[1:]
        if decode(payload) != items:
            print('DECODED', decode(payload), 'WANT', items)
        if b''.join(encode(i) for i in items) != payload:
            print('ENCODED DIFFERS', words[0])
        count += len(items)
    print('OK %d' % count)


def inflate(lines):
    count = 0
    for line in lines:
        payload, plain = line.split()
        if zlib.decompress(bytes.fromhex(payload)).hex() != plain:
            print('DIFFERS', payload[:32])
        count += 1
    print('OK %d' % count)


def jpeg(lines):
    from PIL import Image
    for line in lines:
        payload = bytes.fromhex(line.strip())
        img = Image.open(io.BytesIO(payload[2:])).convert('RGB')
        px = img.tobytes()
        out = px[0::3] if payload[:2] == b'gj' else b''.join(px[i:i + 3] + b'\0' for i in range(0, len(px), 3))
        print(img.width, img.height, out.hex())


if __name__ == '__main__':
    {'compound': compound, 'zlib': inflate, 'jpeg': jpeg}[sys.argv[1]]([l for l in sys.stdin if l.strip()])

#!/usr/bin/env python3
"""Computes, outside our C++ code, the identifiers of the fixed files the
known-answer test reads: MD5 and SHA-1 from hashlib, MD4 written here from
RFC 1320, and the chunked MD4, pieces, FID, SID and piece table from the
system's own description of them. Prints C++ literals for
tests/svrlib/known_answer_test.cpp; run it again if a file is added.

usage: known_answers.py
"""
import hashlib
import struct

MASK = 0xFFFFFFFF
CHUNK = 9728000


def rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK


class Md4:
    """MD4 (RFC 1320), incremental."""

    def __init__(self):
        self.state = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476]
        self.count = 0
        self.buf = b""

    def update(self, data):
        self.count += len(data)
        self.buf += data
        while len(self.buf) >= 64:
            self._block(self.buf[:64])
            self.buf = self.buf[64:]

    def _block(self, block):
        x = struct.unpack("<16I", block)
        a, b, c, d = self.state
        f = lambda x_, y, z: (x_ & y) | (~x_ & z)
        g = lambda x_, y, z: (x_ & y) | (x_ & z) | (y & z)
        h = lambda x_, y, z: x_ ^ y ^ z
        for i in (0, 4, 8, 12):
            a = rotl((a + f(b, c, d) + x[i]) & MASK, 3)
            d = rotl((d + f(a, b, c) + x[i + 1]) & MASK, 7)
            c = rotl((c + f(d, a, b) + x[i + 2]) & MASK, 11)
            b = rotl((b + f(c, d, a) + x[i + 3]) & MASK, 19)
        for i in (0, 1, 2, 3):
            a = rotl((a + g(b, c, d) + x[i] + 0x5A827999) & MASK, 3)
            d = rotl((d + g(a, b, c) + x[i + 4] + 0x5A827999) & MASK, 5)
            c = rotl((c + g(d, a, b) + x[i + 8] + 0x5A827999) & MASK, 9)
            b = rotl((b + g(c, d, a) + x[i + 12] + 0x5A827999) & MASK, 13)
        for i in (0, 2, 1, 3):
            a = rotl((a + h(b, c, d) + x[i] + 0x6ED9EBA1) & MASK, 3)
            d = rotl((d + h(a, b, c) + x[i + 8] + 0x6ED9EBA1) & MASK, 9)
            c = rotl((c + h(d, a, b) + x[i + 4] + 0x6ED9EBA1) & MASK, 11)
            b = rotl((b + h(c, d, a) + x[i + 12] + 0x6ED9EBA1) & MASK, 15)
        self.state = [(s + v) & MASK for s, v in zip(self.state, (a, b, c, d))]

    def digest(self):
        bits = (self.count * 8) & 0xFFFFFFFFFFFFFFFF
        tail = self.buf + b"\x80" + b"\x00" * ((55 - self.count) % 64) + struct.pack("<Q", bits)
        state = list(self.state)
        for i in range(0, len(tail), 64):
            self._block(tail[i:i + 64])
        out = struct.pack("<4I", *self.state)
        self.state = state
        return out


def md4(data):
    m = Md4()
    m.update(data)
    return m.digest()


def piece_size(size):
    for bound, piece in ((2097152, 32768), (20971520, 65536), (209715200, 131072),
                         (1073741824, 262144), (4294967296, 524288)):
        if size <= bound:
            return piece
    return -(-size // (8 << 20)) * 1024


def chunked_md4(data):
    if len(data) <= CHUNK:
        return md4(data)
    return md4(b"".join(md4(data[i:i + CHUNK]) for i in range(0, len(data), CHUNK)))


def describe(data):
    size = len(data)
    p = piece_size(size)
    pieces = [hashlib.md5(data[i:i + p]).digest() for i in range(0, size, p)]
    n = len(pieces)
    sha1 = hashlib.sha1(data).digest()
    fid = hashlib.sha1(struct.pack("<Q", size) + b"".join(pieces)).digest()
    sampled = [pieces[0]] + ([pieces[n // 2]] if n > 1 else []) + ([pieces[n - 1]] if n > 2 else [])
    sid = hashlib.sha1(b"".join(sampled) + struct.pack("<Q", size)).digest()
    last = (size - (n - 1) * p) & MASK
    head = b"TPT" + struct.pack("<hIIHI", 4, 0, n, p >> 10, last) + b"\x00" * 16
    table = head + b"".join(pieces) + sha1
    return {"size": size, "piece": p, "pieces": n, "md4": chunked_md4(data), "sha1": sha1, "fid": fid,
            "sid": sid, "table": table}


FILES = [
    ("one byte", b"a"),
    ("exactly one piece", bytes(i % 251 for i in range(32768))),
    ("one byte past the 2 MiB step (sparse)", b"\x00" * 2097153),
    ("one byte past the first MD4 chunk (sparse)", b"\x00" * 9728001),
]

for name, data in FILES:
    d = describe(data)
    table = d["table"]
    shown = table.hex() if len(table) <= 200 else None
    print("    // %s" % name)
    print("    {%d, %d, %d, \"%s\", \"%s\", \"%s\", \"%s\"," % (
        d["size"], d["piece"], d["pieces"], d["md4"].hex(), d["sha1"].hex(), d["sid"].hex(), d["fid"].hex()))
    print("     \"%s\", \"%s\", %d}," % (shown or table[:35].hex(), hashlib.sha1(table).hexdigest(), len(table)))

#!/usr/bin/env python3
"""A download mirror on 127.0.0.1 that misbehaves in one chosen way.

usage: bad_mirror.py FILE MODE PIECE_SIZE PIECE [TARGET]
  corrupt        answers ranges, one byte flipped in piece PIECE and every later one
  norange        ignores Range: 200 and the whole file
  wronglength    answers another range than the one asked for
  cut            closes the connection half way through piece PIECE
  stall          accepts and reads the request, then sends nothing
  trickle        answers ranges rightly, one byte every half second
  redirect-file  redirects every request to file:// of FILE
  redirect       redirects every request to the URL TARGET
  redirect-loop  redirects every request to itself
  slow           sends the headers of a 206, then a byte a second
Prints "listening on PORT" once it accepts connections; runs until killed.
"""
import http.server
import os
import re
import sys
import time

PATH, MODE, PIECE_SIZE, PIECE = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
TARGET = sys.argv[5] if len(sys.argv) > 5 else ""
SIZE = os.path.getsize(PATH)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        if MODE == "stall":
            time.sleep(3600)
            return
        if MODE in ("redirect-file", "redirect", "redirect-loop"):
            self.send_response(302)
            where = {"redirect-file": "file://" + os.path.abspath(PATH), "redirect": TARGET,
                     "redirect-loop": self.path}[MODE]
            self.send_header("Location", where)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(PATH, "rb") as f:
            data = f.read()
        match = re.match(r"bytes=(\d+)-(\d+)$", self.headers.get("Range", ""))
        if MODE == "norange" or not match:
            self.send_response(200)
            self.send_header("Content-Length", str(SIZE))
            self.end_headers()
            self.wfile.write(data)
            return
        first, last = int(match.group(1)), min(int(match.group(2)), SIZE - 1)
        if MODE == "slow":
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, SIZE))
            self.send_header("Content-Length", str(last + 1 - first))
            self.end_headers()
            for at in range(first, last + 1):
                self.wfile.write(data[at:at + 1])
                self.wfile.flush()
                time.sleep(1)
            return
        if MODE == "wronglength":
            # One byte more than asked for, or one less at the file's end.
            if last + 1 < SIZE:
                last += 1
            else:
                first += 1
        body = bytearray(data[first:last + 1])
        bad = PIECE * PIECE_SIZE
        if MODE == "corrupt":
            for at in range(max(bad, first - first % PIECE_SIZE), last + 1, PIECE_SIZE):
                if at >= first:
                    body[at - first] ^= 0x55
        self.send_response(206)
        self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, SIZE))
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if MODE == "trickle":
            for i in range(len(body)):
                self.wfile.write(bytes(body[i:i + 1]))
                self.wfile.flush()
                time.sleep(0.5)
            return
        cut = bad + PIECE_SIZE // 2
        if MODE == "cut" and first <= cut <= last:
            self.wfile.write(bytes(body[:cut - first]))
            self.wfile.flush()
            self.close_connection = True
            return
        self.wfile.write(bytes(body))


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print("listening on %d" % server.server_address[1], flush=True)
server.serve_forever()

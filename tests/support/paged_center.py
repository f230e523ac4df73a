#!/usr/bin/env python3
"""A resource center's HTTP API reduced to one resource whose locations come
in pages: the first answer names a cursor, the second (?after=CURSOR) none.

usage: paged_center.py FID SIZE TABLE URL1 URL2 [endless]
With "endless", every page names a next one and holds 2,500 locations
(URL2 with a query of its own each), for ever.
Prints "listening on PORT" once it accepts connections; runs until killed.
"""
import http.server
import json
import sys

FID, SIZE, TABLE, URL1, URL2 = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
ENDLESS = len(sys.argv) > 6 and sys.argv[6] == "endless"


def endless_page(after):
    locations = [{"url": "%s?%d" % (URL2, after * 2500 + i), "file": "paged.bin", "ext": "bin", "ref": "",
                  "first_seen": ""} for i in range(2500)]
    return json.dumps({"size": SIZE, "fid": FID, "count": 2, "locations": locations,
                       "next": after + 1}).encode()


def record(url, after):
    answer = {"size": SIZE, "fid": FID, "count": 2,
              "locations": [{"url": url, "file": "paged.bin", "ext": "bin", "ref": "", "first_seen": ""}]}
    if after:
        answer["next"] = after
    return json.dumps(answer).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        base = "/v1/resources/" + FID
        if ENDLESS and (self.path == base or self.path.startswith(base + "?after=")):
            after = int(self.path[len(base + "?after="):]) if "?" in self.path else 0
            self.answer(200, endless_page(after))
        elif self.path == base:
            self.answer(200, record(URL1, 17))
        elif self.path == base + "?after=17":
            self.answer(200, record(URL2, None))
        elif self.path == base + "/tpt":
            with open(TABLE, "rb") as f:
                self.answer(200, f.read())
        else:
            self.answer(404, b'{"error": "not found"}')


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print("listening on %d" % server.server_address[1], flush=True)
server.serve_forever()

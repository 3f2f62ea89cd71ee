#!/usr/bin/env python3
"""Serves a folder on the loopback interface for bench/run, honouring range
requests (python3's http.server does not), and counts the bytes it serves.

    bench/serve.py <folder> <count file>

Prints "port N" once it listens. After each response it appends the number of
body bytes it sent to <count file>, so the bench can sum what one add read.
Single ranges only ("bytes=a-b", "bytes=a-", "bytes=-n"); anything else is
answered with the whole file, as a server without ranges would.
"""

import email.utils
import http.server
import os
import re
import sys
import threading

RANGE = re.compile(r"bytes=(\d*)-(\d*)$")
CHUNK = 1 << 20


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # As web servers do: with Nagle's algorithm, a body sent after its headers
    # on a kept-alive connection waits for the client's delayed ACK.
    disable_nagle_algorithm = True
    count_lock = threading.Lock()

    def log_message(self, format, *args):  # quiet: the bench reads its own output
        pass

    def do_HEAD(self):
        self.serve(body=False)

    def do_GET(self):
        self.serve(body=True)

    def serve(self, body):
        relative = self.path.split("?", 1)[0].lstrip("/")
        path = os.path.realpath(os.path.join(self.server.folder, relative))
        if not path.startswith(self.server.folder + os.sep) or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as file:
            stat = os.fstat(file.fileno())
            size = stat.st_size
            tag = '"%x-%x"' % (stat.st_mtime_ns, size)
            modified = email.utils.formatdate(stat.st_mtime, usegmt=True)
            start, end = 0, size
            status = 200
            wanted = RANGE.match(self.headers.get("Range", "").strip())
            # A range of a file that has changed since the client's copy is no use to it.
            if self.headers.get("If-Range", tag) not in (tag, modified):
                wanted = None
            if wanted and (wanted.group(1) or wanted.group(2)):
                first, last = wanted.group(1), wanted.group(2)
                if first:
                    start = int(first)
                    end = min(size, int(last) + 1) if last else size
                else:
                    start = max(0, size - int(last))
                if start >= size or start >= end:
                    self.send_response(416)
                    self.send_header("Content-Range", "bytes */%d" % size)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                status = 206
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("ETag", tag)
            self.send_header("Last-Modified", modified)
            self.send_header("Content-Length", str(end - start))
            if status == 206:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size))
            self.end_headers()
            if body:
                self.send_body(file, start, end)

    def send_body(self, file, start, end):
        self.wfile.flush()
        sent = 0
        try:
            while start + sent < end:
                n = os.sendfile(self.connection.fileno(), file.fileno(), start + sent,
                                min(CHUNK, end - start - sent))
                if n == 0:
                    break
                sent += n
        except OSError:
            self.close_connection = True  # the client stopped reading: what it got counts
        finally:
            with Handler.count_lock, open(self.server.count_file, "a") as counts:
                counts.write("%d\n" % sent)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: serve.py <folder> <count file>")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.folder = os.path.realpath(sys.argv[1])
    server.count_file = sys.argv[2]
    print("port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

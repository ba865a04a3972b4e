#!/usr/bin/python3
"""A small web server for the transfer queue's web-download tests.

Serves the files of a folder on 127.0.0.1 at the given port, with byte ranges ("Range: bytes=N-":
206 with the tail, 416 at or past the end) unless the file name starts with "norange-", in which
case the whole file comes with 200 whatever was asked. A file whose name starts with "cut-" is cut
when asked from its start: 200 with the whole length announced, half of it sent, and the
connection closed. Every request line and its Range header are appended to requests.log in the
folder. Prints "ready" once listening.
"""
import http.server
import os
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        folder = self.server.folder
        with open(os.path.join(folder, "requests.log"), "a") as log:
            log.write("%s %s\n" % (self.path, self.headers.get("Range", "-")))
        name = self.path.lstrip("/")
        path = os.path.join(folder, name)
        if "/" in name or not name or not os.path.isfile(path):
            body = b"<html>not here</html>"
            self.send_response(404)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        with open(path, "rb") as f:
            data = f.read()
        wanted = self.headers.get("Range")
        start = int(wanted[6:].split("-")[0] or 0) if wanted and wanted.startswith("bytes=") else 0
        if name.startswith("cut-") and start == 0:
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        if wanted and wanted.startswith("bytes=") and not name.startswith("norange-"):
            start = int(wanted[6:].split("-")[0] or 0)
            if start >= len(data):
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % len(data))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            part = data[start:]
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
            self.send_header("Content-Length", str(len(part)))
            self.end_headers()
            self.wfile.write(part)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


def main():
    folder, port = sys.argv[1], int(sys.argv[2])
    server = http.server.HTTPServer(("127.0.0.1", port), Handler)
    server.folder = folder
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

"""A small web site on loopback for the browser's tests: web_peer.py PORT LOG. Every request path
is appended to LOG. Pages: /page/N (title "Page N", links to the next page, a file, an image, a
frame and a script, and a touch icon), /files/NAME (its name as content; with ?bytes=N, N bytes
of its name and a line break over and over), /redirect (302 to
/page/1), /slow (answers after 30 s), /fail (drops the connection), /search (echoes the query as
its title), /icon.png and /apple-touch-icon.png (a picture), /huge (endless), /count (how often it
was asked, in a page) and /typed?type=T&body=B
(the body B, percent-decoded to bytes, sent with the Content-Type T exactly as given, line breaks
and all; no Content-Type at all without T). With PORT 0 it takes a free port and prints it."""
import http.server, itertools, socketserver, struct, sys, time, urllib.parse, zlib

port, record = int(sys.argv[1]), sys.argv[2]


def png():
    chunk = lambda kind, data: (struct.pack(">I", len(data)) + kind + data
                                + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    rows = b"".join(b"\0" + bytes([255, 0, 0, 255, 200, 200, 200, 255]) * 2 for _ in range(4))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def page(n):
    return (f"<html><head><title>Page {n}</title><link rel='apple-touch-icon' href='/icon.png'>"
            f"<script src='/script.js'></script></head><body><a href='/page/{n + 1}'>next</a>"
            f"<a href='/files/f{n}.zip'>file</a><img src='/img.png'><iframe src='/frame'></iframe>"
            "</body></html>")


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send(self, body, kind="text/html", status=200):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(record, "a") as f:
            f.write(self.path + "\n")
        p = self.path.split("?")[0]
        if p.startswith("/page/"):
            self.send(page(int(p[6:] or 0)).encode())
        elif p.startswith("/files/"):
            query = dict(urllib.parse.parse_qsl(self.path.partition("?")[2]))
            body = p[7:].encode()
            if "bytes" in query:
                size = int(query["bytes"])
                body = ((body + b"\n") * (size // (len(body) + 1) + 1))[:size]
            self.send(body, "application/octet-stream")
        elif p == "/notes.txt":
            self.send(b"line one\n  <b>two</b> & three\r\n\nend", "text/plain; charset=utf-8")
        elif p == "/redirect":
            self.send_response(302)
            self.send_header("Location", "/page/1")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif p == "/slow":
            time.sleep(30)
        elif p == "/fail":
            self.connection.close()
        elif p == "/search":
            self.send(f"<title>{self.path.split('?', 1)[1]}</title>".encode())
        elif p in ("/icon.png", "/apple-touch-icon.png", "/img.png"):
            self.send(png(), "image/png")
        elif p == "/count":
            self.send(f"<title>Count</title><p id=count>{next(asked)}</p>".encode())
        elif p == "/typed":
            query = dict(urllib.parse.parse_qsl(self.path.split("?", 1)[1], encoding="latin-1"))
            body = query.get("body", "").encode("latin-1")
            self.send_response(200)
            if "type" in query:
                self.send_header("Content-Type", query["type"])
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif p == "/huge":
            self.send_response(200)
            self.end_headers()
            while True:
                self.wfile.write(b"x" * 65536)
        else:
            self.send(b"<title>Other</title>")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


asked = itertools.count(1)
server = Server(("127.0.0.1", port), Handler)
if port == 0:
    print(server.server_address[1], flush=True)
server.serve_forever()

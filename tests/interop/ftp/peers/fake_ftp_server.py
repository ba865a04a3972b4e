#!/usr/bin/python3
"""A scripted FTP server for dialogues no real server produces.

Usage: fake_ftp_server.py PORT SCRIPT.json

The script (JSON) says:
  greeting     raw bytes sent on connect (escapes as in JSON); omitted: "220 fake ready\\r\\n"
  silent       true: accept, never greet, keep the connection open
  split        list of pieces the greeting is sent in, with a pause between them
  replies      {"VERB": [reply, reply, ...]}: the n-th use of the verb gets the n-th reply (the
               last one repeats). A reply "__close__" closes the connection instead,
               "__reset__" resets it, "__none__" sends nothing,
               "__stall__" stops reading for 2 s, then answers 200.
Every command received is printed on standard output, one line each, as received (a line of
1000 characters or more as "LONG <length> <last 8 characters>").
  default      reply to any verb not listed; omitted: "200 ok\\r\\n"
"""
import json
import struct
import socket
import sys
import threading
import time

DEFAULTS = {
    "USER": ["331 password please\r\n"],
    "PASS": ["230 logged in\r\n"],
    "SYST": ["215 UNIX Type: L8\r\n"],
    "FEAT": ["211-Features:\r\n SIZE\r\n211 End\r\n"],
    "PWD": ['257 "/home/fake" is the current directory\r\n'],
    "AUTH": ["504 no TLS here\r\n"],
    "CWD": ["250 CWD command successful\r\n"],
}


def main():
    port = int(sys.argv[1])
    with open(sys.argv[2]) as f:
        script = json.load(f)
    replies = dict(DEFAULTS)
    replies.update(script.get("replies", {}))
    default = script.get("default", "200 ok\r\n")
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(5)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_safely, args=(conn, script, replies, default),
                         daemon=True).start()


def serve_safely(conn, script, replies, default):
    # A client that went away (the test's port probe does) ends only its own connection.
    try:
        serve(conn, script, replies, default)
    except OSError:
        conn.close()


def serve(conn, script, replies, default):
    used = {}
    if script.get("silent"):
        while conn.recv(4096):
            pass
        conn.close()
        return
    pieces = script.get("split") or [script.get("greeting", "220 fake ready\r\n")]
    for i, piece in enumerate(pieces):
        if i:
            time.sleep(0.2)
        conn.sendall(piece.encode("latin-1"))
    # Only what came since the last look is searched for the line's end: a line of megabytes
    # arrives in thousands of pieces, and searching it whole each time takes minutes on a busy
    # machine.
    buffer = bytearray()
    while True:
        data = conn.recv(65536)
        if not data:
            break
        scan = len(buffer)
        buffer += data
        while True:
            end = buffer.find(b"\n", scan)
            if end < 0:
                break
            line = bytes(buffer[:end])
            del buffer[:end + 1]
            scan = 0
            text = line.decode("latin-1").rstrip("\r")
            print(text if len(text) < 1000 else "LONG %d %s" % (len(text), text[-8:]),
                  flush=True)
            verb = text.split(" ", 1)[0].upper()
            if verb == "QUIT":
                conn.sendall(b"221 bye\r\n")
                conn.close()
                return
            choices = replies.get(verb)
            if choices:
                n = used.get(verb, 0)
                used[verb] = n + 1
                reply = choices[min(n, len(choices) - 1)]
            else:
                reply = default
            if reply == "__none__":
                continue
            if reply == "__stall__":
                time.sleep(2)  # reads nothing meanwhile: the client's writes back up
                conn.sendall(b"200 awake\r\n")
                continue
            if reply == "__close__":
                conn.close()
                return
            if reply == "__reset__":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
                return
            conn.sendall(reply.encode("latin-1"))
    conn.close()


if __name__ == "__main__":
    main()

"""A scripted proxy on loopback: fake_proxy.py PORT RECORD SCRIPT [NT_HASH_HEX]. SCRIPT holds the
connections, one after another, separated by "||"; each is a "|"-separated list of steps (Python
string escapes allowed): H read a request header and record it, Rn read n bytes and record them
in hex, Stext send text, Xhex send bytes, N answer 407 with an NTLM challenge, V check the NTLMv2
TYPE3 request and answer 200 or 403, Tport relay both ways to 127.0.0.1:port, E record what
arrives next (up to 64 bytes)."""
import base64, codecs, hashlib, hmac, socket, sys, threading

port, record, script = int(sys.argv[1]), sys.argv[2], sys.argv[3]
nt_hash = bytes.fromhex(sys.argv[4]) if len(sys.argv) > 4 else b""
CHALLENGE = bytes.fromhex("0123456789abcdef")
AV = bytes.fromhex("02000c0044006f006d00610069006e0001000c00530065007200760065007200" "00000000")


def log(text):
    with open(record, "a") as f:
        f.write(text + "\n")


def header(c):
    data = b""
    while b"\r\n\r\n" not in data:
        b = c.recv(1)
        if not b:
            break
        data += b
    log(data.decode("latin-1"))
    return data.decode("latin-1")


def ntlm_ok(req):
    msg = base64.b64decode(req.split("NTLM ")[1].split("\r\n")[0])
    field = lambda at: msg[int.from_bytes(msg[at + 4:at + 8], "little"):][:int.from_bytes(msg[at:at + 2], "little")]
    nt, dom, user = field(20), field(28), field(36)
    key = hmac.new(nt_hash, user.decode("utf-16le").upper().encode("utf-16le") + dom, hashlib.md5).digest()
    return hmac.new(key, CHALLENGE + nt[16:], hashlib.md5).digest() == nt[:16] and AV in nt


def relay(a, b):
    try:
        while True:
            d = a.recv(65536)
            if not d:
                break
            b.sendall(d)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", port))
srv.listen(4)
log("READY")
for conn in script.split("||"):
    c, _ = srv.accept()
    c.settimeout(10)
    for step in conn.split("|"):
        op, arg = step[:1], codecs.decode(step[1:], "unicode_escape").encode("latin-1")
        if op == "H":
            req = header(c)
        elif op == "R":
            n, got = int(arg), b""
            while len(got) < n and (d := c.recv(n - len(got))):
                got += d
            log(got.hex())
        elif op == "S":
            c.sendall(arg)
        elif op == "X":
            c.sendall(bytes.fromhex(arg.decode()))
        elif op == "N":
            t2 = b"NTLMSSP\0\2\0\0\0\0\0\0\0\0\0\0\0" + (0x00888201).to_bytes(4, "little") + CHALLENGE
            t2 += b"\0" * 8 + len(AV).to_bytes(2, "little") * 2 + (48).to_bytes(4, "little") + AV
            c.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM "
                      + base64.b64encode(t2) + b"\r\nContent-Length: 4\r\n\r\nnope")
        elif op == "V":
            c.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n" if ntlm_ok(req)
                      else b"HTTP/1.1 403 Forbidden\r\n\r\n")
        elif op == "E":
            c.settimeout(2)
            try:
                log("REST " + c.recv(64).decode("latin-1"))
            except OSError:
                log("REST ")
        elif op == "T":
            t = socket.create_connection(("127.0.0.1", int(arg)))
            threading.Thread(target=relay, args=(t, c), daemon=True).start()
            relay(c, t)
    c.close()

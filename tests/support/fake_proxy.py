"""A scripted proxy on loopback: fake_proxy.py PORT RECORD SCRIPT [NT_HASH_HEX]. SCRIPT holds the
connections, one after another, separated by "||"; each is a "|"-separated list of steps (Python
string escapes allowed): H read a request header and record it, Rn read n bytes and record them
in hex, Stext send text, Xhex send bytes, N answer 407 with an NTLM challenge, V check the NTLMv2
TYPE3 request and answer 200 or 403, Tport relay both ways to 127.0.0.1:port, E record what
arrives next (up to 64 bytes)."""
import base64, codecs, hashlib, hmac, socket, sys, threading

port, record, script, nt_hash = int(sys.argv[1]), sys.argv[2], sys.argv[3], bytes.fromhex(sys.argv[4])
AV = bytes.fromhex("02000c0044006f006d00610069006e0001000c0053006500720076006500720000000000")
TYPE2 = (b"NTLMSSP\0\2\0\0\0" + bytes(8) + (0x00888201).to_bytes(4, "little") + bytes.fromhex("0123456789abcdef")
         + bytes(8) + bytes([len(AV), 0, len(AV), 0, 48, 0, 0, 0]) + AV)
log = lambda text: open(record, "a").write(text + "\n")


def header(c):
    data = b""
    while b"\r\n\r\n" not in data and (b := c.recv(1)):
        data += b
    log(data.decode("latin-1"))
    return data.decode("latin-1")


def ntlm_ok(req):
    m = base64.b64decode(req.split("NTLM ")[1].split("\r\n")[0])
    field = lambda at: m[int.from_bytes(m[at + 4:at + 8], "little"):][:int.from_bytes(m[at:at + 2], "little")]
    nt, who = field(20), field(36).decode("utf-16le").upper().encode("utf-16le") + field(28)
    key = hmac.new(nt_hash, who, hashlib.md5).digest()
    return hmac.new(key, TYPE2[24:32] + nt[16:], hashlib.md5).digest() == nt[:16] and AV in nt


def relay(a, b):
    try:
        while d := a.recv(65536):
            b.sendall(d)
        b.shutdown(socket.SHUT_WR)
    except OSError:
        pass


srv = socket.create_server(("127.0.0.1", port))
log("READY")
for conn in script.split("||"):
    c, _ = srv.accept()
    c.settimeout(10)
    for step in conn.split("|"):
        op, arg = step[:1], codecs.decode(step[1:], "unicode_escape").encode("latin-1")
        if op == "H":
            req = header(c)
        elif op == "R":
            got = b""
            while len(got) < int(arg) and (d := c.recv(int(arg) - len(got))):
                got += d
            log(got.hex())
        elif op in "SX":
            c.sendall(arg if op == "S" else bytes.fromhex(arg.decode()))
        elif op == "N":
            c.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM "
                      + base64.b64encode(TYPE2) + b"\r\nContent-Length: 4\r\n\r\nnope")
        elif op == "V":
            c.sendall(b"HTTP/1.1 " + (b"200 Connection established" if ntlm_ok(req) else b"403 Forbidden") + b"\r\n\r\n")
        elif op == "E":
            c.settimeout(2)
            log("REST " + c.recv(64).decode("latin-1"))
        elif op == "T":
            t = socket.create_connection(("127.0.0.1", int(arg)))
            threading.Thread(target=relay, args=(t, c), daemon=True).start()
            relay(c, t)
    c.close()

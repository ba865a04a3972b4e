"""Recomputes an SSH exchange hash and the six session keys (RFC 4253 sections 7.2 and 8, RFC 4419,
and the elliptic-curve exchanges of RFC 5656 and RFC 8731, whose values qc and qs are strings)
from the values a test hands over, independently of the library. Arguments are name=hex pairs;
prints H and keys A to F in hex, one a line."""
import hashlib
import struct
import sys

v = dict(a.split("=", 1) for a in sys.argv[1:])
b = {k: bytes.fromhex(x) for k, x in v.items() if k not in ("hash", "pbits", "gexmin", "gexmax", "lens")}


def string(x):
    return struct.pack(">I", len(x)) + x


def mpint(x):
    n = int.from_bytes(x, "big")
    if n == 0:
        return string(b"")
    body = n.to_bytes((n.bit_length() + 8) // 8, "big")
    return string(body)


h = hashlib.new(v["hash"])
for k in ("vc", "vs", "ic", "is", "ks"):
    h.update(string(b[k]))
if "p" in b:
    # The group-exchange request as sent: min, n and max (message 34), or n alone (message 30).
    asked = [int(v[k]) for k in ("gexmin", "pbits", "gexmax") if k in v]
    h.update(b"".join(struct.pack(">I", x) for x in asked) + mpint(b["p"]) + mpint(b["g"]))
if "qc" in b:
    h.update(string(b["qc"]) + string(b["qs"]) + mpint(b["k"]))
else:
    h.update(mpint(b["e"]) + mpint(b["f"]) + mpint(b["k"]))
H = h.digest()
print(H.hex())
sid = b.get("sid", H)
for letter, n in zip("ABCDEF", (int(x) for x in v["lens"].split(","))):
    key = hashlib.new(v["hash"], mpint(b["k"]) + H + letter.encode() + sid).digest()
    while len(key) < n:
        key += hashlib.new(v["hash"], mpint(b["k"]) + H + key).digest()
    print(key[:n].hex())

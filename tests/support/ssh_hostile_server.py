"""A scripted SSH server that serves one file over SFTP and, when asked, turns hostile part way
through: it breaks the order of a key exchange, floods the client with messages it may not send or
with more data than the client's window, and records what the client did about it.

It speaks the modern protocol only: curve25519-sha256 or ecdh-sha2-nistp256/384/521, an Ed25519,
ECDSA or RSA (rsa-sha2-256) host key, chacha20-poly1305@openssh.com or aes128/256-gcm@openssh.com,
OpenSSH's strict key exchange, password login, a session channel with the "sftp" subsystem
(version 3: enough for OpenSSH's sftp to list and fetch). Everything is done with Debian's
python3-cryptography. It listens on 127.0.0.1:PORT and serves one connection after another until
it is stopped; after each connection that got past the identification lines it prints one line
"REPORT key=value ..." on standard output.

Acts (--act), run once when the download has passed --at bytes (or at the moment named):
  none                 behave
  stray-newkeys        NEWKEYS with no key exchange at all
  kexinit-newkeys      start a re-key, read the client's KEXINIT and key-exchange INIT, then send
                       NEWKEYS with no reply; keep serving under the old keys with their nonces
                       started again, as a client that took the NEWKEYS would expect
  reply-twice          a re-key whose reply is sent twice
  first-kex-newkeys    in the first exchange: NEWKEYS in place of the reply
  first-kex-disconnect in the first exchange: DISCONNECT in place of the reply, with a reason of
                       two lines, then close
  newkeys-twice        in the first exchange: two NEWKEYS
  userauth-flood       --count USERAUTH_SUCCESS messages carrying --size bytes each
  rekey-data-flood     start a re-key and never finish it; send --size bytes of channel data
                       whatever the client's window
  window0-flood        open the channel with a window of 0 for the client; answer the subsystem
                       request with --size bytes of channel data first
  rekey-global-flood   start a re-key, send --count global requests that want a reply, then
                       finish the exchange
  debug-flood          --count DEBUG messages
  global-flood         --count global requests that want a reply
--rekeys N runs N proper re-keys (started by this server) before the act.
"""
import argparse
import hashlib
import os
import socket
import struct
import threading
import time

from cryptography.exceptions import InvalidSignature, InvalidTag
from cryptography.hazmat.primitives import hashes, poly1305, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, utils, x25519
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

IDENT = b"SSH-2.0-ScriptedServer_1.0"
MAX_PACKET = 256 * 1024


def u32(v):
    return struct.pack(">I", v)


def u64(v):
    return struct.pack(">Q", v)


def string(b):
    if isinstance(b, str):
        b = b.encode()
    return u32(len(b)) + b


def mpint(n):
    if n == 0:
        return string(b"")
    return string(n.to_bytes((n.bit_length() + 8) // 8, "big"))


class Closed(Exception):
    pass


class Reader:
    def __init__(self, data, pos=0):
        self.d, self.p = data, pos

    def byte(self):
        if self.p >= len(self.d):
            raise ValueError("short")
        self.p += 1
        return self.d[self.p - 1]

    def u32(self):
        if self.p + 4 > len(self.d):
            raise ValueError("short")
        self.p += 4
        return struct.unpack(">I", self.d[self.p - 4:self.p])[0]

    def u64(self):
        if self.p + 8 > len(self.d):
            raise ValueError("short")
        self.p += 8
        return struct.unpack(">Q", self.d[self.p - 8:self.p])[0]

    def string(self):
        n = self.u32()
        if self.p + n > len(self.d):
            raise ValueError("short")
        self.p += n
        return self.d[self.p - n:self.p]

    def names(self):
        return [x for x in self.string().decode().split(",") if x]

    def boolean(self):
        return self.byte() != 0


# ---- Packet protection of one direction.

def chacha(key, seq, counter, data):
    # OpenSSH's ChaCha20 takes a 64-bit block counter and a 64-bit nonce (the sequence number).
    nonce = struct.pack("<Q", counter) + struct.pack(">Q", seq)
    return Cipher(algorithms.ChaCha20(key, nonce), mode=None).encryptor().update(data)


class Direction:
    def __init__(self):
        self.kind = "none"
        self.seq = 0

    def install(self, cipher, key, iv):
        self.kind = cipher
        if cipher.startswith("chacha20"):
            self.main, self.header = key[:32], key[32:64]
        else:
            self.aead = AESGCM(key)
            self.fixed = iv[:4]
            self.counter = int.from_bytes(iv[4:12], "big")
            self.first_counter = self.counter

    def block(self):
        return 16 if self.kind.startswith("aes") else 8

    def frame(self, payload):
        aad = 0 if self.kind == "none" else 4
        bs = self.block()
        pad = bs - (len(payload) + 5 - aad) % bs
        if pad < 4:
            pad += bs
        body = bytes([pad]) + payload + os.urandom(pad)
        return len(body), body

    def seal(self, payload):
        n, body = self.frame(payload)
        seq = self.seq
        self.seq = (self.seq + 1) & 0xFFFFFFFF
        if self.kind == "none":
            return u32(n) + body
        if self.kind.startswith("chacha20"):
            length = chacha(self.header, seq, 0, u32(n))
            polykey = chacha(self.main, seq, 0, bytes(32))
            enc = chacha(self.main, seq, 1, body)
            return length + enc + poly1305.Poly1305.generate_tag(polykey, length + enc)
        nonce = self.fixed + self.counter.to_bytes(8, "big")
        self.counter = (self.counter + 1) & 0xFFFFFFFFFFFFFFFF
        return u32(n) + self.aead.encrypt(nonce, body, u32(n))

    def open(self, recv):
        seq = self.seq
        self.seq = (self.seq + 1) & 0xFFFFFFFF
        if self.kind == "none":
            first = recv(4)
            n = struct.unpack(">I", first)[0]
            if n > MAX_PACKET or n < 12:
                raise Closed("bad packet length %d" % n)
            body = recv(n)
        elif self.kind.startswith("chacha20"):
            enc_len = recv(4)
            n = struct.unpack(">I", chacha(self.header, seq, 0, enc_len))[0]
            if n > MAX_PACKET or n < 8:
                raise Closed("bad packet length %d" % n)
            enc = recv(n)
            tag = recv(16)
            polykey = chacha(self.main, seq, 0, bytes(32))
            try:
                poly1305.Poly1305.verify_tag(polykey, enc_len + enc, tag)
            except InvalidSignature:
                raise Closed("bad tag")
            body = chacha(self.main, seq, 1, enc)
        else:
            first = recv(4)
            n = struct.unpack(">I", first)[0]
            if n > MAX_PACKET or n < 16:
                raise Closed("bad packet length %d" % n)
            ct = recv(n + 16)
            nonce = self.fixed + self.counter.to_bytes(8, "big")
            self.counter = (self.counter + 1) & 0xFFFFFFFFFFFFFFFF
            try:
                body = self.aead.decrypt(nonce, ct, first)
            except InvalidTag:
                raise Closed("bad tag")
        pad = body[0]
        if pad + 1 > len(body):
            raise Closed("bad padding")
        return body[1:len(body) - pad]


# ---- Host keys and key exchanges.

class HostKey:
    def __init__(self, path):
        data = open(path, "rb").read()
        try:
            self.key = serialization.load_ssh_private_key(data, None)
        except ValueError:
            self.key = serialization.load_pem_private_key(data, None)
        k = self.key
        if isinstance(k, ed25519.Ed25519PrivateKey):
            raw = k.public_key().public_bytes(serialization.Encoding.Raw,
                                              serialization.PublicFormat.Raw)
            self.algs = ["ssh-ed25519"]
            self.blob = string("ssh-ed25519") + string(raw)
        elif isinstance(k, ec.EllipticCurvePrivateKey):
            self.curve = {256: "nistp256", 384: "nistp384", 521: "nistp521"}[k.curve.key_size]
            self.hash = {256: hashes.SHA256, 384: hashes.SHA384, 521: hashes.SHA512}[
                k.curve.key_size]
            point = k.public_key().public_bytes(serialization.Encoding.X962,
                                                serialization.PublicFormat.UncompressedPoint)
            self.algs = ["ecdsa-sha2-" + self.curve]
            self.blob = string(self.algs[0]) + string(self.curve) + string(point)
        else:
            pub = k.public_key().public_numbers()
            self.algs = ["rsa-sha2-256", "rsa-sha2-512"]
            self.blob = string("ssh-rsa") + mpint(pub.e) + mpint(pub.n)

    def sign(self, alg, data):
        k = self.key
        if alg == "ssh-ed25519":
            return string(alg) + string(k.sign(data))
        if alg.startswith("ecdsa"):
            r, s = utils.decode_dss_signature(k.sign(data, ec.ECDSA(self.hash())))
            return string(alg) + string(mpint(r) + mpint(s))
        h = hashes.SHA512() if alg == "rsa-sha2-512" else hashes.SHA256()
        return string(alg) + string(k.sign(data, padding.PKCS1v15(), h))


KEX = {
    "curve25519-sha256": hashlib.sha256,
    "curve25519-sha256@libssh.org": hashlib.sha256,
    "ecdh-sha2-nistp256": hashlib.sha256,
    "ecdh-sha2-nistp384": hashlib.sha384,
    "ecdh-sha2-nistp521": hashlib.sha512,
}
CURVES = {"ecdh-sha2-nistp256": ec.SECP256R1, "ecdh-sha2-nistp384": ec.SECP384R1,
          "ecdh-sha2-nistp521": ec.SECP521R1}


def kex_reply_values(kex, q_c):
    """Our ephemeral value and the shared secret K (an integer) for the client's value."""
    if kex.startswith("curve25519"):
        mine = x25519.X25519PrivateKey.generate()
        q_s = mine.public_key().public_bytes(serialization.Encoding.Raw,
                                             serialization.PublicFormat.Raw)
        shared = mine.exchange(x25519.X25519PublicKey.from_public_bytes(q_c))
        return q_s, int.from_bytes(shared, "big")
    curve = CURVES[kex]()
    mine = ec.generate_private_key(curve)
    q_s = mine.public_key().public_bytes(serialization.Encoding.X962,
                                         serialization.PublicFormat.UncompressedPoint)
    peer = ec.EllipticCurvePublicKey.from_encoded_point(curve, q_c)
    return q_s, int.from_bytes(mine.exchange(ec.ECDH(), peer), "big")


# ---- SFTP (version 3), one read-only file and the root folder.

PATTERN = bytes(range(251)) * 300


def file_bytes(offset, n):
    start = offset % 251
    out = b""
    while len(out) < n:
        take = min(n - len(out), len(PATTERN) - start)
        out += PATTERN[start:start + take]
        start = 0
    return out


class Connection:
    def __init__(self, sock, a, host_key, report):
        self.sock, self.a, self.hk, self.report = sock, a, host_key, report
        self.send_lock = threading.Lock()
        self.out, self.inn = Direction(), Direction()
        self.strict = False
        self.session_id = None
        self.backlog = []          # messages read by a helper thread, for the main loop
        self.sftp_in = b""
        self.client_channel = None
        self.client_window = 0
        self.client_maxpkt = 32768
        self.our_window = 2 * 1024 * 1024
        self.our_window_left = self.our_window
        self.sftp_on = False
        self.close_sent = False
        self.served = 0            # file bytes sent in READ replies
        self.act_done = False
        self.after_act = 0         # messages the client sent after the act
        self.rekeys_done = 0
        self.pending_kex = None    # the client's KEXINIT read while something else was awaited
        self.handles = {}
        self.next_handle = 0
        self.wbuf = []             # wire bytes waiting to go out in one send
        self.wbuf_bytes = 0

    # -- bytes

    def recv(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise Closed("connection closed")
            out += chunk
        return out

    def send(self, payload, batch=False):
        with self.send_lock:
            wire = self.out.seal(payload)
            self.wbuf.append(wire)
            self.wbuf_bytes += len(wire)
            if not batch or self.wbuf_bytes > 256 * 1024:
                self.flush_locked()

    def flush_locked(self):
        data = b"".join(self.wbuf)
        self.wbuf = []
        self.wbuf_bytes = 0
        try:
            self.sock.sendall(data)
        except OSError:
            raise Closed("client went away")

    def flush(self):
        with self.send_lock:
            self.flush_locked()

    def read(self):
        if self.backlog:
            return self.backlog.pop(0)
        payload = self.inn.open(self.recv)
        if not payload:
            raise Closed("empty payload")
        if self.act_done:
            self.after_act += 1
        return payload

    # -- key exchange

    def kexinit(self):
        kex = self.a.kex.split(",")
        if self.session_id is None and not self.a.no_strict:
            kex = kex + ["kex-strict-s-v00@openssh.com"]
        ciphers = ",".join(self.a.cipher.split(","))
        msg = bytes([20]) + os.urandom(16)
        for names in (",".join(kex), ",".join(self.hk.algs), ciphers, ciphers, "hmac-sha2-256",
                      "hmac-sha2-256", "none", "none", "", ""):
            msg += string(names)
        return msg + b"\0" + u32(0)

    def negotiate(self, theirs):
        r = Reader(theirs, 17)
        lists = [r.names() for _ in range(10)]
        if self.session_id is None:
            self.strict = "kex-strict-c-v00@openssh.com" in lists[0] and not self.a.no_strict

        def pick(client, server):
            for n in client:
                if n in server:
                    return n
            raise Closed("no common algorithm in %s / %s" % (client, server))
        kex = pick(lists[0], self.a.kex.split(","))
        hk = pick(lists[1], self.hk.algs)
        c_cs = pick(lists[2], self.a.cipher.split(","))
        c_sc = pick(lists[3], self.a.cipher.split(","))
        return kex, hk, c_cs, c_sc

    def read_kex(self, want):
        """Reads until a key-exchange message of the type wanted; everything else the client
        sends meanwhile goes to the backlog."""
        while True:
            m = self.inn.open(self.recv)
            if self.act_done:
                self.after_act += 1
            if m[0] == want:
                return m
            if m[0] in (2, 4):
                continue
            if m[0] in (20, 21) or 30 <= m[0] <= 49:
                raise Closed("client sent key-exchange message %d, wanted %d" % (m[0], want))
            self.backlog.append(m)

    def key_exchange(self, client_kexinit=None, act=None):
        """One exchange. `act` breaks it as the acts of the first exchange and the re-keys say."""
        ours = self.kexinit()
        self.send(ours)
        theirs = client_kexinit or self.read_kex(20)
        kex, hk_alg, c_cs, c_sc = self.negotiate(theirs)
        init = self.read_kex(30)
        q_c = Reader(init, 1).string()
        if act == "first-kex-disconnect":
            self.send(bytes([1]) + u32(3) + string("No key exchange for you\nFORGED LINE") +
                      string(""))
            raise Closed("sent disconnect")
        if act in ("first-kex-newkeys", "kexinit-newkeys"):
            self.send(bytes([21]))
            self.after_act = 0
            return "newkeys-sent"
        if act in ("rekey-data-flood", "rekey-global-flood"):
            return (kex, hk_alg, c_cs, c_sc, theirs, ours, q_c)
        self.finish_exchange(kex, hk_alg, c_cs, c_sc, theirs, ours, q_c, act)
        return "done"

    def finish_exchange(self, kex, hk_alg, c_cs, c_sc, theirs, ours, q_c, act=None):
        hashf = KEX[kex]
        q_s, k = kex_reply_values(kex, q_c)
        h = hashf(string(self.client_ident) + string(IDENT) + string(theirs) + string(ours) +
                  string(self.hk.blob) + string(q_c) + string(q_s) + mpint(k)).digest()
        if self.session_id is None:
            self.session_id = h
        reply = bytes([31]) + string(self.hk.blob) + string(q_s) + string(self.hk.sign(hk_alg, h))
        self.send(reply)
        if act == "reply-twice":
            self.send(reply)
        kk = mpint(k)

        def derive(letter, n):
            key = hashf(kk + h + letter + self.session_id).digest()
            while len(key) < n:
                key += hashf(kk + h + key).digest()
            return key[:n]

        def sizes(c):
            return (64, 0) if c.startswith("chacha20") else (32 if "256" in c else 16, 12)
        kl_cs, il_cs = sizes(c_cs)
        kl_sc, il_sc = sizes(c_sc)
        self.send(bytes([21]))
        self.out.install(c_sc, derive(b"D", kl_sc), derive(b"B", il_sc))
        if self.strict:
            self.out.seq = 0
        if act == "newkeys-twice":
            self.send(bytes([21]))
        self.read_kex(21)
        if act in ("reply-twice", "newkeys-twice"):
            # What the client sends from here on it sent after it had the message out of place.
            self.after_act = 0
        self.inn.install(c_cs, derive(b"C", kl_cs), derive(b"A", il_cs))
        if self.strict:
            self.inn.seq = 0
        self.report["kex"] = kex
        self.report["cipher"] = c_sc

    def rekey(self, act=None):
        r = self.key_exchange(act=act)
        self.rekeys_done += 1
        return r

    # -- the session

    def run(self):
        self.sock.sendall(IDENT + b"\r\n")
        line = b""
        while not line.endswith(b"\n"):
            c = self.sock.recv(1)
            if not c:
                raise Closed("no identification")
            line += c
            if len(line) > 255:
                raise Closed("identification too long")
        self.client_ident = line.rstrip(b"\r\n")
        self.report["client"] = self.client_ident.decode(errors="replace").replace(" ", "_")
        act = self.a.act
        first_act = act if act in ("first-kex-newkeys", "first-kex-disconnect",
                                   "newkeys-twice") else None
        if first_act:
            self.act_done = True
        if self.key_exchange(act=first_act) == "newkeys-sent":
            # The client has no keys of ours: whatever it does next is read in the clear.
            self.serve_plain_after_stray()
            return
        self.loop()

    def serve_plain_after_stray(self):
        while True:
            self.read()

    def loop(self):
        while True:
            self.handle(self.read())
            self.process_sftp()

    def handle(self, m):
        t = m[0]
        r = Reader(m, 1)
        if t in (2, 3, 4, 81, 82):
            return
        if t == 1:
            raise Closed("client disconnected")
        if t == 20:
            self.key_exchange(client_kexinit=m)
            return
        if t == 5:
            self.send(bytes([6]) + string(r.string()))
            return
        if t == 50:
            user = r.string()
            r.string()  # the service
            method = r.string()
            if method == b"password":
                r.boolean()
                pw = r.string()
                if user.decode() == self.a.user and pw.decode() == self.a.password:
                    self.send(bytes([52]))
                    self.report["login"] = 1
                    return
            self.send(bytes([51]) + string("password") + b"\0")
            return
        if t == 80:
            r.string()
            if r.boolean():
                self.send(bytes([82]))
            return
        if t == 90:
            kind = r.string()
            sender, window, maxpkt = r.u32(), r.u32(), r.u32()
            if kind != b"session" or self.client_channel is not None:
                self.send(bytes([92]) + u32(sender) + u32(1) + string("no") + string(""))
                return
            self.client_channel, self.client_window, self.client_maxpkt = sender, window, maxpkt
            offered = 0 if self.a.act == "window0-flood" else self.our_window
            self.send(bytes([91]) + u32(sender) + u32(0) + u32(offered) + u32(32768))
            return
        if t == 98:
            r.u32()
            kind = r.string()
            want = r.boolean()
            ok = False
            if kind == b"subsystem" and r.string() == b"sftp":
                ok = True
                self.sftp_on = True
                if self.a.act == "window0-flood":
                    self.act_done = True
                    self.flood_data(self.a.size, respect_window=False)
            if want:
                self.send(bytes([99 if ok else 100]) + u32(self.client_channel))
            return
        if t == 93:
            r.u32()
            self.client_window += r.u32()
            return
        if t == 94:
            r.u32()
            data = r.string()
            self.sftp_in += data
            self.our_window_left -= len(data)
            if self.our_window_left < self.our_window // 2:
                self.send(bytes([93]) + u32(self.client_channel) +
                          u32(self.our_window - self.our_window_left))
                self.our_window_left = self.our_window
            return
        if t == 96:
            # The client has nothing more to ask: the subsystem ends and the channel with it.
            ch = u32(self.client_channel)
            self.send(bytes([98]) + ch + string("exit-status") + b"\0" + u32(0))
            self.send(bytes([96]) + ch)
            self.send(bytes([97]) + ch)
            self.close_sent = True
            return
        if t == 97:
            if not self.close_sent:
                self.send(bytes([97]) + u32(self.client_channel))
            raise Closed("channel closed")
        if t == 21 or 30 <= t <= 49:
            raise Closed("client sent key-exchange message %d outside an exchange" % t)

    # -- channel data to the client

    def channel_data(self, data, respect_window=True, batch=False):
        piece = min(self.client_maxpkt, 32768)
        for i in range(0, len(data), piece):
            chunk = data[i:i + piece]
            while respect_window and self.client_window < len(chunk):
                self.flush()
                # Requests that come meanwhile are taken now and served from the loop.
                self.handle(self.read())
            self.client_window -= len(chunk)
            self.send(bytes([94]) + u32(self.client_channel) + string(chunk), batch=batch)

    def flood_data(self, total, respect_window):
        sent = 0
        junk = b"\xee" * 32768
        while sent < total:
            n = min(32768, total - sent)
            self.channel_data(junk[:n], respect_window=respect_window, batch=True)
            sent += n
            self.report["flood_sent"] = sent
        self.flush()

    # -- SFTP

    def sftp_send(self, body):
        self.channel_data(u32(len(body)) + body)

    def status(self, rid, code, text=""):
        self.sftp_send(bytes([101]) + u32(rid) + u32(code) + string(text) + string(""))

    def attrs(self, path):
        now = int(time.time())
        if path in ("/", "."):
            return u32(0x0D) + u64(0) + u32(0o40755) + u32(now) + u32(now)
        if path.lstrip("/") == self.a.file_name:
            return u32(0x0D) + u64(self.a.file_size) + u32(0o100644) + u32(now) + u32(now)
        return None

    def process_sftp(self):
        while self.sftp_on and len(self.sftp_in) >= 4:
            n = struct.unpack(">I", self.sftp_in[:4])[0]
            if len(self.sftp_in) < 4 + n:
                return
            pkt, self.sftp_in = self.sftp_in[4:4 + n], self.sftp_in[4 + n:]
            self.sftp(pkt)

    def sftp(self, pkt):
        t = pkt[0]
        r = Reader(pkt, 1)
        if t == 1:
            self.sftp_send(bytes([2]) + u32(3))
            return
        rid = r.u32()
        if t == 16:
            path = r.string().decode(errors="replace")
            path = "/" if path in ("", ".", "/") else "/" + path.lstrip("/")
            self.sftp_send(bytes([104]) + u32(rid) + u32(1) + string(path) + string(path) +
                           u32(0))
        elif t in (17, 7):
            a = self.attrs(r.string().decode(errors="replace"))
            if a is None:
                self.status(rid, 2, "No such file")
            else:
                self.sftp_send(bytes([105]) + u32(rid) + a)
        elif t == 3:
            path = r.string().decode(errors="replace")
            if self.attrs(path) is None or path in ("/", "."):
                self.status(rid, 2, "No such file")
                return
            if r.u32() & 0x2:
                self.status(rid, 3, "Read-only")
                return
            h = b"f%d" % self.next_handle
            self.next_handle += 1
            self.handles[h] = "file"
            self.sftp_send(bytes([102]) + u32(rid) + string(h))
        elif t == 11:
            h = b"d%d" % self.next_handle
            self.next_handle += 1
            self.handles[h] = "dir"
            self.sftp_send(bytes([102]) + u32(rid) + string(h))
        elif t == 12:
            h = r.string()
            if self.handles.get(h) == "dir-read":
                self.status(rid, 1, "End of file")
                return
            if self.handles.get(h) != "dir":
                self.status(rid, 4, "Bad handle")
                return
            self.handles[h] = "dir-read"
            name = self.a.file_name
            long = "-rw-r--r--    1 0        0        %d Jan  1 00:00 %s" % (self.a.file_size, name)
            self.sftp_send(bytes([104]) + u32(rid) + u32(1) + string(name) + string(long) +
                           self.attrs(name))
        elif t == 8:
            h = r.string()
            if self.handles.get(h) != "file":
                self.status(rid, 4, "Bad handle")
                return
            self.sftp_send(bytes([105]) + u32(rid) + self.attrs(self.a.file_name))
        elif t == 5:
            h, off, n = r.string(), r.u64(), r.u32()
            if h not in self.handles:
                self.status(rid, 4, "Bad handle")
                return
            if self.handles[h] == "dir-read":
                self.status(rid, 1, "End of file")
                return
            if off >= self.a.file_size:
                self.status(rid, 1, "End of file")
                return
            n = min(n, 65536, self.a.file_size - off)
            self.sftp_send(bytes([103]) + u32(rid) + string(file_bytes(off, n)))
            self.served += n
            self.report["served"] = self.served
            self.maybe_act()
        elif t == 4:
            self.handles.pop(r.string(), None)
            self.status(rid, 0, "OK")
        else:
            self.status(rid, 8, "Unsupported")

    # -- the acts of the running session

    def maybe_act(self):
        if self.served < self.a.at or self.act_done:
            return
        if self.rekeys_done < self.a.rekeys:
            self.rekey()
            return
        act = self.a.act
        if act in ("none", "first-kex-newkeys", "newkeys-twice", "window0-flood"):
            return
        self.act_done = True
        self.flush()
        if act == "stray-newkeys":
            self.send(bytes([21]))
            self.after_act = 0
        elif act == "kexinit-newkeys":
            self.rekey(act)
            # A client that took that NEWKEYS put our old keys back in force with their
            # nonces from the start: serve it that way and count what it goes on asking.
            if self.out.kind.startswith("aes"):
                self.out.counter = self.out.first_counter
            if self.strict:
                self.out.seq = 0
        elif act == "reply-twice":
            self.rekey(act)
        elif act == "userauth-flood":
            junk = b"\x00" * self.a.size
            for i in range(self.a.count):
                self.send(bytes([52]) + junk, batch=True)
                self.report["flood_sent"] = i + 1
            self.flush()
        elif act == "rekey-data-flood":
            self.rekey(act)
            self.flood_data(self.a.size, respect_window=False)
            # The exchange is never finished: wait for the client to give up.
            while True:
                self.inn.open(self.recv)
                self.after_act += 1
        elif act == "rekey-global-flood":
            state = self.rekey(act)
            for i in range(self.a.count):
                self.send(bytes([80]) + string("flood@example.com") + b"\x01", batch=True)
                self.report["flood_sent"] = i + 1
            self.flush()
            self.finish_exchange(*state)
        elif act == "debug-flood":
            for i in range(self.a.count):
                self.send(bytes([4, 0]) + string("scripted debug message %d" % i) + string(""),
                          batch=True)
                self.report["flood_sent"] = i + 1
            self.flush()
        elif act == "global-flood":
            self.flood_with_replies(self.a.count)

    def flood_with_replies(self, count):
        """Global requests that want a reply, with a thread that reads the client's answers
        meanwhile (so that neither side blocks on a full socket)."""
        replies = [0]

        def drain():
            try:
                while replies[0] < count:
                    m = self.inn.open(self.recv)
                    self.after_act += 1
                    if m[0] == 82:
                        replies[0] += 1
                    elif m[0] not in (2, 4):
                        self.backlog.append(m)
            except (Closed, OSError, ValueError):
                pass

        th = threading.Thread(target=drain, daemon=True)
        th.start()
        try:
            for i in range(count):
                self.send(bytes([80]) + string("flood@example.com") + b"\x01", batch=True)
                self.report["flood_sent"] = i + 1
            self.flush()
        finally:
            th.join(120)
        self.report["replies"] = replies[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--host-key", required=True)
    ap.add_argument("--kex", default="curve25519-sha256")
    ap.add_argument("--cipher", default="chacha20-poly1305@openssh.com")
    ap.add_argument("--no-strict", action="store_true")
    ap.add_argument("--user", default="tester")
    ap.add_argument("--password", default="secret")
    ap.add_argument("--file-name", default="data.bin")
    ap.add_argument("--file-size", type=int, default=4 * 1024 * 1024)
    ap.add_argument("--act", default="none")
    ap.add_argument("--at", type=int, default=1024 * 1024)
    ap.add_argument("--rekeys", type=int, default=0)
    ap.add_argument("--count", type=int, default=1000)
    ap.add_argument("--size", type=int, default=32768)
    a = ap.parse_args()
    hk = HostKey(a.host_key)
    ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind(("127.0.0.1", a.port))
    ls.listen(4)
    print("LISTENING", flush=True)
    while True:
        sock, _ = ls.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        report = {}
        c = Connection(sock, a, hk, report)
        why = "ended"
        try:
            c.run()
        except Closed as e:
            why = str(e)
        except (OSError, ValueError) as e:
            why = "%s: %s" % (type(e).__name__, e)
        finally:
            sock.close()
        if "client" in report:
            report["after_act"] = c.after_act
            report["rekeys"] = c.rekeys_done
            report["end"] = why.replace(" ", "_")
            print("REPORT " + " ".join("%s=%s" % kv for kv in sorted(report.items())),
                  flush=True)


if __name__ == "__main__":
    main()

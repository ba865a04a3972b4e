#!/usr/bin/python3
"""A scripted FTP server with passive data connections, for transfers no real server produces
on demand.

Usage: scripted_transfer_server.py PORT SCRIPT.json ROOT

Files are served from and stored into ROOT (one flat folder). The script (JSON) may say:
  syst       the reply to SYST (default "215 UNIX Type: L8")
  listing    the bytes sent for LIST (escapes as in JSON, sent as Latin-1); default: ROOT as ls
  size       "refuse": SIZE gets "550 SIZE not allowed"; a number: SIZE always answers it
  files      {name: text}: served for SIZE and RETR instead of ROOT (any name, "../x" too)
  pwd        "long-line": PWD gets a reply line that never ends; "endless": a multi-line
             reply that never ends (each stops once the client has gone, or after 64 MiB);
             "follow": PWD names the folder the CWDs so far lead to (from "/"), where a folder
             named in `same` is its parent itself (a link "name -> ." that the server resolves)
  same       names of folders that are their parent (with "pwd": "follow")
  maxdepth   with "pwd": "follow": a CWD to a folder deeper than this gets "550 No such folder"
  retr       "normal" (data, close, 226), "reply-first" (226, then the data after a pause),
             "hold-open" (data and 226, the data connection held open until the client closes),
             "partial-426" (the first `partial` bytes, close, 426), "partial-226" (the same
             with a 226: a server that claims success for a cut transfer), "until-closed"
             (the file over and over until the client closes the data connection, at most
             64 MiB; the cut transfer gets no reply of its own, only the ABOR that follows),
             "close-control" (150, then the session is cut: see cutafter)
  partial    bytes sent before the 426 (default 1000)
  list       "normal" (the listing, close, 226), "partial-426" (the first `partial` bytes of
             the listing, close, 426), "426-first" (the same with the 426 sent before the data
             connection is closed), "close-control" (150, then the control connection is closed
             with the listing unsent)
  cutafter   with "retr": "close-control": the control connection is closed `cutafter` seconds
             after the 150 of RETR (default 0.5), the data connection with it
  modez      true: "MODE Z" is offered and accepted; stored data is inflated (a stream that does
             not inflate gets "451 Transfer aborted")
  stor       "normal" (store until the client closes, 226), "refuse-data" (the file is made,
             then "522 SSL connection failed: session reuse required" without reading: vsftpd
             refusing a data connection), "refuse-data-and-quit" (the same, and the session
             ends after the reply, as vsftpd ends it), "cut-426" (the first `partial` bytes are
             stored, the
             data connection is closed and "426 Failure reading network stream." follows); only
             the first "STOR" the server gets is served so, the later ones normally
  implicit   true: the control connection is TLS from its first byte (cert.pem and key.pem
             beside the script); "PBSZ" and "PROT" are accepted
  list       "refuse": LIST gets "522 Data connections must be encrypted."
  pbsz       "silent": PBSZ gets no reply; "refuse": PBSZ and PROT get "500 Unknown command."
  pasv       "dead": the passive reply names a port nothing listens on
Every command received is printed on standard output, one line each; each control connection
accepted prints "CONNECTED" first.
"""
import json
import os
import socket
import sys
import threading
import time
import zlib


def main():
    port = int(sys.argv[1])
    with open(sys.argv[2]) as f:
        script = json.load(f)
    root = sys.argv[3]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(5)
    tls = None
    if script.get("implicit"):
        import ssl
        here = os.path.dirname(os.path.abspath(sys.argv[2]))
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(os.path.join(here, "cert.pem"), os.path.join(here, "key.pem"))
    while True:
        conn, _ = listener.accept()
        print("CONNECTED", flush=True)
        if tls:
            try:
                conn = tls.wrap_socket(conn, server_side=True)
            except OSError:
                conn.close()
                continue
        threading.Thread(target=serve, args=(conn, script, root), daemon=True).start()


def ls_line(root, name):
    st = os.stat(os.path.join(root, name))
    stamp = time.strftime("%b %d %H:%M", time.localtime(st.st_mtime))
    return "-rw-r--r--   1 ftp      ftp      %10d %s %s\r\n" % (st.st_size, stamp, name)


def flood(conn, mode):
    """A reply that never ends, until the client goes away (or 64 MiB have been sent)."""
    line = b"257-" + b"x" * 1000 + b"\r\n" if mode == "endless" else b"x" * 65536
    if mode == "long-line":
        conn.sendall(b'257 "')
    try:
        for _ in range(1024 if mode == "long-line" else 65536):
            conn.sendall(line)
    except OSError:
        pass
    conn.close()


stor_seen = []  # the first STOR of the server's life, when the script fails it


def serve(conn, script, root):
    def send(text):
        conn.sendall(text.encode("latin-1"))

    data_listener = None
    rename_from = None
    rest = 0
    modez = False
    folder = []  # the folder the CWDs lead to ("pwd": "follow")
    send("220 scripted ready\r\n")
    buffer = b""
    while True:
        chunk = conn.recv(4096)
        if not chunk:
            break
        buffer += chunk
        while b"\n" in buffer:
            raw, buffer = buffer.split(b"\n", 1)
            line = raw.decode("latin-1").rstrip("\r")
            print(line, flush=True)
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb == "USER":
                send("331 password please\r\n")
            elif verb == "PASS":
                send("230 logged in\r\n")
            elif verb == "SYST":
                send(script.get("syst", "215 UNIX Type: L8") + "\r\n")
            elif verb == "FEAT":
                send("211-Features:\r\n SIZE\r\n REST STREAM\r\n%s211 End\r\n"
                     % (" MODE Z\r\n" if script.get("modez") else ""))
            elif verb == "PWD" and script.get("pwd") in ("long-line", "endless"):
                flood(conn, script["pwd"])
                return
            elif verb == "PWD" and script.get("pwd") == "follow":
                send('257 "/%s" is the current directory\r\n' % "/".join(folder))
            elif verb == "PWD":
                send('257 "/" is the current directory\r\n')
            elif verb == "CWD":
                went = [] if arg.startswith("/") else list(folder)
                for name in arg.split("/"):
                    if name == "..":
                        went = went[:-1]
                    elif name not in ("", ".") and name not in script.get("same", []):
                        went.append(name)
                if "maxdepth" in script and len(went) > script["maxdepth"]:
                    send("550 No such folder\r\n")
                    continue
                folder = went
                send(script.get("cwd", "250 CWD command successful") + "\r\n")
            elif verb == "TYPE":
                send("200 Type set\r\n")
            elif verb == "SIZE":
                path = os.path.join(root, arg)
                if isinstance(script.get("size"), int):
                    send("213 %d\r\n" % script["size"])
                elif script.get("size") == "refuse":
                    send("550 SIZE not allowed\r\n")
                elif arg in script.get("files", {}):
                    send("213 %d\r\n" % len(script["files"][arg]))
                elif not os.path.isfile(path):
                    send("550 SIZE not allowed\r\n")
                else:
                    send("213 %d\r\n" % os.path.getsize(path))
            elif verb == "REST":
                rest = int(arg)
                send("350 Restarting at %d\r\n" % rest)
            elif verb == "PASV" and script.get("pasv") == "dead":
                probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                probe.bind(("127.0.0.1", 0))
                p = probe.getsockname()[1]
                probe.close()
                send("227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (p >> 8, p & 255))
            elif verb == "PASV":
                if data_listener:
                    data_listener.close()
                data_listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                data_listener.bind(("127.0.0.1", 0))
                data_listener.listen(1)
                p = data_listener.getsockname()[1]
                send("227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (p >> 8, p & 255))
            elif verb == "LIST" and script.get("list") == "refuse":
                send("522 Data connections must be encrypted.\r\n")
            elif verb == "LIST":
                data, _ = data_listener.accept()
                send("150 Here comes the listing\r\n")
                listing = script.get("listing")
                if listing is None:
                    listing = "".join(ls_line(root, n) for n in sorted(os.listdir(root)))
                listing = listing.encode("latin-1")
                mode = script.get("list", "normal")
                if mode == "close-control":
                    data.close()
                    conn.close()
                    return
                if mode == "426-first":
                    data.sendall(listing[: script.get("partial", 1000)])
                    send("426 Connection closed; transfer aborted\r\n")
                    time.sleep(0.3)
                    data.close()
                elif mode == "partial-426":
                    data.sendall(listing[: script.get("partial", 1000)])
                    data.close()
                    time.sleep(0.2)
                    send("426 Connection closed; transfer aborted\r\n")
                else:
                    data.sendall(listing)
                    data.close()
                    # A slow server: the listing's end reaches the client well before its reply.
                    time.sleep(script.get("list226delay", 0))
                    send("226 Listing sent\r\n")
            elif verb == "RETR":
                data, _ = data_listener.accept()
                if arg in script.get("files", {}):
                    content = script["files"][arg].encode("latin-1")[rest:]
                else:
                    with open(os.path.join(root, arg), "rb") as f:
                        f.seek(rest)
                        content = f.read()
                rest = 0
                mode = script.get("retr", "normal")
                send("150 Opening data connection\r\n")
                if mode == "hold-open":
                    data.sendall(content)
                    send("226 Transfer complete\r\n")
                    data.settimeout(60)
                    try:
                        data.recv(1)  # until the client closes it
                    except OSError:
                        pass
                    data.close()
                elif mode == "reply-first":
                    send("226 Transfer complete\r\n")
                    time.sleep(0.3)
                    data.sendall(content)
                    data.close()
                elif mode == "until-closed":
                    try:
                        for _ in range(max(1, (64 << 20) // max(1, len(content)))):
                            data.sendall(content or b"x")
                    except OSError:
                        pass
                    data.close()
                elif mode == "close-control":
                    time.sleep(script.get("cutafter", 0.5))
                    data.close()
                    conn.close()
                    return
                elif mode in ("partial-426", "partial-226"):
                    data.sendall(content[: script.get("partial", 1000)])
                    data.close()
                    time.sleep(0.2)
                    send("426 Connection closed; transfer aborted\r\n" if mode == "partial-426"
                         else "226 Transfer complete\r\n")
                else:
                    # A slow start: the transfer is still running a while after it began.
                    time.sleep(script.get("retrdelay", 0))
                    data.sendall(content)
                    data.close()
                    send("226 Transfer complete\r\n")
            elif verb == "STOR" and not stor_seen and script.get("stor", "").startswith(
                    "refuse-data"):
                stor_seen.append(arg)
                data, _ = data_listener.accept()
                open(os.path.join(root, os.path.basename(arg)), "wb").close()
                send("150 Ok to send data.\r\n")
                data.close()
                send("522 SSL connection failed: session reuse required\r\n")
                if script["stor"] == "refuse-data-and-quit":
                    conn.close()
                    return
            elif verb == "STOR" and not stor_seen and script.get("stor") == "cut-426":
                stor_seen.append(arg)
                data, _ = data_listener.accept()
                send("150 Ok to send data.\r\n")
                want = script.get("partial", 1000)
                with open(os.path.join(root, os.path.basename(arg)), "wb") as f:
                    while want > 0:
                        got = data.recv(min(65536, want))
                        if not got:
                            break
                        f.write(got)
                        want -= len(got)
                data.close()
                send("426 Failure reading network stream.\r\n")
            elif verb == "STOR":
                data, _ = data_listener.accept()
                send("150 Ok to send data\r\n")
                inflater = zlib.decompressobj() if modez else None
                failed = False
                with open(os.path.join(root, arg), "r+b" if rest else "wb") as f:
                    f.seek(rest)
                    while True:
                        got = data.recv(65536)
                        if not got:
                            break
                        if inflater:
                            try:
                                got = inflater.decompress(got)
                            except zlib.error as e:
                                print("inflate error: %s" % e, flush=True)
                                failed = True
                                break
                        f.write(got)
                rest = 0
                data.close()
                send("451 Transfer aborted\r\n" if failed else "226 Transfer complete\r\n")
            elif verb == "PBSZ" and script.get("pbsz") == "silent":
                pass
            elif verb in ("PBSZ", "PROT") and script.get("pbsz") == "refuse":
                send("500 Unknown command.\r\n")
            elif verb in ("PBSZ", "PROT") and script.get("implicit"):
                send("200 %s set\r\n" % verb)
            elif verb == "DELE":
                path = os.path.join(root, os.path.basename(arg))
                if os.path.isfile(path):
                    os.remove(path)
                    send("250 Delete operation successful.\r\n")
                else:
                    send("550 Delete operation failed.\r\n")
            elif verb == "RNFR":
                rename_from = os.path.join(root, os.path.basename(arg))
                send("350 Ready for RNTO.\r\n" if os.path.exists(rename_from)
                     else "550 RNFR command failed.\r\n")
            elif verb == "RNTO":
                os.rename(rename_from, os.path.join(root, os.path.basename(arg)))
                send("250 Rename successful.\r\n")
            elif verb == "MKD":
                os.mkdir(os.path.join(root, os.path.basename(arg)))
                send('257 "%s" created\r\n' % arg)
            elif verb == "MODE":
                modez = arg.upper() == "Z" and script.get("modez")
                send("200 OK\r\n" if modez or arg.upper() == "S" else "504 no\r\n")
            elif verb == "ABOR":
                send("226 ABOR ok\r\n")
            elif verb == "QUIT":
                send("221 bye\r\n")
                conn.close()
                return
            else:
                send("502 Command not implemented\r\n")
    conn.close()


if __name__ == "__main__":
    main()

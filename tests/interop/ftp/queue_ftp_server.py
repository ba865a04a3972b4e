#!/usr/bin/python3
"""pyftpdlib on loopback for the transfer queue's tests.

Usage: queue_ftp_server.py PORT ROOT LOG [BYTES_PER_SECOND]

User joe / secret with full rights in ROOT. Every command line the server receives is appended to
LOG as "<session> <COMMAND> <argument>" (PASS arguments hidden), one session number per control
connection. With BYTES_PER_SECOND the data connections are throttled to that rate. With the
environment variable QUEUE_FTP_DROP_ON set to a file name, the first "RETR" of that name closes the
control connection instead of answering. With QUEUE_FTP_NO_SIZE set, "SIZE" is refused, as
servers that do not know it do. With QUEUE_FTP_CUT_FILE naming a file, a command line that file
holds ("SIZE note.txt", say) closes the control connection instead of answering, once: the file
goes then. QUEUE_FTP_ADDRESS is the loopback address to listen on
(127.0.0.1 when it is not set). QUEUE_FTP_PASSIVE="LISTEN:SHOWN" makes every passive data
connection listen on the port LISTEN while the replies to "PASV" and "EPSV" name the port SHOWN (a
relay's in front of LISTEN, so that the data goes through the relay as the commands do).
"""
import os
import itertools
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "peers"))

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer
from pyftpdlib_mends import ForgetsHandedConnector

SESSIONS = itertools.count(1)
DROP = {"name": os.environ.get("QUEUE_FTP_DROP_ON")}


def main():
    port, root, log = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    authorizer = DummyAuthorizer()
    authorizer.add_user("joe", "secret", root, perm="elradfmwMT")

    passive = os.environ.get("QUEUE_FTP_PASSIVE")
    listen, shown_port = (int(p) for p in passive.split(":")) if passive else (0, 0)

    class Handler(ForgetsHandedConnector, FTPHandler):
        def on_connect(self):
            self.session_number = next(SESSIONS)
            with open(log, "a") as f:
                f.write("%d CONNECT\n" % self.session_number)

        def pre_process_command(self, line, cmd, arg):
            with open(log, "a") as f:
                shown = "****" if cmd == "PASS" else (arg or "")
                f.write("%d %s %s\n" % (self.session_number, cmd, shown))
            if cmd == "SIZE" and os.environ.get("QUEUE_FTP_NO_SIZE"):
                self.respond("502 Command not implemented.")
                return None
            cut_file = os.environ.get("QUEUE_FTP_CUT_FILE")
            if cut_file and os.path.exists(cut_file):
                with open(cut_file) as f:
                    wanted = f.read().strip()
                if wanted == ("%s %s" % (cmd, arg or "")).strip():
                    os.remove(cut_file)
                    self.close()
                    return None
            if cmd == "RETR" and DROP["name"] and arg == DROP["name"]:
                DROP["name"] = None
                self.close()
                return None
            return super().pre_process_command(line, cmd, arg)

        def respond(self, resp, *args, **kwargs):
            if shown_port and resp.startswith("227 "):
                resp = re.sub(r"\((\d+,\d+,\d+,\d+),\d+,\d+\)",
                              lambda m: "(%s,%d,%d)" % (m.group(1), shown_port // 256, shown_port % 256),
                              resp)
            elif shown_port and resp.startswith("229 "):
                resp = re.sub(r"\(\|\|\|\d+\|\)", "(|||%d|)" % shown_port, resp)
            return super().respond(resp, *args, **kwargs)

    Handler.authorizer = authorizer
    Handler.permit_foreign_addresses = False
    if listen:
        Handler.passive_ports = [listen]
    if len(sys.argv) > 4:
        dtp = ThrottledDTPHandler
        dtp.read_limit = int(sys.argv[4])
        dtp.write_limit = int(sys.argv[4])
        Handler.dtp_handler = dtp
    server = FTPServer((os.environ.get("QUEUE_FTP_ADDRESS") or "127.0.0.1", port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()

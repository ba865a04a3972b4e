#!/usr/bin/python3
"""pyftpdlib on loopback for the FTP client's tests.

Usage: pyftpd_server.py PORT ROOT MODE [CERT KEY]

MODE is one of
  plain       plain FTP
  tls         explicit FTPS (AUTH TLS, PBSZ, PROT P)
  tls-noprot  explicit FTPS whose server refuses "PROT P" (data connections stay plain)
  tls-nopbsz  explicit FTPS whose server refuses "PBSZ"
  nopasv      plain FTP that refuses "PASV" (the client falls back to "PORT")
Users: joe / secret (read and write in ROOT) and anonymous (read only).
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer
from pyftpdlib_mends import ForgetsHandedConnector


def main():
    port, root, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    authorizer = DummyAuthorizer()
    authorizer.add_user("joe", "secret", root, perm="elradfmwMT")
    authorizer.add_anonymous(root)

    if mode.startswith("tls"):
        base = TLS_FTPHandler
    else:
        base = FTPHandler

    class Handler(ForgetsHandedConnector, base):
        pass

    if mode.startswith("tls"):
        Handler.certfile = sys.argv[4]
        Handler.keyfile = sys.argv[5]
        # Without a session id context OpenSSL aborts every handshake that tries to resume a
        # session (the data connections resume the control connection's, as vsftpd demands).
        context = Handler.get_ssl_context()
        context.set_session_id(b"ferrowen-tests")
    if mode == "tls-noprot":
        def ftp_PROT(self, line):
            self.respond("536 PROT P not allowed here.")
        Handler.ftp_PROT = ftp_PROT
    if mode == "tls-nopbsz":
        def ftp_PBSZ(self, line):
            self.respond("502 PBSZ not implemented.")
        Handler.ftp_PBSZ = ftp_PBSZ
    if mode == "nopasv":
        def ftp_PASV(self, line):
            self.respond("502 PASV not allowed.")
        Handler.ftp_PASV = ftp_PASV

    Handler.authorizer = authorizer
    Handler.permit_foreign_addresses = False
    server = FTPServer(("127.0.0.1", port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()

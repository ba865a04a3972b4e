"""An asyncssh SFTP server for the SFTP client's interop tests, on 127.0.0.1:PORT until stopped:
password or scripted keyboard-interactive logins, a chosen SFTP version, window and packet size,
with the file system under ROOT, and, when asked, READ answers of at most --read-cap bytes, a
RENAME that replaces an existing file (--replacing-rename, as many servers do) and files created
with the server's default mode whatever the open asks (--open-default-mode)."""
import argparse
import asyncio
import json
import os
import warnings

warnings.simplefilter("ignore")
import asyncssh  # noqa: E402


def sftp_server(a):
    """The SFTP server class the options ask for."""

    class Server(asyncssh.SFTPServer):
        def read(self, file_obj, offset, size):
#At most `--read - cap` bytes for one READ, as some servers do.
            return super().read(file_obj, offset, min(size, a.read_cap) if a.read_cap else size)

        def open(self, path, pflags, attrs):
            if a.open_default_mode:
                attrs = asyncssh.SFTPAttrs()
            return super().open(path, pflags, attrs)

        def rename(self, oldpath, newpath):
            if not a.replacing_rename:
                return super().rename(oldpath, newpath)
            os.replace(self.map_path(oldpath), self.map_path(newpath))
            return None

    return Server


class Server(asyncssh.SSHServer):
    def __init__(self, a):
        self.a = a
        self.rounds = json.loads(a.kbd) if a.kbd else None
        self.step = 0

    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return self.rounds is None

    def validate_password(self, username, password):
        return password == self.a.password

    def kbdint_auth_supported(self):
        return self.rounds is not None

    def challenge(self):
        prompts = [(p, False) for p, _ in self.rounds[self.step]]
        return "", "", "", prompts

    def get_kbdint_challenge(self, username, lang, submethods):
        self.step = 0
        return self.challenge()

    def validate_kbdint_response(self, username, responses):
#Each round's answers must be the expected ones; a round of two prompts takes none.
        expected = [ans for _, ans in self.rounds[self.step]]
        if len(expected) == 2 and not responses:
            expected = []
        if list(responses) != expected:
            return False
        self.step += 1
        return True if self.step == len(self.rounds) else self.challenge()


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--host-key", required=True)
    ap.add_argument("--root", required=True)
    ap.add_argument("--password", default="")
    ap.add_argument("--kbd", default="")
    ap.add_argument("--sftp-version", type=int, default=3)
    ap.add_argument("--window", type=int, default=0)
    ap.add_argument("--max-pktsize", type=int, default=0)
    ap.add_argument("--read-cap", type=int, default=0)
    ap.add_argument("--replacing-rename", action="store_true")
    ap.add_argument("--open-default-mode", action="store_true")
    a = ap.parse_args()
    sftp_class = sftp_server(a)
    opts = {
        "server_host_keys": [a.host_key],
        "compression_algs": ["none"],
        "kex_algs": ["diffie-hellman-group14-sha1"],
        "encryption_algs": ["aes256-cbc", "aes128-cbc"],
        "mac_algs": ["hmac-sha1"],
        "sftp_version": a.sftp_version,
        "sftp_factory": lambda chan: sftp_class(chan, chroot=a.root.encode()),
    }
    if a.window:
        opts["window"] = a.window
    if a.max_pktsize:
        opts["max_pktsize"] = a.max_pktsize
    await asyncssh.create_server(lambda: Server(a), "127.0.0.1", a.port, **opts)
    await asyncio.Future()


asyncio.run(main())

"""An asyncssh server for the SSH library's interop tests: key exchange, ciphers and MACs of the
test's choosing, on 127.0.0.1:PORT, until it is stopped."""
import argparse
import asyncio
import warnings

warnings.simplefilter("ignore")
import asyncssh  # noqa: E402


def names(text):
    return [n for n in text.split(",") if n] if text else ()


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--host-key", required=True)
    ap.add_argument("--kex", default="")
    ap.add_argument("--ciphers", default="")
    ap.add_argument("--macs", default="")
    ap.add_argument("--rekey-bytes", default="")
    ap.add_argument("--authorized-keys", default="")
    a = ap.parse_args()
    opts = {"server_host_keys": [a.host_key], "compression_algs": ["none"]}
    if a.kex:
        opts["kex_algs"] = names(a.kex)
    if a.ciphers:
        opts["encryption_algs"] = names(a.ciphers)
    if a.macs:
        opts["mac_algs"] = names(a.macs)
    if a.authorized_keys:
        opts["authorized_client_keys"] = a.authorized_keys
    if a.rekey_bytes:
        opts["rekey_bytes"] = int(a.rekey_bytes)
    await asyncssh.create_server(asyncssh.SSHServer, "127.0.0.1", a.port, **opts)
    await asyncio.Future()


asyncio.run(main())

// Loopback ports for the servers the browser suites start in other processes (sshd, Dropbear,
// pyftpdlib, the program's own sharing servers). A port taken from the system's ephemeral range
// and let go may be handed to any outgoing connection before the server binds it, so ports are
// drawn below that range, and claimed among the test processes running at once by a lock on a
// file named after the port, the very lock the C++ tests take (TestSupport.cpp's freeTcpPort):
// neither suite hands a port the other holds. A server whose bind is still refused (a program
// that claims nothing took the port) is started again on another.
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import { waitFor } from './person.mjs';

// The ports drawn from: up to 10,000 just below the ephemeral range (20000-29999 as Debian comes).
export function portRange() {
  let low = 32768;
  try {
    low = Number(fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').trim().split(/\s+/)[0]) || low;
  } catch {}
  const high = Math.min(low, 30000) - 1;
  return [Math.max(1024, high - 9999), high];
}

const claimDir = () => `${process.env.TMPDIR || '/tmp'}/ferrowen-test-ports`;
export const claimFile = (port) => `${claimDir()}/${port}`;

// Descriptors of the claims this process holds, by port: a claim lasts while its descriptor is
// open (the lock belongs to the open file, which the process ends with).
const claims = new Map();

// Claims `port` (false: another test process holds it). flock(1) locks the descriptor it is
// handed, which stays open here after it ends.
function claim(port) {
  const file = claimFile(port);
  try {
    fs.mkdirSync(claimDir(), { recursive: true, mode: 0o1777 });
    fs.chmodSync(claimDir(), 0o1777);
  } catch {}
  let fd;
  try {
    fd = fs.openSync(file, fs.constants.O_RDWR | fs.constants.O_CREAT, 0o666);
  } catch {
    return true; // no claims possible here: the bind check alone decides
  }
  try {
    execFileSync('flock', ['--nonblock', '--conflict-exit-code', '75', '3'], { stdio: ['ignore', 'ignore', 'ignore', fd] });
  } catch (e) {
    fs.closeSync(fd);
    return e.status !== 75;
  }
  claims.set(port, fd);
  return true;
}

// Gives up the claim of `port` (a server that could not have it).
export function release(port) {
  const fd = claims.get(port);
  if (fd === undefined) return;
  claims.delete(port);
  fs.closeSync(fd);
}

// Whether nothing is bound to `port` on any address now.
const bindable = (port) => new Promise((resolve) => {
  const s = net.createServer();
  s.once('error', () => resolve(false));
  s.listen({ port, host: '0.0.0.0', exclusive: true }, () => s.close(() => resolve(true)));
});

// A port below the ephemeral range that was free a moment ago, claimed for this process's life.
export async function claimedPort() {
  const [low, high] = portRange();
  for (let attempt = 0; attempt < 500; attempt++) {
    const port = crypto.randomInt(low, high + 1);
    if (!claims.has(port) && (await bindable(port)) && claim(port)) return port;
  }
  throw new Error(`no free port in ${low}-${high}`);
}

// Whether an error is a server's refused bind.
const refusedBind = (e) => /Address already in use|EADDRINUSE|Errno 98/.test(String(e?.message ?? e));

// Starts a server with `launch(port)` on a claimed port: it resolves once the server serves, or
// rejects with what stopped it. A refused bind starts it again on another port. `meanwhile(port)`,
// if given, runs between a port's choice and its use (a test takes the port there, as another
// program may).
export async function onClaimedPort(launch, { meanwhile, tries = 10 } = {}) {
  for (let i = 1; ; i++) {
    const port = await claimedPort();
    try {
      if (meanwhile) await meanwhile(port);
      return await launch(port);
    } catch (e) {
      release(port);
      if (i >= tries || !refusedBind(e)) throw e;
    }
  }
}

// Whether something accepts a connection on 127.0.0.1:port now.
export const listening = (port) => new Promise((resolve) => {
  const c = net.connect(port, '127.0.0.1', () => { c.destroy(); resolve(true); });
  c.on('error', () => resolve(false));
});

// Whether the process `pid` itself listens on 127.0.0.1:port (not another program holding it),
// for servers that say nothing when they serve.
export function listensOn(pid, port) {
  const address = `0100007F:${port.toString(16).toUpperCase().padStart(4, '0')}`;
  const sockets = new Set();
  try {
    for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
      try {
        const inode = /^socket:\[(\d+)\]$/.exec(fs.readlinkSync(`/proc/${pid}/fd/${fd}`));
        if (inode) sockets.add(inode[1]);
      } catch {}
    }
  } catch {
    return false;
  }
  return fs.readFileSync('/proc/net/tcp', 'utf8').split('\n').some((line) => {
    const f = line.trim().split(/\s+/);
    return f[1] === address && f[3] === '0A' && sockets.has(f[9]);
  });
}

// Waits until a server process serves (`serving()` says so); rejects with its error output
// (`log()`) if it ends first. Called as soon as the child is spawned.
export async function serves(child, serving, log, what) {
  const outputEnded = new Promise((resolve) => child.once('close', resolve));
  const ended = () => child.exitCode !== null || child.signalCode !== null;
  await waitFor(async () => ended() || (await serving()), what);
  if (!ended()) return;
  await outputEnded;
  throw new Error(`${what} did not start: ${log()}`);
}

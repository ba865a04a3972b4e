// OpenSSH's sshd for the browser suites: a system account made for the suite, and sshd on a
// loopback port with host keys of the kinds Debian makes (RSA, ECDSA, Ed25519), stopped by its
// pid when the test ends.
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { waitFor } from './person.mjs';
import { listening, onClaimedPort, serves } from './ports.mjs';

// A system account with a random password (the caller removes it with `removeAccount`); a locked
// password file (another suite making its account) is retried.
export function makeAccount(prefix = 'ferrowen-c') {
  const name = `${prefix}${crypto.randomInt(1e6)}`;
  const password = crypto.randomBytes(12).toString('hex');
  for (let i = 0; ; i++) {
    try {
      execFileSync('useradd', ['-m', '-s', '/bin/bash', name], { stdio: 'ignore' });
      execFileSync('sh', ['-c', `echo '${name}:${password}' | chpasswd`]);
      return { name, password };
    } catch (e) {
      if (i === 20) throw e;
      execFileSync('sleep', ['0.2']);
    }
  }
}

export function removeAccount(account) {
  try { execFileSync('userdel', ['-r', '-f', account.name], { stdio: 'ignore' }); } catch {}
}

const closed = async (port) => !(await listening(port));

// OpenSSH's sshd with the configuration `lines` (its port and address added) on a claimed
// loopback port; started again on another port when its bind is refused. `start` starts it
// again on its port after `stop`.
export async function startSshdWith(t, dir, lines, options) {
  let child;
  let log = '';
  let port;
  const start = async () => {
    const from = log.length;
    child = spawn('/usr/sbin/sshd', ['-D', '-e', '-f', `${dir}/sshd_config`], { stdio: ['ignore', 'ignore', 'pipe'] });
    child.stderr.on('data', (d) => { log += d; });
    // Its own word, not a connection accepted: another program may hold the port.
    await serves(child, () => log.slice(from).includes(`Server listening on 127.0.0.1 port ${port}.`), () => log, 'sshd');
  };
  const stop = async () => {
    if (!child || child.exitCode !== null || child.signalCode !== null) return;
    const ended = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    await ended;
    await waitFor(() => closed(port), 'sshd gone');
  };
  t.after(stop);
  fs.mkdirSync('/run/sshd', { recursive: true });
  await onClaimedPort(async (p) => {
    port = p;
    fs.writeFileSync(`${dir}/sshd_config`, [`Port ${port}`, 'ListenAddress 127.0.0.1', `PidFile ${dir}/sshd.pid`, ...lines, ''].join('\n'));
    await start();
  }, options);
  return { port, log: () => log, stop, start };
}

// The MD5 fingerprint of a public key file, as "aa:bb:...".
export function md5Of(publicKeyFile) {
  return /MD5:(\S+)/.exec(execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f', publicKeyFile]).toString())[1];
}

// sshd on a loopback port with host keys of the kinds Debian makes, in `dir`; `renew` makes them
// all anew (as a reinstalled server has) and starts the server again on the same port; `stop`
// ends it (as a stopped server: the port then refuses connections), `start` starts it again.
export async function startSshd(t, dir, options) {
  const types = ['rsa', 'ecdsa', 'ed25519'];
  const makeKeys = () => {
    for (const type of types) {
      for (const f of [`${dir}/host_${type}`, `${dir}/host_${type}.pub`]) fs.rmSync(f, { force: true });
      execFileSync('ssh-keygen', ['-q', '-N', '', '-t', type, '-f', `${dir}/host_${type}`]);
    }
  };
  makeKeys();
  const server = await startSshdWith(t, dir, [
    ...types.map((type) => `HostKey ${dir}/host_${type}`),
    // Passwords checked against the shadow file (no PAM stack in the test's container).
    'UsePAM no', 'KbdInteractiveAuthentication no', 'PermitRootLogin no', 'Subsystem sftp internal-sftp',
  ], options);
  return {
    ...server,
    // The MD5 fingerprint of the server's key of a kind, as "aa:bb:...".
    md5: (type) => md5Of(`${dir}/host_${type}.pub`),
    renew: async () => { await server.stop(); makeKeys(); await server.start(); },
  };
}

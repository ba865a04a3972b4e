// OpenSSH's sshd for the browser suites: a system account made for the suite, and sshd on a
// loopback port with host keys of the kinds Debian makes (RSA, ECDSA, Ed25519), stopped by its
// pid when the test ends.
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import { waitFor } from './person.mjs';

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

export const freePort = () => new Promise((resolve) => {
  const s = net.createServer();
  s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
});
const listening = (port) => new Promise((resolve) => {
  const c = net.connect(port, '127.0.0.1', () => { c.destroy(); resolve(true); });
  c.on('error', () => resolve(false));
});
const closed = async (port) => !(await listening(port));

// The MD5 fingerprint of a public key file, as "aa:bb:...".
export function md5Of(publicKeyFile) {
  return /MD5:(\S+)/.exec(execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f', publicKeyFile]).toString())[1];
}

// sshd on a loopback port with host keys of the kinds Debian makes, in `dir`; `renew` makes them
// all anew (as a reinstalled server has) and starts the server again on the same port; `stop`
// ends it (as a stopped server: the port then refuses connections), `start` starts it again.
export async function startSshd(t, dir) {
  const port = await freePort();
  const types = ['rsa', 'ecdsa', 'ed25519'];
  const makeKeys = () => {
    for (const type of types) {
      for (const f of [`${dir}/host_${type}`, `${dir}/host_${type}.pub`]) fs.rmSync(f, { force: true });
      execFileSync('ssh-keygen', ['-q', '-N', '', '-t', type, '-f', `${dir}/host_${type}`]);
    }
  };
  makeKeys();
  fs.writeFileSync(`${dir}/sshd_config`, [
    `Port ${port}`, 'ListenAddress 127.0.0.1', ...types.map((type) => `HostKey ${dir}/host_${type}`),
    `PidFile ${dir}/sshd.pid`,
    // Passwords checked against the shadow file (no PAM stack in the test's container).
    'UsePAM no', 'KbdInteractiveAuthentication no', 'PermitRootLogin no', 'Subsystem sftp internal-sftp', '',
  ].join('\n'));
  fs.mkdirSync('/run/sshd', { recursive: true });
  let child;
  let log = '';
  const start = async () => {
    child = spawn('/usr/sbin/sshd', ['-D', '-e', '-f', `${dir}/sshd_config`], { stdio: ['ignore', 'ignore', 'pipe'] });
    child.stderr.on('data', (d) => { log += d; });
    await waitFor(async () => child.exitCode !== null || (await listening(port)), 'sshd');
    if (child.exitCode !== null) throw new Error(`sshd did not start: ${log}`);
  };
  const stop = async () => {
    if (child.exitCode !== null || child.signalCode !== null) return;
    const ended = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    await ended;
    await waitFor(() => closed(port), 'sshd gone');
  };
  t.after(stop);
  await start();
  return {
    port,
    log: () => log,
    // The MD5 fingerprint of the server's key of a kind, as "aa:bb:...".
    md5: (type) => md5Of(`${dir}/host_${type}.pub`),
    renew: async () => { await stop(); makeKeys(); await start(); },
    stop,
    start,
  };
}

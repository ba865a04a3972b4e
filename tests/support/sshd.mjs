// OpenSSH's sshd for the browser suites: started in the foreground on a free loopback port with
// host keys of the kinds Debian makes (RSA, ECDSA, Ed25519) in a folder of the test's, stopped by
// its pid when the test ends. Its other settings are the stock ones but for passwords being
// checked against the shadow file (the test's container has no PAM stack).
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import { waitFor } from './person.mjs';

export const freePort = () => new Promise((resolve) => {
  const s = net.createServer();
  s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
});

const listening = (port) => new Promise((resolve) => {
  const c = net.connect(port, '127.0.0.1', () => { c.destroy(); resolve(true); });
  c.on('error', () => resolve(false));
});

// The MD5 fingerprint of a public key file, as "aa:bb:...".
export function md5Of(publicKeyFile) {
  return /MD5:(\S+)/.exec(execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f', publicKeyFile]).toString())[1];
}

// Resolves once sshd accepts connections: { port, md5(type), log() }.
export async function startSshd(t, dir) {
  const port = await freePort();
  const types = ['rsa', 'ecdsa', 'ed25519'];
  for (const type of types) execFileSync('ssh-keygen', ['-q', '-N', '', '-t', type, '-f', `${dir}/host_${type}`]);
  fs.writeFileSync(`${dir}/sshd_config`, [
    `Port ${port}`, 'ListenAddress 127.0.0.1', ...types.map((type) => `HostKey ${dir}/host_${type}`),
    `PidFile ${dir}/sshd.pid`, 'UsePAM no', 'KbdInteractiveAuthentication no', 'PermitRootLogin no',
    'Subsystem sftp internal-sftp', '',
  ].join('\n'));
  fs.mkdirSync('/run/sshd', { recursive: true });
  let log = '';
  const child = spawn('/usr/sbin/sshd', ['-D', '-e', '-f', `${dir}/sshd_config`], { stdio: ['ignore', 'ignore', 'pipe'] });
  child.stderr.on('data', (d) => { log += d; });
  t.after(async () => {
    if (child.exitCode !== null || child.signalCode !== null) return;
    const ended = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    await ended;
  });
  await waitFor(async () => (child.exitCode === null && (await listening(port))) || child.exitCode !== null, 'sshd');
  if (child.exitCode !== null) throw new Error(`sshd did not start: ${log}`);
  return { port, md5: (type) => md5Of(`${dir}/host_${type}.pub`), log: () => log };
}

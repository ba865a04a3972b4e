// The suites' peers on ports of their own: each helper that starts a server in another process
// (sshd, pyftpdlib) starts it below the system's ephemeral range on a port claimed as the C++
// tests claim theirs, and when another program takes the port between its choice and its use,
// starts the server again on another one.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { startFtpServerAt } from '../support/person.mjs';
import { claimFile, portRange } from '../support/ports.mjs';
import { startSshd } from '../support/sshd.mjs';

// The first words a server sends on a new connection.
const greeting = (port) => new Promise((resolve, reject) => {
  const c = net.connect(port, '127.0.0.1');
  c.once('data', (d) => { c.destroy(); resolve(String(d)); });
  c.once('error', reject);
});

// Another program listening on 127.0.0.1:port, claiming nothing, until the test ends.
async function takeAway(t, port) {
  const other = net.createServer((c) => c.end('not the peer\r\n'));
  await new Promise((resolve, reject) => { other.once('error', reject); other.listen(port, '127.0.0.1', resolve); });
  t.after(() => new Promise((resolve) => other.close(resolve)));
}

const peers = [
  ['sshd', (t, dir, options) => startSshd(t, dir, options), /^SSH-2\.0-OpenSSH/],
  ['pyftpdlib', (t, dir, options) => startFtpServerAt(t, dir, 1 << 30, undefined, 0, 0, options), /^220 /],
];

for (const [name, start, answer] of peers) {
  test(`${name} starts on another claimed port when its first one is taken before it binds`, async (t) => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-ports-'));
    t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
    const taken = [];
    const peer = await start(t, dir, {
      meanwhile: async (port) => { if (!taken.length) { taken.push(port); await takeAway(t, port); } },
    });
    assert.equal(taken.length, 1);
    assert.notEqual(peer.port, taken[0]);
    assert.match(await greeting(peer.port), answer);
    const [low, high] = portRange();
    for (const port of [taken[0], peer.port]) assert.ok(port >= low && port <= high, `${port} in ${low}-${high}`);
    assert.ok(high < Number(fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').split(/\s+/)[0]));
    // The claim is the C++ tests' own: a lock on the port's file that no other process gets.
    const other = spawnSync('flock', ['--nonblock', '--conflict-exit-code', '75', claimFile(peer.port), 'true']);
    assert.equal(other.status, 75);
  });
}

// Implicit FTPS as a person meets it, on the phone and on the tablet: the program takes port 990
// for implicit FTPS, so the suite runs in a network namespace of its own (ctest starts it with
// `unshare -n`), where 990 belongs to it alone. Against vsftpd with implicit_ssl=YES and its
// defaults otherwise (protected data connections and TLS session reuse required), a folder is
// listed and "Upload All Files" of Saved Files puts every file on the server whole, nothing left
// under a temporary name; against a server that refuses every listing, the Security Warning is
// asked once, "Yes, Connect" connects once more, and the server's reply is shown: two sessions,
// not a loop. Screenshots go to $RENDERER_ARTEFACTS/implicit-ftps-<profile>.
import { before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { artefacts, clickSeen, clickUntil, profiles, session, stopOnExit, typeInto, waitFor, scaled } from '../support/person.mjs';
import { makeAccount, removeAccount } from '../support/sshd.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const scripted = path.join(here, '..', 'interop', 'ftp', 'peers', 'scripted_transfer_server.py');

// The namespace starts with a loopback that is down and no route: the loopback is brought up,
// and a route to nowhere makes the program find a network (it refuses to connect without one).
before(() => {
  execFileSync('ip', ['link', 'set', 'lo', 'up']);
  if (!fs.readFileSync('/proc/net/route', 'utf8').includes('\t00000000\t')) {
    execFileSync('ip', ['link', 'add', 'ferrowen0', 'type', 'veth', 'peer', 'name', 'ferrowen1']);
    execFileSync('ip', ['addr', 'add', '10.99.0.1/24', 'dev', 'ferrowen0']);
    for (const dev of ['ferrowen0', 'ferrowen1']) execFileSync('ip', ['link', 'set', dev, 'up']);
    execFileSync('ip', ['route', 'add', 'default', 'via', '10.99.0.2']);
  }
});

const account = makeAccount('ferrowen-i');

function certificate(dir) {
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=localhost',
    '-keyout', path.join(dir, 'key.pem'), '-out', path.join(dir, 'cert.pem')], { stdio: 'ignore' });
}

// A server on 127.0.0.1:990, stopped by pid when the test ends; `output()` is what it printed.
async function serve(t, argv) {
  const child = spawn(argv[0], argv.slice(1));
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { out += d; });
  stopOnExit(t, child);
  const accepts = () => new Promise((resolve) => {
    const c = net.connect(990, '127.0.0.1', () => { c.destroy(); resolve(true); });
    c.on('error', () => resolve(false));
  });
  await waitFor(accepts, `the server on port 990: ${out}`);
  return { output: () => out };
}

async function connectFtps(s, user, password) {
  const field = (name) => s.front().getByLabel(name, { exact: true });
  await clickSeen(s.front().getByRole('tab', { name: 'FTPS', exact: true }));
  await typeInto(field('Server'), '127.0.0.1:990');
  await typeInto(field('User Name'), user);
  await typeInto(field('Password'), password);
  await clickSeen(s.button('Connect'));
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: implicit FTPS lists, and every file of Upload All Files arrives whole`, async (t) => {
    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-implicit-'));
    t.after(() => fs.rmSync(work, { recursive: true, force: true }));
    fs.chmodSync(work, 0o755);
    const root = path.join(work, 'root');
    fs.mkdirSync(root);
    fs.writeFileSync(path.join(root, 'hello.txt'), 'hello\n');
    execFileSync('chown', [account.name, root]);
    certificate(work);
    fs.mkdirSync('/var/run/vsftpd/empty', { recursive: true });
    fs.writeFileSync(path.join(work, 'vsftpd.conf'), [
      'listen=YES', 'listen_ipv6=NO', 'listen_address=127.0.0.1', 'listen_port=990', 'background=NO',
      'seccomp_sandbox=NO', 'isolate=NO', 'isolate_network=NO', 'anonymous_enable=NO', 'local_enable=YES',
      'write_enable=YES', `local_root=${root}`, 'pasv_enable=YES', 'pasv_address=127.0.0.1',
      'pam_service_name=vsftpd', 'secure_chroot_dir=/var/run/vsftpd/empty', 'ssl_enable=YES', `rsa_cert_file=${path.join(work, 'cert.pem')}`,
      `rsa_private_key_file=${path.join(work, 'key.pem')}`, 'implicit_ssl=YES', ''].join('\n'));
    await serve(t, ['/usr/sbin/vsftpd', path.join(work, 'vsftpd.conf')]);
    const files = Object.fromEntries(Array.from({ length: 8 }, (_, i) => [`note-${i}.txt`, `note ${i}\n`.repeat(i * 40 + 1)]));
    const dir = path.join(artefacts, `implicit-ftps-${profile}`);
    await session(t, {
      chromium, suite: 'implicit-ftps', dir, viewport, env,
      prepare: (home) => {
        const saved = path.join(home, 'Documents', 'Files');
        fs.mkdirSync(saved, { recursive: true });
        for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(saved, name), text);
      },
      run: async (s) => {
        await connectFtps(s, account.name, account.password);
        await s.row('hello.txt').waitFor({ timeout: scaled(30000) });
        await s.screen('listed');
        await s.tab('Saved Files');
        await clickUntil(s.front().getByLabel('Menu', { exact: true }), () => s.sheet.isVisible(), 'the folder menu');
        await s.screen('saved-files-menu');
        await clickSeen(s.sheetButton('Upload All Files'));
        await s.tab('Transfers');
        await waitFor(() => Object.entries(files).every(([name, text]) => {
          const file = path.join(root, name);
          return fs.existsSync(file) && fs.readFileSync(file, 'utf8') === text;
        }), 'every file on the server', 60000);
        await waitFor(async () => (await s.front().locator('.cell[aria-label^="note-"]').count()) === 0, 'the transfers done', 20000);
        await s.screen('uploaded');
        assert.deepEqual(fs.readdirSync(root).filter((n) => n.includes('.upload.')), []);
      },
    });
  });

  test(`${profile}: a refused listing asks once, connects once more, and shows the reply`, async (t) => {
    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-implicit-'));
    t.after(() => fs.rmSync(work, { recursive: true, force: true }));
    fs.mkdirSync(path.join(work, 'root'));
    certificate(work);
    fs.writeFileSync(path.join(work, 'script.json'), JSON.stringify({ implicit: true, list: 'refuse' }));
    const server = await serve(t, ['/usr/bin/python3', scripted, '990', path.join(work, 'script.json'), path.join(work, 'root')]);
    const sessions = () => server.output().split('\n').filter((line) => line === 'PBSZ 0').length;
    const dir = path.join(artefacts, `implicit-ftps-${profile}`);
    await session(t, {
      chromium, suite: 'implicit-ftps', dir, viewport, env,
      run: async (s) => {
        await connectFtps(s, 'joe', 'secret');
        const warning = s.page.locator('.alert[aria-label="Security Warning"]');
        await warning.waitFor({ timeout: scaled(30000) });
        await s.screen('security-warning');
        await clickSeen(warning.getByRole('button', { name: 'Yes, Connect', exact: true }));
        const reply = s.page.locator('.alert[aria-label="Error from FTP Server"]');
        await reply.waitFor({ timeout: scaled(30000) });
        assert.match(await reply.locator('.message').textContent(), /522 Data connections must be encrypted/);
        await s.screen('listing-refused');
        await new Promise((r) => setTimeout(r, 2000));
        assert.equal(sessions(), 2, server.output());
        assert.equal(await warning.count(), 0, 'asked once');
        await clickSeen(reply.getByRole('button', { name: 'OK', exact: true }));
        await s.button('Connect').waitFor();
        await s.screen('back-at-connect');
        assert.equal(sessions(), 2, server.output());
      },
    });
  });
}

test.after(() => removeAccount(account));

// The FTP tab over SFTP in the page, against the servers people run as they come: OpenSSH's sshd
// (Debian's algorithm defaults, RSA, ECDSA and Ed25519 host keys) and Dropbear (its defaults),
// each with the account's password and with an Ed25519 key made by ssh-keygen with its defaults
// and put in Saved Files' PrivateKeys folder. On the phone and on the tablet, with the mouse and
// the keyboard only, each click checked to land on what lies there: connect, see the folder
// listed, download a file, then upload a saved file from Saved Files; the bytes are checked on
// both sides. The account is made for the test and removed after it. Screenshots go to
// $RENDERER_ARTEFACTS/sftp-<profile>-<server>-<login>.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { browserLaunch, bringIntoView, checkScreen, clickSeen, startProgram, waitFor, watch, artefacts, profiles, scaled } from '../support/person.mjs';
import { listensOn, onClaimedPort, serves } from '../support/ports.mjs';
import { startSshdWith } from '../support/sshd.mjs';

const servers = ['sshd', 'dropbear'];
const logins = ['password', 'key'];

// A system account with a random password and a home (where both servers read
// ~/.ssh/authorized_keys), removed when the tests end; a locked password file is retried.
function makeAccount() {
  const name = `ferrowen-p${crypto.randomInt(1e6)}`;
  const password = crypto.randomBytes(12).toString('hex');
  for (let i = 0; ; i++) {
    try {
      execFileSync('useradd', ['-m', '-s', '/bin/bash', name], { stdio: 'ignore' });
      execFileSync('sh', ['-c', `echo '${name}:${password}' | chpasswd`]);
      break;
    } catch (e) {
      if (i === 20) throw e;
      execFileSync('sleep', ['0.2']);
    }
  }
  return { name, password, home: execFileSync('sh', ['-c', `getent passwd ${name} | cut -d: -f6`]).toString().trim() };
}

// The server on a free loopback port, its output kept. sshd has the host keys a Debian server
// makes and no algorithm settings of its own; Dropbear runs with its defaults and OpenSSH's
// sftp-server.
async function startServer(t, kind, dir) {
  if (kind === 'sshd') {
    const keys = [];
    for (const type of ['rsa', 'ecdsa', 'ed25519']) {
      execFileSync('ssh-keygen', ['-q', '-N', '', '-t', type, '-f', `${dir}/host_${type}`]);
      keys.push(`HostKey ${dir}/host_${type}`);
    }
    // Passwords checked against the shadow file (no PAM stack in the test's container).
    return startSshdWith(t, dir, [...keys, 'UsePAM no', 'KbdInteractiveAuthentication no', 'PermitRootLogin no', 'Subsystem sftp internal-sftp']);
  }
  execFileSync('dropbearkey', ['-t', 'ed25519', '-f', `${dir}/host_ed25519`], { stdio: 'ignore' });
  let log = '';
  const port = await onClaimedPort(async (port) => {
    const child = spawn('/usr/sbin/dropbear', ['-F', '-E', '-p', `127.0.0.1:${port}`, '-r', `${dir}/host_ed25519`, '-P', `${dir}/dropbear.pid`],
      { stdio: ['ignore', 'ignore', 'pipe'] });
    child.stderr.on('data', (d) => { log += d; });
    t.after(() => child.kill('SIGTERM'));
    // Dropbear says nothing once it listens: the port is its own when its socket is.
    await serves(child, () => listensOn(child.pid, port), () => log, kind);
    return port;
  });
  return { port, log: () => log };
}

// Clicks (checked to land on the element) until `arrived`, as a person clicks again when a click
// did not take: at most three clicks, each given ten seconds.
async function clickSeenUntil(locator, arrived, what) {
  for (let tries = 1; ; tries++) {
    await clickSeen(locator);
    try {
      return await waitFor(arrived, what, 10000);
    } catch (e) {
      if (tries === 3) throw e;
    }
  }
}

const sha = (b) => crypto.createHash('sha256').update(b).digest('hex');

const account = makeAccount();
after(() => { try { execFileSync('userdel', ['-r', '-f', account.name], { stdio: 'ignore' }); } catch {} });
// The person's key: ssh-keygen's defaults but for the pass phrase, which it would ask at a terminal.
const keyDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-sftp-userkey-'));
after(() => fs.rmSync(keyDir, { recursive: true, force: true }));
execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-f', `${keyDir}/id_ed25519`]);
fs.mkdirSync(`${account.home}/.ssh`, { mode: 0o700 });
fs.copyFileSync(`${keyDir}/id_ed25519.pub`, `${account.home}/.ssh/authorized_keys`);
execFileSync('chown', ['-R', `${account.name}:`, `${account.home}/.ssh`]);
fs.chmodSync(`${account.home}/.ssh/authorized_keys`, 0o600);

for (const [profile, viewport, env] of profiles) for (const server of servers) for (const login of logins) {
  test(`${profile}: ${server}, ${login} login: connect over SFTP, list, download and upload`, async (t) => {
    const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-sftp-keys-'));
    // A short folder name, as a person's folder has: the screen's title shows the path.
    const served = fs.mkdtempSync('/tmp/s-');
    t.after(() => fs.rmSync(keysDir, { recursive: true, force: true }));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.chmodSync(served, 0o777);
    const down = crypto.randomBytes(700 * 1024);
    const up = crypto.randomBytes(300 * 1024 + 11);
    fs.writeFileSync(path.join(served, 'report.bin'), down);
    fs.writeFileSync(path.join(served, 'notes.txt'), 'notes\n');
    const peer = await startServer(t, server, keysDir);

    const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-sftp-home-'));
    fs.writeFileSync(path.join(home, 'Preferences.json'), JSON.stringify({ ShownWebHelp: '1', WebViewURL: '' }));
    fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
    fs.writeFileSync(path.join(home, 'Documents', 'Files', 'holiday.bin'), up);
    if (login === 'key') {
      // The key where the application looks for it: named after the login and the server.
      fs.mkdirSync(path.join(home, 'Documents', 'Files', 'PrivateKeys'));
      fs.copyFileSync(`${keyDir}/id_ed25519`, path.join(home, 'Documents', 'Files', 'PrivateKeys', `${account.name}@127.0.0.1.pem`));
    }
    const app = await startProgram(t, { ...env, FERROWEN_HOME: home });
    // Removed once the program has ended (hooks run in the order they were added; a hook that
    // throws skips the rest, and the program left running would hold the suite open).
    t.after(() => fs.rmSync(home, { recursive: true, force: true }));
    const browser = await chromium.launch(browserLaunch);
    t.after(() => browser.close());
    const page = await browser.newPage({ viewport });
    const problems = [];
    watch(page, problems);
    const dir = path.join(artefacts, `sftp-${profile}-${server}-${login}`);
    const front = () => page.locator('#screen .layers > :last-child');
    const screen = (name) => checkScreen(page, name, problems, dir);
    const button = (name) => front().getByRole('button', { name, exact: true });
    const row = (name) => front().locator(`.cell[aria-label="${name}"]`);
    const tab = (name) => clickSeen(front().locator(`.tab[aria-label="${name}"]`));
    const timings = {};
    try {
      await page.goto(app.address);
      await page.locator('.alert').waitFor();
      await clickSeen(page.locator('.alert button', { hasText: 'Skip' }));
      await page.locator('.alert').waitFor({ state: 'detached' });

      // Connect: the address with the folder, the user and the password, typed. With the key the
      // password typed is not the account's: only the key can log in.
      const typed = login === 'key' ? 'not-the-password' : account.password;
      for (const [field, text] of [['Server', `sftp://127.0.0.1:${peer.port}${served}`], ['User Name', account.name], ['Password', typed]]) {
        await clickSeen(front().getByLabel(field));
        await page.keyboard.type(text);
      }
      await screen('connect-filled');
      const started = Date.now();
      await clickSeen(button('Connect'));
      await row('report.bin').waitFor({ timeout: scaled(60000) });
      timings.listed = Date.now() - started;
      await row('notes.txt').waitFor();
      await screen('listed');

      // Download: the row checked, then Download; the file arrives in Saved Files.
      await clickSeen(row('report.bin'));
      await clickSeen(button('Download'));
      const saved = path.join(home, 'Documents', 'Files', 'report.bin');
      await waitFor(() => fs.existsSync(saved) && sha(fs.readFileSync(saved)) === sha(down), 'the download', 60000);
      timings.downloaded = Date.now() - started;
      await screen('downloaded');

      // Upload: Saved Files, the row checked, then Upload; it goes to the folder the FTP tab shows.
      await tab('Saved Files');
      await clickSeen(row('holiday.bin'));
      await screen('saved-files-checked');
      await clickSeen(button('Upload'));
      const arrived = path.join(served, 'holiday.bin');
      await waitFor(() => fs.existsSync(arrived) && sha(fs.readFileSync(arrived)) === sha(up), 'the upload on the server', 60000);
      // Back to the tab (named after the connection's kind), clicked again if the click did not
      // take; the folder shows the new file after a refresh.
      const folderTitle = front().locator('.navbar .center', { hasText: path.basename(served) });
      await clickSeenUntil(front().locator('.tab[aria-label="SFTP"]'), async () => (await folderTitle.count()) > 0, 'the SFTP tab');
      await clickSeenUntil(button('Refresh'), async () => (await row('holiday.bin').count()) > 0, 'the uploaded file listed');
      await bringIntoView(row('holiday.bin'));
      await screen('uploaded');
    } catch (e) {
      fs.mkdirSync(dir, { recursive: true });
      await page.screenshot({ path: path.join(dir, 'at-failure.png') }).catch(() => {});
      throw new Error(`${e.message}\n${server}: ${peer.log().slice(-3000)}`);
    }
    // How long the first connection of the session took, step by step (from the service's logs
    // of the browsing connection and of the queue's), for whoever reads the test's output.
    const logs = ['Ferrowen-SFTP.log', 'Ferrowen-SFTP-2.log'].map((f) => path.join(home, 'tmp', f))
      .filter((f) => fs.existsSync(f)).map((f) => fs.readFileSync(f, 'utf8').split('\n').filter((l) => /Set-up took/.test(l)).join('\n'));
    console.log(`${profile} ${server} ${login}: listed ${timings.listed} ms and downloaded ${timings.downloaded} ms after Connect\n${logs.join('\n')}`);
    const accepted = {
      sshd: { password: 'Accepted password for', key: 'Accepted publickey for' },
      dropbear: { password: 'Password auth succeeded for', key: 'Pubkey auth succeeded for' },
    }[server][login];
    assert.ok(peer.log().includes(`${accepted} ${server === 'sshd' ? '' : "'"}${account.name}`), peer.log());
    const distinct = [...new Set(problems.map((p) => p.replace(/\?t=[0-9a-f]+/, '')))];
    assert.equal(distinct.length, 0, `what a person meets:\n${distinct.join('\n')}`);
  });
}

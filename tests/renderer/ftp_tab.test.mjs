// The FTP tab end to end in a real browser: the application with its front end, OpenSSH's sshd on
// loopback, and a person who connects over SFTP with a password, opens a row's menu and renames
// the file; the rename is checked in the server's folder. Screenshots go to $RENDERER_ARTEFACTS.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { browserLaunch, stopOnExit } from '../support/person.mjs';
import { startSshdWith } from '../support/sshd.mjs';

const artefacts = process.env.RENDERER_ARTEFACTS || path.join(os.tmpdir(), 'ferrowen-renderer');
fs.mkdirSync(artefacts, { recursive: true });
const user = 'ferrowen-sftp';
const password = 'Sftp-Secret-18';

async function waitFor(check, what, limit = 30000) {
  for (const end = Date.now() + limit; Date.now() < end; await new Promise((r) => setTimeout(r, 50))) {
    const value = await check();
    if (value) return value;
  }
  throw new Error(`timed out waiting for ${what}`);
}

// sshd serving on a free loopback port; the test's user logs in with its password.
async function sshd(t, dir) {
  try { execFileSync('id', [user], { stdio: 'ignore' }); } catch {
    execFileSync('useradd', ['-m', '-s', '/bin/bash', user], { stdio: 'ignore' });
  }
  execFileSync('sh', ['-c', `echo '${user}:${password}' | chpasswd`]);
  execFileSync('ssh-keygen', ['-q', '-N', '', '-m', 'PEM', '-t', 'rsa', '-b', '2048', '-f', `${dir}/host`]);
  const server = await startSshdWith(t, dir, [
    `HostKey ${dir}/host`, 'UsePAM no', 'PasswordAuthentication yes', 'KbdInteractiveAuthentication no', 'PermitRootLogin no',
    'HostKeyAlgorithms ssh-rsa', 'Subsystem sftp internal-sftp', 'Ciphers +aes256-cbc,aes128-cbc',
    'MACs +hmac-sha1', 'KexAlgorithms diffie-hellman-group14-sha1',
  ]);
  return server.port;
}

test('a person connects over SFTP and renames a file through a row menu', async (t) => {
  const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-ftptab-'));
  t.after(() => fs.rmSync(served, { recursive: true, force: true }));
  fs.chmodSync(served, 0o777);
  fs.writeFileSync(`${served}/hello.txt`, 'hello\n');
  const port = await sshd(t, served);

  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-renderer-'));
  const app = spawn(process.env.FERROWEN_PROGRAM, [], {
    env: {
      ...process.env, FERROWEN_HOME: home, XDG_PICTURES_DIR: path.join(home, 'Pictures'),
      FERROWEN_RENDERER: '1', FERROWEN_PORT_OVERRIDES: '8080=0,2121=0',
    },
  });
  let out = '';
  app.stdout.on('data', (d) => { out += d; });
  app.stderr.on('data', (d) => process.stderr.write(d));
  stopOnExit(t, app);
  // Removed once the program has ended (hooks run in the order they were added).
  t.after(() => fs.rmSync(home, { recursive: true, force: true }));
  const address = (await waitFor(() => /^Open (\S+)$/m.exec(out), 'the address'))[1];

  const browser = await chromium.launch(browserLaunch);
  t.after(() => browser.close());
  const page = await browser.newPage({ viewport: { width: 420, height: 720 } });
  await page.goto(address);
  await page.getByRole('button', { name: 'Skip' }).click();
  for (const [field, text] of [['Server', `sftp://127.0.0.1:${port}${served}`], ['User Name', user], ['Password', password]]) {
    await page.getByLabel(field).click();
    await page.keyboard.type(text);
  }
  await page.getByRole('button', { name: 'Connect' }).click();
  await page.getByRole('button', { name: 'hello.txt Menu' }).click();
  await page.getByRole('button', { name: 'Rename File' }).click();
  await page.getByLabel('Rename File To:').click();
  for (let i = 0; i < 'hello.txt'.length; ++i) await page.keyboard.press('Backspace');
  await page.keyboard.type('renamed.txt');
  await page.getByRole('button', { name: 'Done' }).click();
  await waitFor(() => fs.existsSync(`${served}/renamed.txt`), 'the rename on the server').catch(async (e) => {
    await page.screenshot({ path: path.join(artefacts, 'ftp-tab-sftp-failed.png') });
    throw new Error(`${e.message}; the folder holds ${fs.readdirSync(served)}`);
  });
  await page.getByRole('button', { name: 'renamed.txt Menu' }).waitFor();
  await page.screenshot({ path: path.join(artefacts, 'ftp-tab-sftp.png') });
  assert.equal(fs.readFileSync(`${served}/renamed.txt`, 'utf8'), 'hello\n');
  assert.ok(!fs.existsSync(`${served}/hello.txt`));
});

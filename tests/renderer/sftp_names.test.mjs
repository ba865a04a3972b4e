// Names on OpenSSH's sshd as it comes, in the page, on the phone and on the tablet: a folder holds
// "café.txt" stored as UTF-8 and "caf\xe9.txt" stored as ISO Latin-1 (as an older machine named
// it). With "Folder Text Encoding" at Auto-Detect both are listed, as two rows that read alike,
// and each row's Download fetches its own file (their contents checked). Screenshots go to
// $RENDERER_ARTEFACTS/sftp-names-<profile>.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { browserLaunch, checkScreen, clickSeen, startProgram, waitFor, watch, artefacts, profiles, scaled } from '../support/person.mjs';
import { makeAccount, removeAccount, startSshd } from '../support/sshd.mjs';

const account = makeAccount('ferrowen-n');
after(() => removeAccount(account));

const utf8 = Buffer.from('caf\u00e9.txt', 'utf8');
const latin1 = Buffer.from('caf\u00e9.txt', 'latin1');
const contents = { utf8: 'the UTF-8 file\n', latin1: 'the Latin-1 file\n' };

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: SFTP lists both look-alike names, and each row fetches its own file`, async (t) => {
    const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-sftpnames-keys-'));
    const served = fs.mkdtempSync('/tmp/n-');
    t.after(() => fs.rmSync(keysDir, { recursive: true, force: true }));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.chmodSync(served, 0o777);
    // Names in their bytes: Node takes a Buffer as the file's name as it is.
    fs.writeFileSync(Buffer.concat([Buffer.from(`${served}/`), utf8]), contents.utf8);
    fs.writeFileSync(Buffer.concat([Buffer.from(`${served}/`), latin1]), contents.latin1);
    const peer = await startSshd(t, keysDir);

    const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-sftpnames-home-'));
    // Saved Files takes each download over the one before (the same name), without asking.
    fs.writeFileSync(path.join(home, 'Preferences.json'), JSON.stringify({ ShownWebHelp: '1', WebViewURL: '', OverwriteSaveFiles: '1' }));
    fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
    const app = await startProgram(t, { ...env, FERROWEN_HOME: home });
    t.after(() => fs.rmSync(home, { recursive: true, force: true }));
    const browser = await chromium.launch(browserLaunch);
    t.after(() => browser.close());
    const page = await browser.newPage({ viewport });
    const problems = [];
    watch(page, problems);
    const dir = path.join(artefacts, `sftp-names-${profile}`);
    const front = () => page.locator('#screen .layers > :last-child');
    const screen = (name) => checkScreen(page, name, problems, dir);
    const button = (name) => front().getByRole('button', { name, exact: true });
    const rows = front().locator('.cell[aria-label="caf\u00e9.txt"]');
    try {
      await page.goto(app.address);
      await page.locator('.alert').waitFor();
      await clickSeen(page.locator('.alert button', { hasText: 'Skip' }));
      await page.locator('.alert').waitFor({ state: 'detached' });
      for (const [field, text] of [['Server', `sftp://127.0.0.1:${peer.port}${served}`], ['User Name', account.name], ['Password', account.password]]) {
        await clickSeen(front().getByLabel(field));
        await page.keyboard.type(text);
      }
      await clickSeen(button('Connect'));
      await rows.first().waitFor({ timeout: scaled(60000) });
      await waitFor(async () => (await rows.count()) === 2, 'both look-alike rows');
      await screen('listed');

      // Each row's Download: the file in Saved Files is that row's own.
      const saved = path.join(home, 'Documents', 'Files', 'caf\u00e9.txt');
      const fetched = new Set();
      for (const at of [0, 1]) {
        if (fs.existsSync(saved)) fs.rmSync(saved);
        await clickSeen(rows.nth(at));
        await clickSeen(button('Download'));
        await waitFor(() => fs.existsSync(saved) && fs.readFileSync(saved, 'utf8').length > 0, `the download of row ${at}`, 60000);
        fetched.add(fs.readFileSync(saved, 'utf8'));
        await screen(`downloaded-${at}`);
      }
      assert.deepEqual([...fetched].sort(), [contents.latin1, contents.utf8].sort());
    } catch (e) {
      fs.mkdirSync(dir, { recursive: true });
      await page.screenshot({ path: path.join(dir, 'at-failure.png') }).catch(() => {});
      throw new Error(`${e.message}\nsshd: ${peer.log().slice(-3000)}`);
    }
    const distinct = [...new Set(problems.map((p) => p.replace(/\?t=[0-9a-f]+/, '')))];
    assert.equal(distinct.length, 0, `what a person meets:\n${distinct.join('\n')}`);
  });
}

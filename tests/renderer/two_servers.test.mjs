// Two files of one name on two servers, edited as a person does with the mouse and the keyboard
// only (each click checked to land on what lies there), across stops of the program: no server
// gets another's file, nothing pending is lost.
// - Tablet: FTP server A's docs/edit-a.txt in one tab and the SFTP server's docs/edit-a.txt in
//   another, a line typed in each, the program stopped (SIGTERM) and started again: "Edit File(s)"
//   shows each tab its own text, and Save on the SFTP tab sends the SFTP text to the SFTP server.
// - Phone: A's file typed in, the program stopped, A stopped. At the next start "Edit File" finds
//   A down; B's file of that name opened with "Replace" asks first whether to give up A's changes,
//   and leaves A's typed text alone meanwhile; with A up again its "Edit File" goes back to A's
//   file with the typed text; after a crash (SIGKILL) "Edit File" at the start shows A's text on
//   A and Save sends it to A, B's file untouched.
// pyftpdlib A and B (one user with a password) and OpenSSH's sshd (an account made for the test)
// on loopback. Screenshots go to $RENDERER_ARTEFACTS/two-servers-<profile>.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  clickSeen, session, startFtpServerAt, startProgram, stopChild, typeInto, waitFor, artefacts, profiles, fileNow, scaled,
} from '../support/person.mjs';
import { makeAccount, removeAccount, startSshd } from '../support/sshd.mjs';

const account = makeAccount();
after(() => removeAccount(account));

// A folder served by a test: "docs/edit-a.txt" holding `text`, writable by anyone.
function servedFolder(t, text, base = os.tmpdir()) {
  const root = fs.mkdtempSync(path.join(base, 'ferrowen-two-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  fs.chmodSync(root, 0o777);
  fs.mkdirSync(path.join(root, 'docs'), { mode: 0o777 });
  fs.chmodSync(path.join(root, 'docs'), 0o777);
  fs.writeFileSync(path.join(root, 'docs', 'edit-a.txt'), text, { mode: 0o666 });
  fs.chmodSync(path.join(root, 'docs', 'edit-a.txt'), 0o666);
  return root;
}

const settingsOf = (home) => JSON.parse(fs.readFileSync(path.join(home, 'Preferences.json'), 'utf8'));

// The person's moves on the FTP tab, for a session `s`.
function person(s, profile) {
  const { page } = s;
  // What is shown of the device, whichever layer is in front (the editor's row of extra keys is a
  // layer of its own on the tablet).
  const shown = (locator) => locator.filter({ visible: true });
  const field = (name) => shown(page.locator('#screen').getByLabel(name, { exact: true }));
  const button = (name) => shown(page.locator('#screen').getByRole('button', { name, exact: true }));
  const row = (name) => shown(page.locator(`#screen .cell[aria-label="${name}"]`));
  const text = page.locator('#screen textarea').filter({ visible: true }).first();
  const alert = (title) => page.locator('.alert', { hasText: title });
  const answer = (box, name) => clickSeen(box.getByRole('button', { name, exact: true }));
  return {
    text,
    button,
    shown,
    alert,
    answer,
    async connect(server, user, password, protocol = 'FTP') {
      await clickSeen(shown(page.locator('#screen [role=tablist] button.seg', { hasText: new RegExp(`^${protocol}$`) })));
      await typeInto(field('Server'), server);
      await typeInto(field('User Name'), user);
      await typeInto(field('Password'), password);
      await clickSeen(button('Connect'));
    },
    // Back to the connect screen the way a person goes: a folder's way back (the first folder's
    // is "Disconnect").
    async toConnectScreen() {
      const server = field('Server');
      await waitFor(async () => {
        if ((await server.count()) && (await server.isVisible())) return true;
        const back = shown(page.locator('#screen .navbar .back'));
        if (await back.count()) await clickSeen(back.first());
        await page.waitForTimeout(700);
        return false;
      }, 'the connect screen', 60000);
    },
    // Into "docs", edit-a.txt checked and opened with Edit; "Saved File Exists" answered with
    // `replace` when asked. Resolves once the editor shows `expected`.
    async open(expected, replace) {
      await row('docs').waitFor({ timeout: scaled(60000) });
      await clickSeen(row('docs'));
      await row('edit-a.txt').waitFor({ timeout: scaled(60000) });
      // A tap checks the row (a second tap unchecks it): tapped until Edit shows.
      for (let tries = 0; tries < 3 && !(await button('Edit').count()); tries++) {
        await clickSeen(row('edit-a.txt'));
        await waitFor(async () => (await button('Edit').count()) > 0, 'the Edit button', 3000).catch(() => {});
      }
      await clickSeen(button('Edit'));
      const exists = alert('Saved File Exists');
      await waitFor(async () => (await exists.count()) > 0 || ((await text.count()) && (await text.inputValue()) === expected),
        'the download', 60000);
      if (await exists.count()) {
        assert.ok(replace, 'Saved File Exists asked unexpectedly');
        await answer(exists, replace);
      }
      await waitFor(async () => (await text.count()) && (await text.inputValue()) === expected, `"${expected}" in the editor`, 60000);
    },
    async typeAtTop(line) {
      const before = await text.inputValue();
      await clickSeen(text);
      await page.keyboard.press('Control+Home');
      await page.keyboard.type(line);
      await waitFor(async () => (await text.inputValue()) === line + before, 'the typed line');
    },
    async save() {
      await clickSeen(button('Save'));
      const confirm = alert('Confirm File Save');
      await confirm.waitFor();
      await answer(confirm, 'Save');
    },
    async close() {
      await clickSeen(button(profile === 'phone' ? 'Cancel' : 'Close File'));
      await waitFor(async () => !(await text.count()), 'the editor closed', 10000);
    },
    // The program stopped (`signal`) and started again on its home; the page opens it.
    async restart(child, signal = 'SIGTERM', env = {}) {
      await page.goto('about:blank');
      if (signal === 'SIGKILL') {
        const ended = new Promise((resolve) => child.once('exit', resolve));
        child.kill('SIGKILL');
        await ended;
      } else {
        await stopChild(child);
      }
      const again = await startProgram(s.t, { ...env, FERROWEN_HOME: s.home });
      await page.goto(again.address);
      return again;
    },
  };
}

// The program on `profileName` (a fresh home) with a browser on its page, for `run` (the session,
// the person's moves and the profile's environment); screenshots in two-servers-<profile>.
async function inSession(t, profileName, run) {
  const [profile, viewport, env] = profiles.find(([name]) => name === profileName);
  await session(t, {
    chromium, suite: 'two-servers', dir: path.join(artefacts, `two-servers-${profile}`), viewport, env,
    run: async (s) => {
      s.t = t;
      await run(s, person(s, profile), env);
    },
  });
}

test('tablet: an FTP tab and an SFTP tab of one name each keep and save their own text', async (t) => {
  const login = { user: 'ann', password: crypto.randomBytes(9).toString('hex') };
  const rootA = servedFolder(t, "A's text\n");
  // A short folder name, as a person's folder has: the screen's title shows the path.
  const served = servedFolder(t, "S's text\n", '/tmp');
  const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-two-keys-'));
  t.after(() => fs.rmSync(keysDir, { recursive: true, force: true }));
  const a = await startFtpServerAt(t, rootA, 1 << 30, login);
  const sshd = await startSshd(t, keysDir);
  await inSession(t, 'tablet', async (s, p, env) => {
    await p.connect(`127.0.0.1:${a.port}`, login.user, login.password);
    await p.open("A's text\n");
    await p.typeAtTop('ftp line\n');
    await p.toConnectScreen();
    await p.connect(`sftp://127.0.0.1:${sshd.port}${served}`, account.name, account.password, 'SFTP');
    await p.open("S's text\n");
    await p.typeAtTop('sftp line\n');
    await s.screen('two-tabs-typed');

    const again = await p.restart(s.app.child, 'SIGTERM', env);
    const ask = p.alert('Continue Editing?');
    await ask.waitFor({ timeout: scaled(30000) });
    await p.answer(ask, 'Edit File(s)');
    // Each tab shows its own text.
    const tabs = s.page.locator('.tab[aria-label="edit-a.txt"]');
    await waitFor(async () => (await tabs.count()) === 2, 'two file tabs', 30000);
    // A tab clicked, once it is the one shown: its editor's text.
    const select = async (i) => {
      await clickSeen(tabs.nth(i));
      await waitFor(async () => /\bselected\b/.test((await tabs.nth(i).getAttribute('class')) || ''), 'the tab shown', 10000);
      await s.page.waitForTimeout(300);
      return p.text.inputValue();
    };
    const shown = {};
    for (let i = 0; i < 2; i++) {
      const kind = (await select(i)).startsWith('sftp') ? 'sftp' : 'ftp';
      shown[kind] = i;
      await s.screen(`reopened-${kind}`);
    }
    assert.deepEqual(Object.keys(shown).sort(), ['ftp', 'sftp']);
    assert.equal(await select(shown.ftp), "ftp line\nA's text\n", 'the FTP tab\'s own text');
    assert.equal(await select(shown.sftp), "sftp line\nS's text\n", 'the SFTP tab\'s own text');

    // Save on the SFTP tab: its own text, to its own server.
    await p.save();
    const onServer = path.join(served, 'docs', 'edit-a.txt');
    await waitFor(() => fileNow(onServer, 'utf8') === "sftp line\nS's text\n", 'the save on the SFTP server', 60000);
    assert.equal(fs.readFileSync(path.join(rootA, 'docs', 'edit-a.txt'), 'utf8'), "A's text\n");
    await s.screen('sftp-tab-saved');
    await s.page.goto('about:blank');
    await stopChild(again.child);
  });
});

test('phone: a pending edit of A is never given up unasked, and B\'s file of its name leads back to it', async (t) => {
  const login = { user: 'ann', password: crypto.randomBytes(9).toString('hex') };
  const rootA = servedFolder(t, "A's text\n");
  const rootB = servedFolder(t, "B's text\n");
  let a = await startFtpServerAt(t, rootA, 1 << 30, login);
  const b = await startFtpServerAt(t, rootB, 1 << 30, login);
  await inSession(t, 'phone', async (s, p, env) => {
    await p.connect(`127.0.0.1:${a.port}`, login.user, login.password);
    await p.open("A's text\n");
    await p.typeAtTop('typed on A\n');
    await s.screen('typed-on-a');
    const pendingText = "typed on A\nA's text\n";

    // Stopped, and A goes down: the next start's "Edit File" cannot reach it.
    await a.stop();
    let run = await p.restart(s.app.child, 'SIGTERM', env);
    const ask = p.alert('Continue Editing File?');
    await ask.waitFor({ timeout: scaled(30000) });
    await p.answer(ask, 'Edit File');
    const pending = settingsOf(s.home).EditingFTPFile;
    assert.equal(fs.readFileSync(pending, 'utf8'), pendingText);
    // Told, and left for the connect screen.
    const refused = p.alert('Error Connecting to FTP Server');
    await refused.waitFor({ timeout: scaled(60000) });
    await s.screen('a-refused');
    await p.answer(refused, 'OK');
    await refused.waitFor({ state: 'detached' });
    await p.toConnectScreen();

    // B's file of that name, its Saved Files copy replaced: before anything is typed in it, the
    // person hears that A's changes would be given up. A's record and typed text stay meanwhile.
    await p.connect(`127.0.0.1:${b.port}`, login.user, login.password);
    await p.open("B's text\n", 'Replace');
    const giveUp = p.alert('Continue Editing File?');
    await giveUp.waitFor({ timeout: scaled(10000) });
    assert.match(await giveUp.textContent(), new RegExp(`"edit-a\\.txt" have not been saved to 127\\.0\\.0\\.1:${a.port}\\.`));
    await s.screen('b-asks');
    assert.equal(fs.readFileSync(pending, 'utf8'), pendingText, 'A\'s copy after B\'s "Replace"');
    assert.equal(settingsOf(s.home).EditingFTPFile, pending);

    // A is up again: "Edit File" closes B's file and goes back to A's, with what was typed.
    a = await startFtpServerAt(t, rootA, 1 << 30, login, a.port);
    await p.answer(giveUp, 'Edit File');
    await waitFor(async () => (await p.text.count()) && (await p.text.inputValue()) === pendingText,
      'A\'s typed text back in the editor', 60000);
    await s.screen('back-to-a');
    assert.equal(settingsOf(s.home).EditingFTPFile, pending);

    // A crash (SIGKILL) keeps it too: "Edit File" at the next start shows A's text, on A; Save sends
    // it to A, and B's file stays B's.
    run = await p.restart(run.child, 'SIGKILL', env);
    const again = p.alert('Continue Editing File?');
    await again.waitFor({ timeout: scaled(30000) });
    await p.answer(again, 'Edit File');
    await waitFor(async () => (await p.text.count()) && (await p.text.inputValue()) === pendingText,
      'A\'s typed text reopened', 60000);
    await s.screen('a-reopened');
    await p.save();
    await waitFor(() => fileNow(path.join(rootA, 'docs', 'edit-a.txt'), 'utf8') === pendingText,
      'the save on A', 60000);
    assert.equal(fs.readFileSync(path.join(rootB, 'docs', 'edit-a.txt'), 'utf8'), "B's text\n");
    await s.screen('a-saved');
    await s.page.goto('about:blank');
    await stopChild(run.child);
  });
});

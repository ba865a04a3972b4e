// What the editor does with typed text when the file's fate is decided elsewhere, on the phone and
// on the tablet, with the mouse and the keyboard only (each click checked to land on what lies
// there):
// - a Cloud Files document replaced by another program while text is typed into it: the editor
//   asks, and the typed text stays when kept; then the document removed by another program: the
//   editor stays with the text, says so, and "Save Again" writes the text back;
// - a Cloud Files document edited, the program killed, then written by another program: the next
//   start's Save asks "File Changed" before anything goes over what that program wrote;
// - a Cloud Files document whose Save waits for another program's lock, discarded meanwhile: once
//   the lock goes, the document still holds what it held;
// - a server's file saved while its server goes away during the upload: the save waits in
//   Transfers for the server ("Waiting for the server: ..."), and arrives once the server is back
//   (pyftpdlib on loopback, stopped and started again on its port).
//   Then another file of the server edited is the one the next start offers, after a kill: the
//   delivered save left no record behind;
// - a server's file saved over SFTP while the server is cut off during the upload (a relay in
//   front of OpenSSH's sshd closes every connection after 32,000 bytes and refuses new ones): the
//   phone says the save waits in Transfers, the row waits for the server, the queue is not paused,
//   and the file arrives by itself once the server is back.
// Screenshots go to $RENDERER_ARTEFACTS/editor-elsewhere-<profile>.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, clickSeen, connectAnonymousFtp, fileNow, keptTextNow, killAndStartAgain, newPage, profiles, scaled,
  session, startFtpServerAt, startProgram, stopChild, timeScale, waitFor, watch,
} from '../support/person.mjs';
import { claimedPort } from '../support/ports.mjs';
import { makeAccount, removeAccount, startSshd } from '../support/sshd.mjs';

const account = makeAccount('ferrowen-w');
after(() => removeAccount(account));

// A relay on its own loopback port in front of `target`: once `cutAfter(n)` more bytes have gone
// from the clients to the server, every connection is closed and the port refuses new ones, until
// `back()` listens on it again.
async function cutRelay(t, target) {
  const port = await claimedPort();
  const sockets = new Set();
  let server = null, sent = 0, cutAt = 0, cut = false;
  const cutOff = () => {
    cut = true;
    cutAt = 0;
    for (const sock of sockets) sock.destroy();
    sockets.clear();
    server.close();
  };
  const listen = () => new Promise((resolve, reject) => {
    server = net.createServer((client) => {
      const upstream = net.connect(target, '127.0.0.1');
      sockets.add(client);
      sockets.add(upstream);
      client.on('data', (d) => {
        upstream.write(d);
        sent += d.length;
        if (cutAt > 0 && sent >= cutAt) cutOff();
      });
      upstream.on('data', (d) => client.write(d));
      for (const [a, b] of [[client, upstream], [upstream, client]]) {
        a.on('error', () => b.destroy());
        a.on('close', () => { b.destroy(); sockets.delete(a); });
      }
    });
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  await listen();
  t.after(() => { for (const sock of sockets) sock.destroy(); server.close(); });
  return {
    port,
    cutAfter: (bytes) => { sent = 0; cutAt = bytes; },
    isCut: () => cut,
    back: async () => { cut = false; await listen(); },
  };
}

// Another program, not this test's own process, changes the file.
function elsewhere(command, ...args) {
  const done = spawnSync(command, args, { stdio: 'pipe' });
  assert.equal(done.status, 0, `${command} ${args.join(' ')}: ${done.stderr}`);
}

// What the page shows now (the tablet's editor beside the main tabs holds a layer of its own).
function handles(page) {
  return {
    text: page.locator('#screen textarea').filter({ visible: true }).first(),
    alert: (title) => page.locator('.alert', { hasText: title }),
    answer: (box, name) => clickSeen(box.getByRole('button', { name, exact: true })),
    // The editor's own buttons (its keys' bar may be the layer in front).
    button: (name) => page.locator('#screen').getByRole('button', { name, exact: true }).filter({ visible: true }),
  };
}

// Opens the checked row's file in the editor and types a line at its start.
// `another`: a row other than this one may be chosen still (its Edit button shows): this row is
// chosen first.
async function editAndType(s, name, original, line, another = false) {
  const { page } = s;
  const { text } = handles(page);
  if (another) {
    await clickSeen(s.row(name));
    await new Promise((resolve) => setTimeout(resolve, scaled(1000)));
  }
  for (let tries = 0; tries < 3 && !(await s.button('Edit').count()); tries++) {
    await clickSeen(s.row(name));
    await waitFor(async () => (await s.button('Edit').count()) > 0, 'the Edit button', 3000).catch(() => {});
  }
  await clickSeen(s.button('Edit'));
  await waitFor(async () => (await text.count()) && (await text.inputValue()) === original,
    'the file in the editor', 30000);
  await clickSeen(text);
  await page.keyboard.press('Control+Home');
  await page.keyboard.type(line);
  await waitFor(async () => (await text.inputValue()) === line + original, 'the typed line');
}

for (const [profile, viewport, env] of profiles) {
  const dir = path.join(artefacts, `editor-elsewhere-${profile}`);

  test(`${profile}: a cloud document changed and removed elsewhere keeps the typed text`, async (t) => {
    const original = 'cloud line\n', typed = `typed line\n${original}`;
    let file = '';
    await session(t, {
      chromium, suite: 'editor-elsewhere', dir, viewport, env,
      prepare: (home) => {
        fs.mkdirSync(path.join(home, 'Cloud'), { recursive: true });
        file = path.join(home, 'Cloud', 'c.txt');
        fs.writeFileSync(file, original);
      },
      run: async (s) => {
        const { page, front } = s;
        const { text, alert, answer } = handles(page);
        await s.tab('Saved Files');
        await clickSeen(s.row('Cloud Files'));
        await front().locator('.navbar', { hasText: 'Cloud Files' }).waitFor();
        await s.row('c.txt').waitFor({ timeout: scaled(20000) });
        await editAndType(s, 'c.txt', original, 'typed line\n');

        // Replaced by another program: asked, and nothing typed is gone meanwhile.
        elsewhere('/bin/sh', '-c', 'printf "other line\\n" > "$1.new" && mv "$1.new" "$1"', 'sh', file);
        const changed = alert('File Changed');
        await changed.waitFor({ timeout: scaled(20000) });
        assert.match(await changed.textContent(), /"c\.txt" was changed outside the editor/);
        assert.equal(await text.inputValue(), typed, 'the typed text while asked');
        await s.screen('changed-asks');
        await answer(changed, 'Keep Typed Text');
        await changed.waitFor({ state: 'detached' });
        assert.equal(await text.inputValue(), typed, 'the typed text kept');
        assert.equal(fs.readFileSync(file, 'utf8'), 'other line\n');

        // Removed by another program: the editor stays with the text and offers to save it again.
        elsewhere('rm', file);
        const removed = alert('File Removed');
        await removed.waitFor({ timeout: scaled(20000) });
        assert.match(await removed.textContent(), /"c\.txt" was removed outside the editor/);
        assert.equal(await text.inputValue(), typed, 'the typed text after the removal');
        await s.screen('removed-asks');
        await answer(removed, 'Save Again');
        await waitFor(() => fileNow(file, 'utf8') === typed, 'the text saved again', 20000);
        await waitFor(async () => !(await text.count()), 'the editor closed', 20000);
        await s.screen('saved-again');
      },
    });
  });

  test(`${profile}: a save whose server goes away during the upload waits for it and arrives`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-editor-elsewhere-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    const note = path.join(served, 'note.txt');
    // Large enough that the server, taking 16 KB a second, is still receiving it when it stops.
    const original = Array.from({ length: 12000 }, (_, i) => `line ${i}\n`).join('');
    const typed = `typed line\n${original}`;
    fs.writeFileSync(note, original);
    let server = await startFtpServerAt(t, served, 1 << 30, undefined, 0, 16 << 10);
    await session(t, {
      chromium, suite: 'editor-elsewhere', dir, viewport, env,
      run: async (s) => {
        const { page, front } = s;
        const { alert, answer, button } = handles(page);
        await connectAnonymousFtp(s, server.port, 'note.txt');
        await editAndType(s, 'note.txt', original, 'typed line\n');
        await clickSeen(button('Save'));
        const confirm = alert('Confirm File Save');
        await confirm.waitFor();
        await answer(confirm, 'Save');
        // Part of it has arrived (under the upload's own name): the server goes away.
        await waitFor(() => fs.readdirSync(served).some((name) => name !== 'note.txt' &&
          fs.statSync(path.join(served, name)).size > 0), 'the upload under way', 30000);
        await server.stop();

        // The save waits in Transfers, saying why, and arrives once the server is back.
        await s.tab('Transfers');
        const waiting = front().locator('.cell', { hasText: 'note.txt' });
        const line = waiting.locator('.v-label', { hasText: /^Waiting for the server: / });
        await line.waitFor({ state: 'visible', timeout: scaled(60000) });
        await s.screen('save-waits');
        // Meanwhile another file is put on the server, to be edited later.
        fs.writeFileSync(path.join(served, 'other.txt'), 'other line\n');
        server = await startFtpServerAt(t, served, 1 << 30, undefined, server.port);
        await waitFor(() => fileNow(note, 'utf8') === typed, 'the save on the server', 180000);
        await waitFor(async () => !(await waiting.count()), 'the row done', 30000);
        await s.screen('save-arrived');
        // The FTP tab is usable again, on the folder of the file.
        await s.tab('FTP');
        await s.row('note.txt').waitFor({ timeout: scaled(30000) });
        await s.screen('ftp-after');

        // Another file edited now is kept for the next start: the save that arrived through
        // Transfers left no record in its way. The page goes away (which keeps the edit), the
        // program is killed, and the next start offers that file with what was typed.
        await s.row('other.txt').waitFor({ timeout: scaled(30000) });
        await editAndType(s, 'other.txt', 'other line\n', 'more ', true);
        await s.screen('other-typed');
        const browser = page.context().browser();
        await page.close();
        await waitFor(() => recordedText(s.home) === 'more other line\n', 'the other edit recorded', 10000);
        const ended = new Promise((resolve) => s.app.child.once('exit', resolve));
        s.app.child.kill('SIGKILL');
        await ended;
        const again = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
        const next = await newPage(browser, { viewport });
        const problems = [];
        watch(next, problems);
        t.after(() => next.close().catch(() => {}));
        const reopened = handles(next);
        await next.goto(again.address);
        const ask = reopened.alert(profile === 'phone' ? 'Continue Editing File?' : 'Continue Editing?');
        await ask.waitFor({ timeout: scaled(30000) });
        if (profile === 'phone') assert.match(await ask.textContent(), /"other\.txt" was being edited/);
        await reopened.answer(ask, profile === 'phone' ? 'Edit File' : 'Edit File(s)');
        await waitFor(async () => (await reopened.text.count()) && (await reopened.text.inputValue()) === 'more other line\n',
          'the other file reopened with what was typed', 30000);
        fs.mkdirSync(dir, { recursive: true });
        await next.screenshot({ path: path.join(dir, 'other-reopened.png') });
        assert.deepEqual(problems, []);
      },
    });
  });

  test(`${profile}: an SFTP save whose server is cut off during the upload waits for it and arrives`, async (t) => {
    const keys = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-editor-elsewhere-keys-'));
    const served = fs.mkdtempSync('/tmp/w-');
    t.after(() => fs.rmSync(keys, { recursive: true, force: true }));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.chmodSync(served, 0o777);
    const note = path.join(served, 'note.txt');
    const original = Array.from({ length: 12000 }, (_, i) => `line ${i}\n`).join('');
    const typed = `typed line\n${original}`;
    fs.writeFileSync(note, original);
    fs.chmodSync(note, 0o666);
    const sshd = await startSshd(t, keys);
    const relay = await cutRelay(t, sshd.port);
    await session(t, {
      chromium, suite: 'editor-elsewhere', dir, viewport, env,
      run: async (s) => {
        const { page, front } = s;
        const { alert, answer, button } = handles(page);
        for (const [field, text] of [['Server', `sftp://127.0.0.1:${relay.port}${served}`], ['User Name', account.name],
          ['Password', account.password]]) {
          await clickSeen(front().getByLabel(field));
          await page.keyboard.type(text);
        }
        await clickSeen(s.button('Connect'));
        await s.row('note.txt').waitFor({ timeout: scaled(60000) });
        await editAndType(s, 'note.txt', original, 'typed line\n');
        relay.cutAfter(32000);
        await clickSeen(button('Save'));
        const confirm = alert('Confirm File Save');
        await confirm.waitFor();
        await answer(confirm, 'Save');
        await waitFor(() => relay.isCut(), 'the server cut off during the upload', 30000);

        if (profile === 'phone') {
          // Told where the save is.
          const told = alert('File Not Saved');
          await told.waitFor({ timeout: scaled(30000) });
          assert.match(await told.textContent(), /"note\.txt" could not be sent back to the server\. It waits in Transfers to be sent again\./);
          await s.screen('sftp-save-told');
          await answer(told, 'OK');
          await told.waitFor({ state: 'detached' });
        }
        // The save waits in Transfers for its server, and the queue is not paused.
        await s.tab('Transfers');
        const waiting = front().locator('.cell', { hasText: 'note.txt' });
        const line = waiting.locator('.v-label', { hasText: /^Waiting for the server: / });
        await line.waitFor({ state: 'visible', timeout: scaled(60000) });
        await front().getByLabel('Pause', { exact: true }).waitFor();
        assert.equal(await front().getByLabel('Play', { exact: true }).count(), 0);
        await s.screen('sftp-save-waits');
        await relay.back();
        // Back: it arrives with no Play pressed.
        await waitFor(() => fileNow(note, 'utf8') === typed, 'the save on the server', 180000);
        await waitFor(async () => !(await waiting.count()), 'the row done', 30000);
        await s.screen('sftp-save-arrived');
      },
    });
  });

  // Opens Cloud Files with its documents listed.
  async function openCloudFiles(s, name) {
    await s.tab('Saved Files');
    await clickSeen(s.row('Cloud Files'));
    await s.front().locator('.navbar', { hasText: 'Cloud Files' }).waitFor();
    await s.row(name).waitFor({ timeout: scaled(20000) });
  }

  test(`${profile}: a cloud document written while the program was down is not saved over unasked`, async (t) => {
    const original = 'cloud line\n', typed = `typed line\n${original}`;
    let file = '';
    await session(t, {
      chromium, suite: 'editor-elsewhere', dir, viewport, env,
      prepare: (home) => {
        fs.mkdirSync(path.join(home, 'Cloud'), { recursive: true });
        file = path.join(home, 'Cloud', 'k.txt');
        fs.writeFileSync(file, original);
      },
      run: async (s) => {
        await openCloudFiles(s, 'k.txt');
        await editAndType(s, 'k.txt', original, 'typed line\n');
        await waitFor(() => keptTextNow(s.home) === typed, 'the typed text kept', 10000);

        const next = await killAndStartAgain(t, s, env, viewport);
        elsewhere('/bin/sh', '-c', 'printf "other program\\n" > "$1.new" && mv "$1.new" "$1"', 'sh', file);
        const h = handles(next.page);
        const ask = h.alert(profile === 'phone' ? 'Continue Editing File?' : 'Continue Editing?');
        await ask.waitFor({ timeout: scaled(30000) });
        await h.answer(ask, profile === 'phone' ? 'Edit File' : 'Edit File(s)');
        await waitFor(async () => (await h.text.count()) && (await h.text.inputValue()) === typed,
          'the typed text reopened', 30000);
        await clickSeen(h.button('Save'));
        const changed = h.alert('File Changed');
        await changed.waitFor({ timeout: scaled(20000) });
        assert.match(await changed.textContent(), /"k\.txt" was changed outside the editor/);
        assert.equal(fs.readFileSync(file, 'utf8'), 'other program\n', 'saved over unasked');
        fs.mkdirSync(dir, { recursive: true });
        await next.page.screenshot({ path: path.join(dir, 'changed-while-down.png') });
        if (profile === 'phone') {
          // The typed text kept over the other program's: the save goes on.
          await h.answer(changed, 'Keep Typed Text');
          await waitFor(() => fileNow(file, 'utf8') === typed, 'the typed text saved', 20000);
          await waitFor(async () => !(await h.text.count()), 'the editor closed', 20000);
        } else {
          await h.answer(changed, 'Take the File');
          await waitFor(async () => (await h.text.inputValue()) === 'other program\n', 'the file taken', 20000);
          assert.equal(fs.readFileSync(file, 'utf8'), 'other program\n');
        }
        await next.page.screenshot({ path: path.join(dir, 'changed-while-down-answered.png') });
        assert.deepEqual(next.problems, []);
      },
    });
  });

  test(`${profile}: a save waiting for another program's lock writes nothing once discarded`, async (t) => {
    const original = 'cloud line\n';
    let file = '';
    await session(t, {
      chromium, suite: 'editor-elsewhere', dir, viewport, env,
      prepare: (home) => {
        fs.mkdirSync(path.join(home, 'Cloud'), { recursive: true });
        file = path.join(home, 'Cloud', 'l.txt');
        fs.writeFileSync(file, original);
      },
      run: async (s) => {
        const { page } = s;
        const { text, alert, answer, button } = handles(page);
        await openCloudFiles(s, 'l.txt');
        await editAndType(s, 'l.txt', original, 'discarded line\n');
        // Another program reads the document under its lock, for as long as it likes.
        const other = spawn('python3', ['-c', 'import fcntl, sys, time\nf = open(sys.argv[1])\n'
          + 'fcntl.flock(f, fcntl.LOCK_SH)\nprint("locked", flush=True)\ntime.sleep(600)', file],
        { stdio: ['ignore', 'pipe', 'pipe'] });
        t.after(() => stopChild(other));
        let said = '';
        other.stdout.on('data', (d) => { said += d; });
        await waitFor(() => said.includes('locked'), 'the other program holding its lock', 10000);
        await clickSeen(button('Save'));
        await waitFor(async () => await button('Save').isDisabled(), 'Save waiting', 10000);
        await s.screen('save-waits-for-lock');
        await clickSeen(button(profile === 'phone' ? 'Cancel' : 'Close File'));
        const discard = alert('Cancel Editing?');
        await discard.waitFor({ timeout: scaled(10000) });
        await answer(discard, 'Yes, Discard');
        await waitFor(async () => !(await text.count()), 'the editor closed', 10000);
        await stopChild(other);
        // The waiting write has the lock now: a moment for it to do what it would.
        await page.waitForTimeout(3000 * timeScale);
        assert.equal(fs.readFileSync(file, 'utf8'), original, 'the discarded text was written');
        await s.screen('discarded-while-waiting');
      },
    });
  });
}

// The text of the edit the record names, from the settings file: a file tab's or the phone's.
function recordedText(home) {
  const settings = JSON.parse(fs.readFileSync(path.join(home, 'Preferences.json'), 'utf8'));
  for (const [key, value] of Object.entries(settings))
    if (/EditingFTPFile$/.test(key) && value && fs.existsSync(value)) {
      const text = fs.readFileSync(value, 'utf8');
      if (text.startsWith('more ')) return text;
    }
  return '';
}

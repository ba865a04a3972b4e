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
// Screenshots go to $RENDERER_ARTEFACTS/editor-elsewhere-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, clickSeen, connectAnonymousFtp, fileNow, keptTextNow, killAndStartAgain, profiles, scaled, session,
  startFtpServerAt, stopChild, timeScale, waitFor,
} from '../support/person.mjs';

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
async function editAndType(s, name, original, line) {
  const { page } = s;
  const { text } = handles(page);
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
        server = await startFtpServerAt(t, served, 1 << 30, undefined, server.port);
        await waitFor(() => fileNow(note, 'utf8') === typed, 'the save on the server', 180000);
        await waitFor(async () => !(await waiting.count()), 'the row done', 30000);
        await s.screen('save-arrived');
        // The FTP tab is usable again, on the folder of the file.
        await s.tab('FTP');
        await s.row('note.txt').waitFor({ timeout: scaled(30000) });
        await s.screen('ftp-after');
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

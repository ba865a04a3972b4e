// What the editor does with typed text when the file's fate is decided elsewhere, on the phone and
// on the tablet, with the mouse and the keyboard only (each click checked to land on what lies
// there):
// - a Cloud Files document replaced by another program while text is typed into it: the editor
//   asks, and the typed text stays when kept; then the document removed by another program: the
//   editor stays with the text, says so, and "Save Again" writes the text back;
// - a server's file saved while its server goes away during the upload: the save waits in
//   Transfers for the server ("Waiting for the server: ..."), and arrives once the server is back
//   (pyftpdlib on loopback, stopped and started again on its port).
// Screenshots go to $RENDERER_ARTEFACTS/editor-elsewhere-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, clickSeen, connectAnonymousFtp, fileNow, profiles, scaled, session, startFtpServerAt, waitFor,
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
}

// The editor's state as a person meets it across a stop of the program, on the phone and on the
// tablet, with the mouse and the keyboard only (each click checked to land on what lies there),
// against pyftpdlib on loopback (one user with a password) and a file in its folder "docs":
// - a search shows the keyboard, which begins editing: closing the editor then asks before
//   discarding;
// - text typed, then the program stopped (SIGTERM): the next start's "Edit File(s)" reopens the
//   file with the typed text, and closing it asks before throwing that away ("No" keeps it);
// - Save sends it to the server and no record of it is left; on the phone the folder screen under
//   the editor is titled "docs" and its Back leads to "/", which lists "docs".
// Screenshots go to $RENDERER_ARTEFACTS/editor-state-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  clickSeen, session, startFtpServer, startProgram, stopChild, typeInto, waitFor, artefacts, profiles, fileNow, scaled,
} from '../support/person.mjs';

// The edit records the settings file holds: every "...Editing..." key with a value.
function editRecords(home) {
  const settings = JSON.parse(fs.readFileSync(path.join(home, 'Preferences.json'), 'utf8'));
  return Object.entries(settings)
    .filter(([key, value]) => /Editing(FTPFile|FileName|ServerAddress|UserPass)$/.test(key) && value)
    .map(([key, value]) => `${key}=${value}`);
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: typed text outlives a stop, and only changes are asked about`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-editor-state-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.mkdirSync(path.join(served, 'docs'));
    const note = path.join(served, 'docs', 'note.txt');
    fs.writeFileSync(note, 'first line\n');
    const login = { user: 'ann', password: crypto.randomBytes(9).toString('hex') };
    const ftpPort = await startFtpServer(t, served, 1 << 30, login);
    const dir = path.join(artefacts, `editor-state-${profile}`);
    await session(t, {
      chromium, suite: 'editor-state', dir, viewport, env,
      run: async (s) => {
        const { page, front, row } = s;
        const field = (name) => front().getByLabel(name, { exact: true });
        const text = page.locator('#screen textarea').filter({ visible: true }).first();
        const close = () => clickSeen(s.button(profile === 'phone' ? 'Cancel' : 'Close File'));
        const alert = (title) => page.locator('.alert', { hasText: title });
        const answer = (box, name) => clickSeen(box.getByRole('button', { name, exact: true }));
        const openNote = async () => {
          await row('note.txt').waitFor({ timeout: scaled(30000) });
          // A tap checks the row (a second tap on a checked row unchecks it): tapped until Edit shows.
          for (let tries = 0; tries < 3 && !(await s.button('Edit').count()); tries++) {
            await clickSeen(row('note.txt'));
            await waitFor(async () => (await s.button('Edit').count()) > 0, 'the Edit button', 3000).catch(() => {});
          }
          await clickSeen(s.button('Edit'));
          // The first download left its copy in Saved Files: the server's file replaces it.
          const exists = alert('Saved File Exists');
          await waitFor(async () => (await exists.count()) > 0 || (await text.count()) > 0, 'the download', 30000);
          if (await exists.count()) await answer(exists, 'Replace');
          await waitFor(async () => (await text.count()) && (await text.inputValue()) === 'first line\n',
            'the file in the editor', 30000);
        };

        await typeInto(field('Server'), `127.0.0.1:${ftpPort}`);
        await typeInto(field('User Name'), login.user);
        await typeInto(field('Password'), login.password);
        await clickSeen(s.button('Connect'));
        await row('docs').waitFor({ timeout: scaled(30000) });
        await clickSeen(row('docs'));
        await openNote();

        // A search shows the keyboard, which begins editing: closing then asks, though nothing was
        // typed, and "Yes, Discard" closes the editor.
        await clickSeen(front().getByRole('button', { name: 'Find', exact: true }).filter({ visible: true }));
        await typeInto(page.getByLabel('Find Text', { exact: true }).filter({ visible: true }), 'line');
        await clickSeen(page.getByRole('button', { name: 'Find Next', exact: true }).filter({ visible: true }));
        await waitFor(async () => (await text.getAttribute('data-sel')) === '6,4', 'the word found', 10000);
        await page.keyboard.press('Escape');
        await close();
        const begun = alert('Cancel Editing?');
        await begun.waitFor({ timeout: scaled(10000) });
        await s.screen('close-after-search');
        await answer(begun, 'Yes, Discard');
        await waitFor(async () => !(await text.count()), 'the editor closed after the discard', 10000);

        // Typed, then the program is stopped.
        await openNote();
        await clickSeen(text);
        await page.keyboard.press('Control+Home');
        await page.keyboard.type('typed line\n');
        await waitFor(async () => (await text.inputValue()) === 'typed line\nfirst line\n', 'the typed line');
        await s.screen('typed');
        await page.goto('about:blank');
        await stopChild(s.app.child);
        // The working file its record names, in the temporary folder, under the file's name.
        const working = Object.entries(JSON.parse(fs.readFileSync(path.join(s.home, 'Preferences.json'), 'utf8')))
          .find(([key, value]) => /EditingFTPFile$/.test(key) && value)[1];
        assert.ok(working.startsWith(path.join(s.home, 'tmp') + '/') && working.endsWith('/note.txt'), working);
        assert.equal(fs.readFileSync(working, 'utf8'), 'typed line\nfirst line\n', 'the working file after the stop');

        // Started again on the same data: the file comes back with what was typed.
        const again = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
        await page.goto(again.address);
        const ask = alert(profile === 'phone' ? 'Continue Editing File?' : 'Continue Editing?');
        await ask.waitFor({ timeout: scaled(30000) });
        await answer(ask, profile === 'phone' ? 'Edit File' : 'Edit File(s)');
        await waitFor(async () => (await text.count()) && (await text.inputValue()) === 'typed line\nfirst line\n',
          'the typed line reopened', 30000);
        await s.screen('reopened');

        // Closing it asks first: the server has not got the typed line. "No" keeps it.
        await close();
        const question = alert('Cancel Editing?');
        await question.waitFor({ timeout: scaled(10000) });
        await s.screen('close-asks');
        await answer(question, 'No');
        await question.waitFor({ state: 'detached' });
        assert.equal(await text.inputValue(), 'typed line\nfirst line\n');

        // Saved: on the server, and nothing is left to reopen.
        await clickSeen(s.button('Save'));
        const confirm = alert('Confirm File Save');
        await confirm.waitFor();
        await answer(confirm, 'Save');
        await waitFor(() => fileNow(note, 'utf8') === 'typed line\nfirst line\n', 'the save on the server', 30000);
        if (profile === 'phone') {
          // Under the editor, the folder of the file by its name, with the way up.
          const title = front().locator('.navbar .center');
          await waitFor(async () => (await title.textContent()).includes('docs'), 'the folder "docs" titled', 10000);
          await s.screen('saved-folder');
          await clickSeen(front().locator('.navbar .back'));
          await row('docs').waitFor({ timeout: scaled(30000) });
          assert.ok((await front().locator('.navbar .center').textContent()).includes('/'));
          await s.screen('way-up');
        }
        await page.goto('about:blank');
        await stopChild(again.child);
        assert.deepEqual(editRecords(s.home), [], 'an edit record after the save');
      },
    });
  });
}

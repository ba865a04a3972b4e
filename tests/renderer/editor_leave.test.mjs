// What a person types in the editor never goes without their answer, on the phone and on the
// tablet, with the mouse and the keyboard only (each click checked to land on what lies there),
// against pyftpdlib on loopback (one user with a password, a file in its folder "docs") and a file
// of Saved Files:
// - the tab already shown, tapped again while the editor holds typed text (a server file, after a
//   "No" to Cancel's question as well, and a file of Saved Files): the phone asks "Cancel
//   Editing?" ("No" keeps the text, "Yes, Discard" closes the editor and shows the tab's first
//   screen); the tablet's file tab keeps the text;
// - the page out of sight (another browser tab in front, or the page closed), then the program
//   killed: the next start offers the file with the typed text, not the text as it was loaded.
// Screenshots go to $RENDERER_ARTEFACTS/editor-leave-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  clickSeen, newPage, session, startFtpServer, startProgram, typeInto, waitFor, watch, artefacts, profiles, scaled,
} from '../support/person.mjs';

// A server with docs/note.txt, and the session's handles for the editor on it.
async function serverWithNote(t) {
  const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-editor-leave-'));
  t.after(() => fs.rmSync(served, { recursive: true, force: true }));
  fs.mkdirSync(path.join(served, 'docs'));
  const note = path.join(served, 'docs', 'note.txt');
  fs.writeFileSync(note, 'first line\n');
  const login = { user: 'ann', password: crypto.randomBytes(9).toString('hex') };
  const port = await startFtpServer(t, served, 1 << 30, login);
  return { note, login, port };
}

// What the page shows now, wherever it stands (the tablet's editor beside the main tabs holds a
// layer of its own).
function handles(s, page = s.page) {
  const shown = (locator) => locator.filter({ visible: true });
  return {
    text: shown(page.locator('#screen textarea')).first(),
    alert: (title) => page.locator('.alert', { hasText: title }),
    answer: (box, name) => clickSeen(box.getByRole('button', { name, exact: true })),
    field: (name) => shown(page.locator('#screen').getByLabel(name, { exact: true })),
    button: (name) => shown(page.locator('#screen').getByRole('button', { name, exact: true })),
    row: (name) => shown(page.locator(`#screen .cell[aria-label="${name}"]`)),
  };
}

// Connects to the server and opens docs/note.txt with Edit; then types a line at its start.
async function editNote(s, server) {
  const { text, alert, answer, field, button, row } = handles(s);
  await typeInto(field('Server'), `127.0.0.1:${server.port}`);
  await typeInto(field('User Name'), server.login.user);
  await typeInto(field('Password'), server.login.password);
  await clickSeen(button('Connect'));
  await row('docs').waitFor({ timeout: scaled(30000) });
  await clickSeen(row('docs'));
  await row('note.txt').waitFor({ timeout: scaled(30000) });
  // A tap checks the row (a second tap on a checked row unchecks it): tapped until Edit shows.
  for (let tries = 0; tries < 3 && !(await button('Edit').count()); tries++) {
    await clickSeen(row('note.txt'));
    await waitFor(async () => (await button('Edit').count()) > 0, 'the Edit button', 3000).catch(() => {});
  }
  await clickSeen(button('Edit'));
  const exists = alert('Saved File Exists');
  await waitFor(async () => (await exists.count()) > 0 || (await text.count()) > 0, 'the download', 30000);
  if (await exists.count()) await answer(exists, 'Replace');
  await waitFor(async () => (await text.count()) && (await text.inputValue()) === 'first line\n',
    'the file in the editor', 30000);
  await typeLine(s.page, text, 'first line\n');
}

async function typeLine(page, text, before) {
  await clickSeen(text);
  await page.keyboard.press('Control+Home');
  await page.keyboard.type('typed line\n');
  await waitFor(async () => (await text.inputValue()) === `typed line\n${before}`, 'the typed line');
}

for (const [profile, viewport, env] of profiles) {
  const dir = path.join(artefacts, `editor-leave-${profile}`);

  test(`${profile}: the tab shown, tapped again, never drops typed text unasked`, async (t) => {
    const server = await serverWithNote(t);
    let local = '';
    await session(t, {
      chromium, suite: 'editor-leave', dir, viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        local = path.join(home, 'Documents', 'Files', 'local.txt');
        fs.writeFileSync(local, 'local line\n');
      },
      run: async (s) => {
        const { page } = s;
        const { text, alert, answer, button } = handles(s);
        // A file of Saved Files.
        await s.tab('Saved Files');
        await clickSeen(s.row('local.txt'));
        await clickSeen(s.button('Edit'));
        await waitFor(async () => (await text.count()) && (await text.inputValue()) === 'local line\n',
          'the local file in the editor', 30000);
        await typeLine(page, text, 'local line\n');
        await s.tab('Saved Files');
        if (profile === 'tablet') {
          await page.waitForTimeout(500);
          assert.equal(await alert('Cancel Editing?').count(), 0);
          assert.equal(await text.inputValue(), 'typed line\nlocal line\n');
          await s.screen('retap-files-kept');
        } else {
          const asked = alert('Cancel Editing?');
          await asked.waitFor({ timeout: scaled(10000) });
          await answer(asked, 'No');
          await asked.waitFor({ state: 'detached' });
          assert.equal(await text.inputValue(), 'typed line\nlocal line\n');
          await s.tab('Saved Files');
          await asked.waitFor({ timeout: scaled(10000) });
          await s.screen('retap-files-asks');
          await answer(asked, 'Yes, Discard');
          await waitFor(async () => !(await text.count()), 'the editor closed', 10000);
          await s.row('local.txt').waitFor({ timeout: scaled(10000) });
          assert.equal(fs.readFileSync(local, 'utf8'), 'local line\n', 'the discarded file');
          await s.screen('retap-files-discarded');
        }

        // A server file.
        const typed = 'typed line\nfirst line\n';
        // (On the tablet a first click beside the editor may only take the keyboard away.)
        for (let tries = 0; tries < 3 && !(await page.locator('.tab.selected[aria-label="FTP"]').count()); tries++) {
          await s.tab('FTP');
          await page.waitForTimeout(500);
        }
        await editNote(s, server);

        if (profile === 'tablet') {
          // The file tab stands beside the main tabs: tapping the FTP tab leaves it as it is.
          await s.tab('FTP');
          await page.waitForTimeout(500);
          assert.equal(await alert('Cancel Editing?').count(), 0);
          assert.equal(await text.inputValue(), typed);
          await s.screen('retap-ftp-kept');
        } else {
          // Asked, and "No" keeps the editor with the text.
          await s.tab('FTP');
          const asked = alert('Cancel Editing?');
          await asked.waitFor({ timeout: scaled(10000) });
          await s.screen('retap-ftp-asks');
          await answer(asked, 'No');
          await asked.waitFor({ state: 'detached' });
          assert.equal(await text.inputValue(), typed);
          // Cancel's own question answered "No", then the tab again: asked again.
          await clickSeen(button('Cancel'));
          await alert('Cancel Editing?').waitFor({ timeout: scaled(10000) });
          await answer(alert('Cancel Editing?'), 'No');
          await alert('Cancel Editing?').waitFor({ state: 'detached' });
          await s.tab('FTP');
          await alert('Cancel Editing?').waitFor({ timeout: scaled(10000) });
          assert.equal(await text.inputValue(), typed);
          // "Yes, Discard": the editor closes and the tab shows its first screen.
          await answer(alert('Cancel Editing?'), 'Yes, Discard');
          await waitFor(async () => !(await text.count()), 'the editor closed', 10000);
          await button('Connect').first().waitFor({ timeout: scaled(10000) });
          await s.screen('retap-ftp-discarded');
        }
        assert.equal(fs.readFileSync(server.note, 'utf8'), 'first line\n', 'nothing was sent');
      },
    });
  });

  for (const road of ['another tab in front', 'the page closed']) {
    test(`${profile}: typed text outlives a kill after ${road}`, async (t) => {
      const server = await serverWithNote(t);
      await session(t, {
        chromium, suite: 'editor-leave', dir, viewport, env,
        run: async (s) => {
          const { page } = s;
          await editNote(s, server);
          await s.screen(`typed-before-${road.split(' ').at(-1)}`);
          const browser = page.context().browser();
          if (road === 'the page closed') {
            await page.close();
          } else {
            // The page keeps the browser's focus until another tab comes to the front (the
            // browser's own focus, not the one Playwright lets every page have).
            const cdp = await page.context().newCDPSession(page);
            await cdp.send('Emulation.setFocusEmulationEnabled', { enabled: false });
            const { targetInfo } = await cdp.send('Target.getTargetInfo');
            const tabs = await browser.newBrowserCDPSession();
            const { targetId } = await tabs.send('Target.createTarget',
              { url: 'about:blank', browserContextId: targetInfo.browserContextId });
            await tabs.send('Target.activateTarget', { targetId });
            t.after(() => tabs.send('Target.closeTarget', { targetId }).catch(() => {}));
          }
          // Killed once what the page went away with had time to arrive (the working file the
          // record names holds the typed line).
          await waitFor(() => {
            const settings = JSON.parse(fs.readFileSync(path.join(s.home, 'Preferences.json'), 'utf8'));
            const working = Object.entries(settings).find(([key, value]) => /EditingFTPFile$/.test(key) && value);
            return working && fs.existsSync(working[1]) && fs.readFileSync(working[1], 'utf8').startsWith('typed line');
          }, 'the edit state written', 5000).catch(() => {});
          const ended = new Promise((resolve) => s.app.child.once('exit', resolve));
          s.app.child.kill('SIGKILL');
          await ended;
          // (The page left behind would only try to reach the program that is gone.)
          if (!page.isClosed()) await page.goto('about:blank');

          // Started again on the same data: the file comes back with what was typed.
          const again = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
          const next = await newPage(browser, { viewport });
          const problems = [];
          watch(next, problems);
          t.after(() => next.close().catch(() => {}));
          const { text, alert, answer } = handles(s, next);
          await next.goto(again.address);
          const ask = alert(profile === 'phone' ? 'Continue Editing File?' : 'Continue Editing?');
          await ask.waitFor({ timeout: scaled(30000) });
          await answer(ask, profile === 'phone' ? 'Edit File' : 'Edit File(s)');
          await waitFor(async () => (await text.count()) && (await text.inputValue()) === 'typed line\nfirst line\n',
            'the typed line reopened', 30000);
          fs.mkdirSync(dir, { recursive: true });
          await next.screenshot({ path: path.join(dir, `reopened-after-${road.split(' ').at(-1)}.png`) });
          assert.deepEqual(problems, []);
        },
      });
    });
  }
}

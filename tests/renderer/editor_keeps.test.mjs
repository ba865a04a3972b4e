// The editor keeps what a person typed and what the file held, on the phone and on the tablet,
// with the mouse and the keyboard only (each click checked to land on what lies there), on a file
// of Saved Files:
// - typed, then Go To (phone) or Find (tablet) used, the program killed: the file on disk still
//   holds what it held; the next start offers the typed text, and Discard leaves the file whole;
// - typed, and nothing else done for a few seconds, the program killed: the next start offers the
//   typed text all the same;
// - Saved Files on a 2 MB disk that is full: Save keeps the editor open with the typed text and
//   says which file and why; once there is room again Save saves.
// Screenshots go to $RENDERER_ARTEFACTS/editor-keeps-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, clickSeen, keptTextNow, killAndStartAgain, newPage, profiles, session, smallDisk, startProgram,
  typeInto, waitFor, watch, scaled,
} from '../support/person.mjs';

const original = 'local line\n';
const typed = `typed line\n${original}`;

// What the page shows now (the tablet's editor beside the main tabs holds a layer of its own).
function handles(page) {
  const shown = (locator) => locator.filter({ visible: true });
  return {
    text: shown(page.locator('#screen textarea')).first(),
    alert: (title) => page.locator('.alert', { hasText: title }),
    answer: (box, name) => clickSeen(box.getByRole('button', { name, exact: true })),
    button: (name) => shown(page.locator('#screen').getByRole('button', { name, exact: true })),
  };
}

// Opens local.txt of Saved Files in the editor and types a line at its start.
async function typeIntoLocal(s) {
  const { page } = s;
  const { text } = handles(page);
  await s.tab('Saved Files');
  await clickSeen(s.row('local.txt'));
  await clickSeen(s.button('Edit'));
  await waitFor(async () => (await text.count()) && (await text.inputValue()) === original,
    'the file in the editor', 30000);
  await clickSeen(text);
  await page.keyboard.press('Control+Home');
  await page.keyboard.type('typed line\n');
  await waitFor(async () => (await text.inputValue()) === typed, 'the typed line');
}

for (const [profile, viewport, env] of profiles) {
  const dir = path.join(artefacts, `editor-keeps-${profile}`);

  test(`${profile}: a file of Saved Files keeps what it held until the person saves or discards`, async (t) => {
    let local = '';
    await session(t, {
      chromium, suite: 'editor-keeps', dir, viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        local = path.join(home, 'Documents', 'Files', 'local.txt');
        fs.writeFileSync(local, original);
      },
      run: async (s) => {
        const { page } = s;
        const { button } = handles(page);
        await typeIntoLocal(s);
        const shown = (locator) => locator.filter({ visible: true });
        if (profile === 'phone') {
          await clickSeen(button('GoTo'));
          const field = shown(page.getByLabel('Goto Line Number...', { exact: true }));
          await typeInto(field, '1');
          await page.keyboard.press('Enter');
          await waitFor(async () => !(await field.count()), 'the Goto Line screen gone', 10000);
        } else {
          await clickSeen(button('Find'));
          await typeInto(shown(page.getByLabel('Find Text', { exact: true })), 'line');
          await clickSeen(shown(page.getByRole('button', { name: 'Find Next', exact: true })));
        }
        // What opening the tool wrote has arrived: the record names where the typed text is kept.
        const kept = await waitFor(() => {
          const settings = JSON.parse(fs.readFileSync(path.join(s.home, 'Preferences.json'), 'utf8'));
          const working = Object.entries(settings).find(([key, value]) => /EditingFTPFile$/.test(key) && value);
          return working && fs.existsSync(working[1]) && fs.readFileSync(working[1], 'utf8') === typed && working[1];
        }, 'the typed text kept', 10000);
        assert.equal(fs.readFileSync(local, 'utf8'), original, 'the file took the unsaved text');
        await s.screen('typed');

        const browser = page.context().browser();
        const ended = new Promise((resolve) => s.app.child.once('exit', resolve));
        s.app.child.kill('SIGKILL');
        await ended;
        await page.goto('about:blank');
        assert.equal(fs.readFileSync(local, 'utf8'), original, 'the file after the kill');

        // Started again on the same data: the typed text is offered, on the file as it was.
        const again = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
        const next = await newPage(browser, { viewport });
        const problems = [];
        watch(next, problems);
        t.after(() => next.close().catch(() => {}));
        const { text, alert, answer, button: nextButton } = handles(next);
        await next.goto(again.address);
        const ask = alert(profile === 'phone' ? 'Continue Editing File?' : 'Continue Editing?');
        await ask.waitFor({ timeout: scaled(30000) });
        if (profile === 'phone') assert.match(await ask.textContent(), /"local\.txt" was being edited/);
        await answer(ask, profile === 'phone' ? 'Edit File' : 'Edit File(s)');
        await waitFor(async () => (await text.count()) && (await text.inputValue()) === typed,
          'the typed text reopened', 30000);
        fs.mkdirSync(dir, { recursive: true });
        await next.screenshot({ path: path.join(dir, 'reopened.png') });
        assert.equal(fs.readFileSync(local, 'utf8'), original);

        // Discard: the file is whole, and nothing of the edit is left.
        await clickSeen(nextButton(profile === 'phone' ? 'Cancel' : 'Close File'));
        const discard = alert('Cancel Editing?');
        await discard.waitFor({ timeout: scaled(10000) });
        await answer(discard, 'Yes, Discard');
        await waitFor(async () => !(await text.count()), 'the editor closed', 10000);
        assert.equal(fs.readFileSync(local, 'utf8'), original, 'the discarded file');
        await waitFor(() => !fs.existsSync(kept), 'the kept text gone', 10000);
        await next.screenshot({ path: path.join(dir, 'discarded.png') });
        assert.deepEqual(problems, []);
      },
    });
  });

  test(`${profile}: a save the full disk cannot take keeps the editor and its text`, async (t) => {
    let local = '';
    let disk = null;
    await session(t, {
      chromium, suite: 'editor-keeps', dir, viewport, env,
      prepare: async (home) => {
        const files = path.join(home, 'Documents', 'Files');
        disk = smallDisk(t, files, 2 << 20);
        if (!disk) return;
        local = path.join(files, 'local.txt');
        fs.writeFileSync(local, original);
      },
      run: async (s) => {
        if (!disk) return;
        const { page } = s;
        const { text, alert, answer, button } = handles(page);
        await typeIntoLocal(s);
        disk.fill();
        await clickSeen(button('Save'));
        const told = alert('File Not Saved');
        await told.waitFor({ timeout: scaled(10000) });
        const message = await told.textContent();
        assert.match(message, /"local\.txt" could not be saved/);
        assert.ok(message.includes(`Cannot write "${local}": No space left on device`), message);
        await s.screen('not-saved');
        await answer(told, 'OK');
        await told.waitFor({ state: 'detached' });
        assert.equal(await text.inputValue(), typed, 'the typed text');
        assert.equal(fs.readFileSync(local, 'utf8'), original, 'the file on the full disk');

        // Room again: Save saves, and the editor closes.
        disk.unfill();
        await clickSeen(button('Save'));
        await waitFor(async () => !(await text.count()), 'the editor closed', 10000);
        assert.equal(fs.readFileSync(local, 'utf8'), typed, 'the saved file');
        await s.screen('saved');
      },
    });
  });

  test(`${profile}: typing alone, then nothing, is kept for the next start`, async (t) => {
    let local = '';
    await session(t, {
      chromium, suite: 'editor-keeps', dir, viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        local = path.join(home, 'Documents', 'Files', 'local.txt');
        fs.writeFileSync(local, original);
      },
      run: async (s) => {
        const { page } = s;
        const { text } = handles(page);
        await s.tab('Saved Files');
        await clickSeen(s.row('local.txt'));
        await clickSeen(s.button('Edit'));
        await waitFor(async () => (await text.count()) && (await text.inputValue()) === original,
          'the file in the editor', 30000);
        await clickSeen(text);
        await page.keyboard.press('Control+Home');
        await page.keyboard.type('BEFORE KILL ');
        await waitFor(async () => (await text.inputValue()) === `BEFORE KILL ${original}`, 'the typed text');
        // Nothing else: no tool, no key of the editor's own. The text reaches the disk by itself
        // (in two seconds; a busy machine may take longer), and then the kill.
        await waitFor(() => keptTextNow(s.home) === `BEFORE KILL ${original}`, 'the typed text on disk');
        assert.equal(fs.readFileSync(local, 'utf8'), original);
        await s.screen('typed-alone');

        const next = await killAndStartAgain(t, s, env, viewport);
        const h = handles(next.page);
        const ask = h.alert(profile === 'phone' ? 'Continue Editing File?' : 'Continue Editing?');
        await ask.waitFor({ timeout: scaled(30000) });
        await h.answer(ask, profile === 'phone' ? 'Edit File' : 'Edit File(s)');
        await waitFor(async () => (await h.text.count()) && (await h.text.inputValue()) === `BEFORE KILL ${original}`,
          'the typed text reopened', 30000);
        fs.mkdirSync(dir, { recursive: true });
        await next.page.screenshot({ path: path.join(dir, 'typed-alone-reopened.png') });
        await clickSeen(h.button('Save'));
        await waitFor(() => fs.readFileSync(local, 'utf8') === `BEFORE KILL ${original}`, 'the saved file', 10000);
        assert.deepEqual(next.problems, []);
      },
    });
  });
}

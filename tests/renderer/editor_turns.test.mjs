// The text editor turned and reopened as a person meets it, with the mouse and the keyboard only
// (each click checked to land on what lies there), against pyftpdlib on loopback (one user with a
// password):
// - phone: the editor turned with the page's Rotate fills the turned screen (no tab bar beside
//   it), takes typing there, and comes back upright with its Save, which sends the text typed in
//   landscape to the server;
// - tablet: two files open in file tabs, then the program stopped twice: each start's "Edit
//   File(s)" brings the tabs back in the order they stood.
// Screenshots go to $RENDERER_ARTEFACTS/editor-turns-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, checkedRows, clickSeen, fileNow, session, startFtpServer, startProgram, stopChild, typeInto, waitFor,
  whatLiesAt, scaled,
} from '../support/person.mjs';

// A served folder with the files named, each holding one line of its name.
function served(t, names) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-editor-turns-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  for (const name of names) fs.writeFileSync(path.join(root, name), `${name} line\n`);
  return root;
}

// The handles of a session that the steps below share.
function editorSteps(s) {
  const { page, front, row } = s;
  const text = page.locator('#screen textarea').filter({ visible: true }).first();
  const alert = (title) => page.locator('.alert', { hasText: title });
  const answer = (box, name) => clickSeen(box.getByRole('button', { name, exact: true }));
  return {
    text, alert, answer,
    connect: async (port, login) => {
      const field = (name) => front().getByLabel(name, { exact: true });
      await typeInto(field('Server'), `127.0.0.1:${port}`);
      await typeInto(field('User Name'), login.user);
      await typeInto(field('Password'), login.password);
      await clickSeen(s.button('Connect'));
    },
    // The file opened in the editor from the folder screen.
    open: async (name) => {
      await row(name).waitFor({ timeout: scaled(30000) });
      const checked = () => checkedRows(front);
      const only = async () => JSON.stringify(await checked()) === JSON.stringify([name]);
      // A tap checks the row (a second tap on a checked row unchecks it): tapped until it alone is.
      for (let tries = 0; tries < 3 && !(await only()); tries++) {
        await clickSeen(row(name));
        await waitFor(only, `${name} checked`, 3000).catch(() => {});
      }
      await waitFor(only, `${name} checked`, 3000);
      await clickSeen(s.button('Edit'));
      await waitFor(async () => (await text.count()) && (await text.inputValue()) === `${name} line\n`,
        `${name} in the editor`, 30000);
    },
  };
}

test('phone: the editor turned fills the turned screen, and what is typed there is saved', async (t) => {
  const root = served(t, ['note.txt']);
  const login = { user: 'ann', password: crypto.randomBytes(9).toString('hex') };
  const ftpPort = await startFtpServer(t, root, 1 << 30, login);
  await session(t, {
    chromium, suite: 'editor-turns', dir: path.join(artefacts, 'editor-turns-phone'),
    viewport: { width: 390, height: 844 }, env: {},
    run: async (s) => {
      const { page } = s;
      const { text, alert, answer, connect, open } = editorSteps(s);
      const box = async (locator) => locator.boundingBox();
      await connect(ftpPort, login);
      await open('note.txt');
      await s.screen('upright');

      // Turned: the editor's text takes the whole turned screen, nothing of the tab bar beside it.
      await clickSeen(page.locator('#rotate'));
      await waitFor(async () => {
        const [area, screen] = [await box(text), await box(page.locator('#screen'))];
        return area && screen && screen.width > screen.height && area.width >= screen.width - 2 &&
          area.height >= screen.height * 0.9;
      }, 'the editor filling the turned screen', 10000);
      // Along the bottom of the turned screen, where the tab bar stood, lies the editor's text.
      // (The turned phone, drawn at a readable size, may be wider than the window: each point is
      // looked at where the page scrolls it to, and the page scrolled back.)
      const screen = await box(page.locator('#screen'));
      for (const x of [0.1, 0.5, 0.9]) {
        const [px, py] = [screen.x + screen.width * x, screen.y + screen.height - 8];
        const hit = await text.evaluate((area, [hx, hy]) => {
          const scroller = document.scrollingElement;
          const [left, top] = [scroller.scrollLeft, scroller.scrollTop];
          scroller.scrollLeft += Math.max(0, hx - innerWidth / 2);
          scroller.scrollTop += Math.max(0, hy - innerHeight / 2);
          const e = document.elementFromPoint(hx - (scroller.scrollLeft - left), hy - (scroller.scrollTop - top));
          [scroller.scrollLeft, scroller.scrollTop] = [left, top];
          return Boolean(e && (e === area || area.contains(e)));
        }, [px, py]);
        assert.ok(hit, `at the bottom of the turned screen: ${await whatLiesAt(page, px, py)}`);
      }
      await clickSeen(text);
      await page.keyboard.press('Control+Home');
      await page.keyboard.type('turned\n');
      await waitFor(async () => (await text.inputValue()) === 'turned\nnote.txt line\n', 'the text typed turned');
      await s.screen('turned');

      // Upright again: the editor is back on its tab with its Save, and the text goes to the server.
      await clickSeen(page.locator('#rotate'));
      await waitFor(async () => (await s.button('Save').count()) > 0, 'the editor upright with its Save', 10000);
      assert.equal(await text.inputValue(), 'turned\nnote.txt line\n');
      await s.screen('upright-again');
      await clickSeen(s.button('Save'));
      const confirm = alert('Confirm File Save');
      await confirm.waitFor();
      await answer(confirm, 'Save');
      await waitFor(() => fileNow(path.join(root, 'note.txt'), 'utf8') === 'turned\nnote.txt line\n',
        'the save on the server', 30000);
    },
  });
});

test('tablet: reopened file tabs stand in the order they stood, start after start', async (t) => {
  const root = served(t, ['first.txt', 'second.txt']);
  const login = { user: 'ann', password: crypto.randomBytes(9).toString('hex') };
  const ftpPort = await startFtpServer(t, root, 1 << 30, login);
  const env = { FERROWEN_DEVICE: 'ipad' };
  await session(t, {
    chromium, suite: 'editor-turns', dir: path.join(artefacts, 'editor-turns-tablet'),
    viewport: { width: 1280, height: 800 }, env,
    run: async (s) => {
      const { page } = s;
      const { text, alert, answer, connect, open } = editorSteps(s);
      // The file tabs from left to right.
      const fileTabs = async () => (await page.locator('.tab').evaluateAll(
        (tabs) => tabs.map((tab) => tab.getAttribute('aria-label')))).filter((name) => name.endsWith('.txt'));
      await connect(ftpPort, login);
      await open('first.txt');
      await open('second.txt');
      await waitFor(async () => (await fileTabs()).length === 2, 'two file tabs', 10000);
      const order = await fileTabs();
      await s.screen('two-tabs');

      let program = s.app;
      for (const start of [1, 2]) {
        await page.goto('about:blank');
        await stopChild(program.child);
        program = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
        await page.goto(program.address);
        const ask = alert('Continue Editing?');
        await ask.waitFor({ timeout: scaled(30000) });
        await answer(ask, 'Edit File(s)');
        await waitFor(async () => (await fileTabs()).length === 2, `the two tabs back (start ${start})`, 30000);
        assert.deepEqual(await fileTabs(), order, `the tabs' order at start ${start}`);
        await text.waitFor({ timeout: scaled(10000) });
        await s.screen(`reopened-${start}`);
      }
      await page.goto('about:blank');
      await stopChild(program.child);
    },
  });
});

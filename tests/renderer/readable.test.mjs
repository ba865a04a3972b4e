// What a person can read, on the phone and on the tablet, in a phone's window (390x844) and in a
// laptop's (1280x800), mouse and keyboard only: no text of the main screens is drawn smaller than
// 9 pixels (the tablet stands the way the window does), every tab's title is one line inside the
// tab bar, the SFTP key help's title is whole, the status bar is there on every tab after the log
// was opened from Settings, and the editor's row of extra keys stays in the editor's pane.
// Screenshots go to $RENDERER_ARTEFACTS/readable-<device>-<window>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { bringIntoView, clickSeen, waitFor, session as sharedSession, artefacts, profiles } from '../support/person.mjs';

// The smallest size, in pixels of the window, at which a text can be read.
const readable = 9;
const windows = [[390, 844], [1280, 800]];

// The texts of the screen as drawn now (every part of the device, also one the window shows only
// when scrolled to), and the smallest of them: a text of the page by its font size, a view that
// draws itself by its smallest text (a row's date, 10 points) at the scale it is drawn.
function smallestText(page) {
  return page.evaluate(() => {
    const screen = document.getElementById('screen');
    const scale = screen.getBoundingClientRect().width / screen.offsetWidth;
    const shown = (el) => {
      if (!el.getClientRects().length) return false;
      const s = getComputedStyle(el);
      return s.visibility !== 'hidden' && s.opacity !== '0' && !el.closest('[hidden]');
    };
    let least = { pixels: Infinity, text: '' };
    const consider = (pixels, text) => { if (pixels < least.pixels) least = { pixels, text }; };
    for (const el of screen.querySelectorAll('*')) {
      const own = [...el.childNodes].filter((n) => n.nodeType === 3).map((n) => n.nodeValue).join('').trim();
      if (own && shown(el)) consider(parseFloat(getComputedStyle(el).fontSize) * scale, own.slice(0, 40));
    }
    for (const img of screen.querySelectorAll('img.drawn')) {
      const holder = img.parentElement;
      if (!shown(img) || !holder.closest('.cell')) continue;
      consider(10 * img.getBoundingClientRect().height / holder.offsetHeight,
        `the drawing of "${holder.getAttribute('aria-label') || ''}"`);
    }
    return least;
  });
}

async function assertReadable(s, where) {
  await s.page.waitForTimeout(300);
  const least = await smallestText(s.page);
  assert.ok(least.pixels >= readable - 0.01, `${where}: "${least.text}" is drawn ${least.pixels.toFixed(1)} pixels high`);
}

// Every tab title is one line, whole, inside its tab and above the bar's bottom edge.
async function assertTabTitles(page, where) {
  const problems = await page.evaluate(() => [...document.querySelectorAll('#screen .tab')].flatMap((tab) => {
    if (!tab.getClientRects().length) return [];
    const title = tab.querySelector('.tabtitle');
    const bar = tab.closest('.tabbar').getBoundingClientRect();
    const t = title.getBoundingClientRect();
    const range = document.createRange();
    range.selectNodeContents(title);
    const lines = new Set([...range.getClientRects()].map((r) => Math.round(r.top))).size;
    const out = [];
    if (title.scrollWidth > title.clientWidth + 1) out.push(`"${title.textContent}" is cut`);
    if (lines > 1) out.push(`"${title.textContent}" takes ${lines} lines`);
    if (t.bottom > bar.bottom - 1 || t.top < bar.top) out.push(`"${title.textContent}" touches the edge of the tab bar`);
    return out;
  }));
  assert.deepEqual(problems, [], where);
}

const statusBarShown = (page) => page.locator('#screen > .statusbar').isVisible();

for (const [device, , env] of profiles) {
  for (const [width, height] of windows) {
    const name = `${device}-${width}x${height}`;
    test(`${device} in a ${width}x${height} window: what a person reads`, async (t) => {
      await sharedSession(t, {
        chromium, suite: 'readable', dir: path.join(artefacts, `readable-${name}`), viewport: { width, height }, env,
        prepare: (home) => {
          const files = path.join(home, 'Documents', 'Files');
          fs.mkdirSync(files, { recursive: true });
          fs.writeFileSync(path.join(files, 'notes.txt'), 'line one\nline two\n');
          fs.writeFileSync(path.join(files, 'a long name for a report, with its date.pdf'), '%PDF-1.4\n');
        },
        run: async (s) => {
          const { page, front, row } = s;
          const tablet = device === 'tablet';
          // The tablet in a wide window lies on its side.
          if (tablet && width > height) {
            await waitFor(async () => {
              const b = await page.locator('#screen').boundingBox();
              return b && b.width > b.height;
            }, 'the tablet turned to the window');
          }
          // The main screens, each readable, with their tab titles on one line.
          await s.tab('Saved Files');
          await row('notes.txt').waitFor();
          await assertReadable(s, 'Saved Files');
          await assertTabTitles(page, 'Saved Files');
          await s.screen('saved-files');
          await s.tab('Transfers');
          await assertReadable(s, 'Transfers');
          await s.tab('Settings');
          await front().locator('.navbar .title', { hasText: 'Settings' }).waitFor();
          await assertReadable(s, 'Settings');
          await s.screen('settings');
          await s.tab('FTP');
          await assertReadable(s, 'the connect screen');
          await assertTabTitles(page, 'the connect screen');
          await s.screen('connect');

          // The key help's title whole.
          await clickSeen(front().getByRole('tab', { name: 'SFTP', exact: true }));
          await clickSeen(front().getByLabel('Keys Help'));
          const title = front().locator('.navbar .title', { hasText: 'SFTP Private Keys' });
          await title.waitFor();
          assert.equal(await title.textContent(), 'SFTP Private Keys');
          await waitFor(async () => !(await title.evaluate((e) => e.scrollWidth > e.clientWidth + 1)), 'the title whole', 5000)
            .catch(() => { throw new Error('the key help\'s title is cut'); });
          await s.screen('keys-help');

          // The log of Settings, left open: the status bar stays on every tab.
          await s.tab('Settings');
          await clickSeen(front().getByRole('button', { name: 'Log', exact: true }));
          await front().locator('.navbar .title', { hasText: 'Transfer Log' }).waitFor();
          await page.waitForTimeout(300);
          assert.ok(await statusBarShown(page), 'no status bar over the log');
          // (The first tab is named after the protocol chosen.)
          for (const tab of ['SFTP', 'Saved Files', 'Transfers']) {
            await s.tab(tab);
            await page.waitForTimeout(300);
            assert.ok(await statusBarShown(page), `no status bar on ${tab}, the log left open`);
          }
          await s.screen('status-bar-after-log');
          await s.tab('Settings');
          await clickSeen(front().locator('.navbar .back'));
          await front().locator('.navbar .title', { hasText: 'Settings' }).waitFor();
          await s.tab('SFTP');
          await page.waitForTimeout(300);
          assert.ok(await statusBarShown(page), 'no status bar after Settings');

          // The editor's row of keys: over the editor, never over the file list beside it.
          await s.tab('Saved Files');
          await clickSeen(row('notes.txt'));
          await clickSeen(s.button('Edit'));
          const text = page.locator('#screen textarea').filter({ visible: true }).first();
          await clickSeen(text);
          const bar = page.locator('.accessorybar');
          await bar.waitFor();
          await bringIntoView(bar);
          const keys = await bar.boundingBox();
          const list = tablet ? await page.locator('#screen .ctl-split > .master').boundingBox() : null;
          if (list) {
            assert.ok(keys.x >= list.x + list.width - 1, `the keys ${JSON.stringify(keys)} lie over the file list ${JSON.stringify(list)}`);
            const editor = await page.locator('#screen .ctl-split > .detail').boundingBox();
            assert.ok(keys.x <= editor.x + 1 && keys.x + keys.width >= editor.x + editor.width - 1,
              `the keys ${JSON.stringify(keys)} do not span the editor's pane ${JSON.stringify(editor)}`);
          }
          await assertReadable(s, 'the editor');
          await s.screen('editor-keys');
        },
      });
    });
  }
}

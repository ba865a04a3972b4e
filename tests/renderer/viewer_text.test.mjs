// A text file larger than the editor takes, viewed from Saved Files as a person does it, on the
// phone and on the tablet, with the mouse and the keyboard only (each click checked to land on
// what lies there): a file of 10 MB shows its first line at the top of the viewer, its last line
// comes into view with the keyboard's Ctrl+End in the page and the first again with Ctrl+Home; the
// whole file is there, as text (its markup shown, never obeyed), and no error page is shown.
// Pictures paged in the viewer: the one-time tips show when the viewer opens, never when a page
// turns to another picture, each paging arrow is clicked where it is drawn, and on the tablet the
// bar runs from the picture's name straight to its paging controls. Screenshots go to $RENDERER_ARTEFACTS/viewer-text-<profile> and
// viewer-pictures-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { artefacts, clickSeen, profiles, scaled, session, timeScale, waitFor, writePicture } from '../support/person.mjs';

const first = 'FIRST LINE of the big file';
const last = 'LAST LINE of the big file';
// About 10 MB of numbered lines between the first and the last, with characters the page must
// show as text (never as markup).
function bigText() {
  const lines = [first];
  let size = first.length + 1;
  for (let i = 1; size < 10 * 1024 * 1024; i++) {
    const line = `line ${String(i).padStart(7, '0')} <b>not bold</b> & the quick brown fox jumps over the lazy dog`;
    lines.push(line);
    size += line.length + 1;
  }
  lines.push(last);
  return `${lines.join('\n')}\n`;
}

// Whether the text `what` stands whole inside the visible area of the viewer's page.
function shownInPage(frame, what) {
  return frame.evaluate((text) => {
    const pre = document.querySelector('pre');
    if (!pre) return false;
    // The browser keeps a long text in pieces: the first and the last ones hold these lines.
    const nodes = [...pre.childNodes].filter((n) => n.nodeType === 3);
    for (const n of [...nodes.slice(0, 2), ...nodes.slice(-2)]) {
      const at = n.data.indexOf(text);
      if (at < 0) continue;
      const range = document.createRange();
      range.setStart(n, at);
      range.setEnd(n, at + text.length);
      const r = range.getBoundingClientRect();
      return r.height > 0 && r.top >= 0 && r.bottom <= innerHeight && r.left >= 0 && r.right <= innerWidth + 1;
    }
    return false;
  }, what);
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: a text file of 10 MB is viewed from its first line to its last`, async (t) => {
    const text = bigText();
    await session(t, {
      chromium, suite: 'viewer-text', dir: path.join(artefacts, `viewer-text-${profile}`), viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        fs.writeFileSync(path.join(home, 'Documents', 'Files', 'big.txt'), text);
      },
      run: async (s) => {
        const { page } = s;
        await s.tab('Saved Files');
        await clickSeen(s.row('big.txt'));
        await clickSeen(s.button('View'));
        // The tip about big files, once.
        const tip = page.locator('.alert', { hasText: 'Really Big File' });
        await tip.waitFor();
        await clickSeen(tip.getByRole('button', { name: 'OK', exact: true }));
        await tip.waitFor({ state: 'detached' });

        const frameEl = page.locator('iframe[data-web]:visible').first();
        await frameEl.waitFor({ timeout: scaled(30000) });
        const frame = await waitFor(async () => {
          const f = await (await frameEl.elementHandle()).contentFrame();
          const shown = f && await f.evaluate(() => document.readyState === 'complete' &&
            Boolean(document.querySelector('pre') || /Sorry|could not be shown/.test(document.body.textContent.slice(0, 2000))))
            .catch(() => false);
          return shown && f;
        }, 'the text in the viewer', 180000);
        const opening = await frame.evaluate(() => document.body.textContent.slice(0, 300));
        assert.doesNotMatch(opening, /Sorry|could not be shown/, 'an error page instead of the text');
        // The whole file, as text.
        assert.equal(await frame.evaluate(() => document.querySelector('pre').textContent.length), text.length);
        assert.equal(await frame.evaluate(() => document.querySelectorAll('b').length), 0);
        assert.ok(await shownInPage(frame, first), 'the first line at the top');
        await s.screen('start');

        // Ctrl+End in the page: the last line.
        const box = await frameEl.boundingBox();
        await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
        await page.keyboard.press('Control+End');
        await waitFor(() => shownInPage(frame, last), 'the last line after Ctrl+End', 30000);
        await s.screen('end');
        await page.keyboard.press('Control+Home');
        await waitFor(() => shownInPage(frame, first), 'the first line after Ctrl+Home', 30000);
      },
    });
  });
}

// The tip of a picture, answered; none other on the screen.
async function answerTip(page, title) {
  const tip = page.locator('.alert', { hasText: title });
  await tip.waitFor();
  await clickSeen(tip.getByRole('button', { name: 'OK', exact: true }));
  await tip.waitFor({ state: 'detached' });
}

// What the tablet's bar holds, in its order: each item by its name, a flexible space as "flex".
function barItems(bar) {
  return bar.evaluate((el) => [...el.children].map((c) =>
    c.classList.contains('flex') ? 'flex' : c.getAttribute('aria-label') || c.textContent.trim() || 'space'));
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: the tips show when the viewer opens, not when it pages`, async (t) => {
    await session(t, {
      chromium, suite: 'viewer-pictures', dir: path.join(artefacts, `viewer-pictures-${profile}`), viewport, env,
      prepare: async (home) => {
        const files = path.join(home, 'Documents', 'Files');
        fs.mkdirSync(files, { recursive: true });
        writePicture(path.join(files, 'a.png'), 320, 240);
        // Over 4 MiB: a picture the big-file tip is about.
        writePicture(path.join(files, 'b.png'), 320, 240, 5 * 1024 * 1024);
      },
      run: async (s) => {
        const { page, front } = s;
        const caption = async (text) => waitFor(async () => (await front().allTextContents()).join(' ').includes(text),
          `the caption "${text}"`);
        await s.tab('Saved Files');
        await clickSeen(s.row('b.png'));
        await clickSeen(s.button('View'));
        // Opened on the big picture: its tip, once.
        await page.locator('.alert', { hasText: 'Really Big File' }).waitFor();
        await s.screen('tip-on-opening');
        await answerTip(page, 'Really Big File');
        await caption('2 / 2');
        const previous = s.button('Previous Image');
        await waitFor(async () => (await previous.count()) > 0 && await previous.isEnabled(), 'paging to the first picture');
        if (profile === 'tablet') {
          const bar = front().locator('.v-toolbar', { has: page.getByRole('button', { name: 'Previous Image', exact: true }) });
          const items = await barItems(bar);
          const title = items.indexOf('b.png');
          assert.ok(title > 0, `the picture's name in the bar: ${items}`);
          assert.deepEqual(items.slice(title - 1, title + 2), ['flex', 'b.png', 'Previous Image'],
            `the bar: ${items}`);
          assert.equal(items.at(-1), 'Save', `the bar: ${items}`);
        }
        await s.screen('second-of-two');

        // Paged to the small picture: the tip about saving it does not come.
        await clickSeen(previous);
        await caption('1 / 2');
        await waitFor(async () => (await s.button('Next Image').count()) > 0 &&
          await s.button('Next Image').isEnabled(), 'the small picture shown');
        await page.waitForTimeout(1500 * timeScale);
        assert.equal(await page.locator('.alert').count(), 0, 'a tip when paging');
        await s.screen('paged-without-tip');

        // Next pages back to the big picture: its arrow is drawn in the bar, where a person
        // clicks it, not under the page.
        await clickSeen(s.button('Next Image'));
        await caption('2 / 2');
        await s.screen('paged-next');
      },
    });
  });
}

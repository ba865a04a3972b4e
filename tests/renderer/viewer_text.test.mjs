// A text file larger than the editor takes, viewed from Saved Files as a person does it, on the
// phone and on the tablet, with the mouse and the keyboard only (each click checked to land on
// what lies there): a file of 10 MB shows its first line at the top of the viewer, its last line
// comes into view with the keyboard's Ctrl+End in the page and the first again with Ctrl+Home; the
// whole file is there, as text (its markup shown, never obeyed), and no error page is shown.
// Screenshots go to $RENDERER_ARTEFACTS/viewer-text-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { artefacts, clickSeen, profiles, session, waitFor, scaled } from '../support/person.mjs';

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
        await tip.waitFor({ timeout: scaled(10000) });
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
        }, 'the text in the viewer', 60000);
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
        await waitFor(() => shownInPage(frame, last), 'the last line after Ctrl+End', 10000);
        await s.screen('end');
        await page.keyboard.press('Control+Home');
        await waitFor(() => shownInPage(frame, first), 'the first line after Ctrl+Home', 10000);
      },
    });
  });
}

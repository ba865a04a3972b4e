// What the editor's search tools show in the page, on the phone and on the tablet, with the mouse
// and the keyboard only (each click checked to land on what lies there), on a file of Saved Files
// of 300 short lines: "GoTo" 150 brings line 150 into the text's visible area with its first character
// selected; "Find Next" of a word that stands on line 200 alone brings that line into view with the
// word selected, and again from there finds it again (the only match) without losing it from view;
// a line gone to above the one shown is brought into view as well.
// Screenshots go to $RENDERER_ARTEFACTS/editor-find-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { artefacts, clickSeen, profiles, session, typeInto, waitFor } from '../support/person.mjs';

const lines = Array.from({ length: 300 }, (_, i) => (i === 199 ? 'line 200 holds the needle' : `line ${i + 1}`));
const raw = `${lines.join('\n')}\n`;
// Where line `n` (from 1) starts in the text.
const startOf = (n) => lines.slice(0, n - 1).reduce((at, l) => at + l.length + 1, 0);

// The lines (from 1) the text view shows whole now, and its selection (the page's positions).
// The lines are too short to wrap: line k stands k - 1 line heights below the top of the text.
function shownLines(text) {
  return text.evaluate((el) => {
    const style = getComputedStyle(el);
    const measure = Object.assign(document.createElement('div'), { textContent: 'X' });
    Object.assign(measure.style, { position: 'absolute', visibility: 'hidden', font: style.font, lineHeight: style.lineHeight });
    document.body.append(measure);
    const lineHeight = measure.offsetHeight;
    measure.remove();
    const top = parseFloat(style.paddingTop);
    const first = Math.ceil((el.scrollTop - top) / lineHeight - 0.05) + 1;
    const last = Math.floor((el.scrollTop + el.clientHeight - top) / lineHeight + 0.05);
    return { first, last, start: el.selectionStart, end: el.selectionEnd, focused: el === document.activeElement };
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: a line gone to and a word found are shown`, async (t) => {
    await session(t, {
      chromium, suite: 'editor-find', dir: path.join(artefacts, `editor-find-${profile}`), viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        fs.writeFileSync(path.join(home, 'Documents', 'Files', 'lines.txt'), raw);
      },
      run: async (s) => {
        const { page, front } = s;
        const shown = (locator) => locator.filter({ visible: true });
        const text = shown(page.locator('#screen textarea')).first();
        const bar = (name) => shown(page.locator('#screen').getByRole('button', { name, exact: true }));
        await s.tab('Saved Files');
        await clickSeen(s.row('lines.txt'));
        await clickSeen(s.button('Edit'));
        await waitFor(async () => (await text.count()) && (await text.inputValue()) === raw, 'the file in the editor');
        // The first tip of the phone's editor goes by itself.
        await page.waitForTimeout(profile === 'phone' ? 3500 : 300);
        const inView = async (n, what) => {
          let last = null;
          await waitFor(async () => {
            last = await shownLines(text);
            return last.first <= n && n <= last.last;
          }, `${what}: line ${n} in view`, 10000).catch(() => {});
          assert.ok(last.first <= n && n <= last.last, `${what}: line ${n} is not shown (lines ${last.first} to ${last.last} are)`);
          return last;
        };
        const goTo = async (n) => {
          await clickSeen(bar('GoTo'));
          const field = shown(page.getByLabel('Goto Line Number...', { exact: true }));
          await typeInto(field, String(n));
          await page.keyboard.press('Enter');
          await waitFor(async () => !(await field.count()), 'the Goto Line screen gone', 10000);
        };

        // Line 150: in view, the caret at its start.
        assert.equal((await shownLines(text)).first, 1);
        await goTo(150);
        const caret = await inView(150, 'GoTo 150');
        // The first character of the line selected.
        assert.deepEqual([caret.start, caret.end], [startOf(150), startOf(150) + 1]);
        await s.screen('goto-150');

        // "needle", found on line 200: in view and selected.
        await clickSeen(bar('Find'));
        await typeInto(shown(page.getByLabel('Find Text', { exact: true })), 'needle');
        await clickSeen(shown(page.getByRole('button', { name: 'Find Next', exact: true })));
        const at = startOf(200) + lines[199].indexOf('needle');
        await waitFor(async () => {
          const now = await shownLines(text);
          return now.start === at && now.end === at + 6;
        }, 'the word selected', 10000);
        await inView(200, 'Find Next');
        await s.screen('found');
        // Again: the only match, found again, stays in view.
        await clickSeen(bar('Find'));
        await clickSeen(shown(page.getByRole('button', { name: 'Find Next', exact: true })));
        await page.waitForTimeout(1200);
        const again = await inView(200, 'Find Next again');
        assert.deepEqual([again.start, again.end], [at, at + 6]);

        // Back up to line 20: shown too.
        await page.keyboard.press('Escape');
        await goTo(20);
        await inView(20, 'GoTo 20');
        await s.screen('goto-20');
        assert.equal(await front().locator('.alert').count(), 0);
      },
    });
  });
}

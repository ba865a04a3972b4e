// Every line the editor goes to is drawn where a person sees it, on the phone and on the tablet,
// with the mouse and the keyboard only, on a file of Saved Files of 5,000 short lines: with the
// keyboard shown the text reaches down to the row of keys (no empty band between them); after the
// keyboard went away again, "GoTo" 4000 and "GoTo" 5000 (the last line) show their line inside the
// text's visible area, its selected first character marked, a click where it is drawn lands in
// that line (nothing covers it), and the keys that click brings up leave that line in view. On the
// phone the first-use tip fades out over time, as a fade does. Screenshots go to
// $RENDERER_ARTEFACTS/editor-lines-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { artefacts, clickSeen, profiles, screenshotPixels, session, typeInto, waitFor, whatLiesAt, scaled } from '../support/person.mjs';

const lines = Array.from({ length: 5000 }, (_, i) => `line ${i + 1}`);
const raw = `${lines.join('\n')}\n`;
// Where line `n` (from 1) starts in the text.
const startOf = (n) => lines.slice(0, n - 1).reduce((at, l) => at + l.length + 1, 0);
const tip = 'Tap the Title to Show or Hide the Keyboard';

// Where the caret of the text that has the focus is drawn in the window (a copy of the text laid
// out as the text area lays it out, up to the caret), or null.
function caretBox(page) {
  return page.evaluate(() => {
    const el = document.activeElement;
    if (!el || el.tagName !== 'TEXTAREA') return null;
    const style = getComputedStyle(el);
    const copy = document.createElement('div');
    for (const p of ['fontFamily', 'fontSize', 'fontWeight', 'fontStyle', 'lineHeight', 'letterSpacing', 'wordSpacing',
      'tabSize', 'textTransform', 'textIndent', 'textAlign', 'direction', 'whiteSpace', 'overflowWrap', 'wordBreak',
      'paddingTop', 'paddingRight', 'paddingBottom', 'paddingLeft']) copy.style[p] = style[p];
    const inner = el.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
    Object.assign(copy.style, { position: 'absolute', left: '0', top: '0', visibility: 'hidden', border: '0',
      margin: '0', boxSizing: 'content-box', width: `${Math.max(0, inner)}px`, height: 'auto' });
    const mark = document.createElement('span');
    mark.textContent = '\u200b';
    copy.append(el.value.slice(0, el.selectionStart), mark);
    el.parentElement.append(copy);
    const scale = el.getBoundingClientRect().height / (el.offsetHeight || 1) || 1;
    const top = (mark.offsetTop - el.scrollTop) * scale;
    const left = (mark.offsetLeft - el.scrollLeft) * scale;
    const height = mark.offsetHeight * scale;
    copy.remove();
    const r = el.getBoundingClientRect();
    return { x: r.left + el.clientLeft * scale + left, y: r.top + el.clientTop * scale + top, height };
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: the lines the editor goes to are drawn where a person sees them`, async (t) => {
    await session(t, {
      chromium, suite: 'editor-lines', dir: path.join(artefacts, `editor-lines-${profile}`), viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        fs.writeFileSync(path.join(home, 'Documents', 'Files', 'lines.txt'), raw);
      },
      run: async (s) => {
        const { page } = s;
        const shown = (locator) => locator.filter({ visible: true });
        const text = shown(page.locator('#screen textarea')).first();
        const bar = (name) => shown(page.locator('#screen').getByRole('button', { name, exact: true }));
        await s.tab('Saved Files');
        await clickSeen(s.row('lines.txt'));
        // The tip's opacity as the page draws it, every frame from now until it has gone.
        await page.evaluate((label) => {
          window.tipLooks = [];
          const look = () => {
            const el = document.querySelector(`#screen [aria-label="${label}"]`);
            window.tipLooks.push([performance.now(), el ? Number(getComputedStyle(el).opacity) : null]);
            if (window.tipLooks.length < 5000) requestAnimationFrame(look);
          };
          requestAnimationFrame(look);
        }, tip);
        await clickSeen(s.button('Edit'));
        await waitFor(async () => (await text.count()) && (await text.inputValue()) === raw, 'the file in the editor');

        if (profile === 'phone') {
          // The tip shows, then fades: drawn part-way faded for most of its 1.5 s fade.
          await waitFor(() => page.evaluate(() => window.tipLooks.some(([, o]) => o !== null)), 'the tip');
          await s.screen('tip');
          await waitFor(() => page.evaluate(() => window.tipLooks.at(-1)[1] === null &&
            window.tipLooks.some(([, o]) => o !== null)), 'the tip gone', 15000);
          const looks = await page.evaluate(() => window.tipLooks);
          const fading = looks.filter(([, o]) => o !== null && o > 0.05 && o < 0.95);
          assert.ok(fading.length && fading.at(-1)[0] - fading[0][0] > 700,
            `the tip goes without a fade: ${JSON.stringify(looks.filter(([, o], i) => i % 10 === 0 || (o > 0 && o < 1)).slice(0, 60))}`);
        }

        // The keyboard brought by a click into the text: the text reaches down to the row of keys
        // (or the bars at the foot), and lines are drawn right down to it.
        const box = await text.boundingBox();
        await page.mouse.click(box.x + box.width / 2, box.y + 40);
        await page.locator('#screen .accessorybar').waitFor();
        await page.waitForTimeout(500);
        const keys = await page.locator('#screen .accessorybar').boundingBox();
        const now = await text.boundingBox();
        const probe = [now.x + 40, keys.y - 6];
        const at = await page.evaluate(([x, y]) => {
          const e = document.elementFromPoint(x, y);
          return e && e.tagName;
        }, probe);
        assert.equal(at, 'TEXTAREA', `just above the row of keys lies ${await whatLiesAt(page, ...probe)}, not the text`);
        await s.screen('keyboard');
        const strip = await screenshotPixels(page, await page.screenshot(), { x: now.x, y: keys.y - 24, width: Math.min(120, now.width), height: 22 });
        assert.ok(strip.some(([r, g, b]) => r + g + b < 200), 'no line is drawn just above the row of keys');
        await page.keyboard.press('Escape');
        await page.locator('#screen .accessorybar').waitFor({ state: 'detached' });

        const goTo = async (n) => {
          await clickSeen(bar('GoTo'));
          const field = shown(page.getByLabel('Goto Line Number...', { exact: true }));
          await typeInto(field, String(n));
          await page.keyboard.press('Enter');
          await waitFor(async () => !(await field.count()), 'the Goto Line screen gone', 10000);
        };
        // The line gone to: its selected first character marked where it is drawn, nothing over
        // it, and a click there puts the caret into that very line.
        const lineShown = async (n) => {
          const mark = shown(page.locator('#screen .v-textView .selmarks > span')).first();
          await mark.waitFor({ timeout: scaled(10000) }).catch(() => {});
          assert.ok(await mark.count(), `GoTo ${n}: no selection is drawn`);
          await page.waitForTimeout(300);
          const m = await mark.boundingBox();
          const point = [m.x + m.width / 2, m.y + m.height / 2];
          const hit = await page.evaluate(([x, y]) => {
            const e = document.elementFromPoint(x, y);
            return e && e.tagName;
          }, point);
          assert.equal(hit, 'TEXTAREA', `GoTo ${n}: the line lies under ${await whatLiesAt(page, ...point)}`);
          const marked = await screenshotPixels(page, await page.screenshot(), m);
          assert.ok(marked.some(([r, g, b]) => b > r + 40 && b > 150), `GoTo ${n}: the selection is not drawn`);
          await s.screen(`goto-${n}`);
          await page.evaluate(() => {
            const area = [...document.querySelectorAll('#screen textarea')].find((e) => e.getClientRects().length);
            area.addEventListener('click', () => { window.clickedAt = area.selectionStart; }, { once: true });
          });
          await page.mouse.click(point[0] + 20, point[1]);
          const caret = await waitFor(() => page.evaluate(() => window.clickedAt), 'the click');
          assert.ok(caret >= startOf(n) && caret <= startOf(n) + lines[n - 1].length,
            `GoTo ${n}: a click on the line drawn there puts the caret at ${caret}, not into line ${n} (${startOf(n)})`);
          // The keys the click brought up leave the line typed into in view, above them.
          await page.locator('#screen .accessorybar').waitFor();
          let at = null;
          let keysTop = 0;
          await waitFor(async () => {
            keysTop = (await page.locator('#screen .accessorybar').boundingBox()).y;
            at = await caretBox(page);
            return at && at.y + at.height <= keysTop + 1 &&
              (await page.evaluate(([x, y]) => document.elementFromPoint(x, y)?.tagName, [at.x + 1, at.y + at.height / 2])) === 'TEXTAREA';
          }, 'the line typed into in view', 3000).catch(() => {});
          assert.ok(at, `GoTo ${n}: no caret in the text`);
          assert.ok(at.y + at.height <= keysTop + 1,
            `GoTo ${n}: the line typed into lies under ${await whatLiesAt(page, at.x + 1, at.y + at.height / 2)}`);
          await s.screen(`goto-${n}-typing`);
          await page.keyboard.press('Escape');
          await page.locator('#screen .accessorybar').waitFor({ state: 'detached' });
        };
        await goTo(4000);
        await lineShown(4000);
        await goTo(5000);
        await lineShown(5000);
      },
    });
  });
}

// What the page shows while a person types a password and while a help page loads, mouse and
// keyboard only: the connect screen's Password field never holds or shows a typed character, not
// even before the program's own masked text comes back (phone and tablet); the tablet's help
// popover shows its loading spinner in a colour that stands out from the page it lies on, and the
// spinner of a folder being listed stands out from its bar (phone and tablet).
// Screenshots go to $RENDERER_ARTEFACTS/masks-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { artefacts, clickSeen, profiles, session, startFtpServer, scaled } from '../support/person.mjs';

const typed = 'Zq7x!pw';

// Records every spinner drawn on the screen (inside `within`) with its arc's colour and the
// colour of what lies under it: the first ancestor with a colour of its own, or the mean of the
// colours of its gradient (a bar's).
function recordSpinners(page, within) {
  return page.evaluate((scope) => {
    window.spinners = [];
    const mean = (colours) => {
      const sum = [0, 0, 0];
      for (const c of colours) c.slice(0, 3).forEach((v, i) => { sum[i] += v; });
      return `rgb(${sum.map((v) => Math.round(v / colours.length)).join(', ')})`;
    };
    const look = (el) => {
      let under = 'rgb(255, 255, 255)';
      for (let a = el.parentElement; a; a = a.parentElement) {
        const style = getComputedStyle(a);
        const stops = style.backgroundImage.match(/rgba?\([^)]*\)/g);
        if (stops) { under = mean(stops.map((c) => c.match(/[\d.]+/g).map(Number))); break; }
        const bg = style.backgroundColor;
        if (bg && bg !== 'transparent' && !/rgba\(.*,\s*0\)$/.test(bg)) { under = bg; break; }
      }
      window.spinners.push({ arc: getComputedStyle(el).borderTopColor, under, size: el.getBoundingClientRect().width,
        where: el.parentElement.closest('.navbar, .v-toolbar:not(.inbar), .popover')?.className || 'screen' });
    };
    new MutationObserver(() => {
      for (const el of document.querySelectorAll(`#screen ${scope} .v-activity`)) if (el.getClientRects().length) look(el);
    }).observe(document.getElementById('screen'), { subtree: true, childList: true, attributes: true });
  }, within);
}

// The contrast of two CSS colours (the WCAG ratio of their luminances, 1 to 21).
function contrast(a, b) {
  const lum = (css) => {
    const [r, g, bl] = css.match(/[\d.]+/g).slice(0, 3).map(Number).map((v) => {
      const c = v / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    });
    return 0.2126 * r + 0.7152 * g + 0.0722 * bl;
  };
  const [x, y] = [lum(a), lum(b)].sort((p, q) => q - p);
  return (x + 0.05) / (y + 0.05);
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: a password is masked as it is typed`, async (t) => {
    await session(t, {
      chromium, suite: 'masks', dir: path.join(artefacts, `masks-${profile}`), viewport, env,
      run: async (s) => {
        const { page, front } = s;
        const field = front().getByLabel('Password', { exact: true });
        await clickSeen(field);
        // What the field holds right after each edit the page makes of a key (before anything
        // came back from the program), and whether it draws its text masked.
        await page.evaluate(() => {
          window.heldValues = [];
          window.addEventListener('beforeinput', (e) => {
            if (e.target.tagName === 'INPUT') window.heldValues.push(e.target.value);
          });
          window.addEventListener('keyup', (e) => {
            if (e.target.tagName === 'INPUT') window.heldValues.push(e.target.value);
          }, true);
        });
        await page.keyboard.type(typed, { delay: 30 });
        await page.waitForTimeout(500);
        const held = await page.evaluate(() => [...window.heldValues, document.activeElement.value]);
        assert.ok(held.length > typed.length, `the keys were not seen: ${JSON.stringify(held)}`);
        const shown = held.filter((v) => [...typed].some((c) => v.includes(c)));
        assert.deepEqual(shown, [], 'the field shows what was typed');
        assert.equal(held.at(-1), '\u2022'.repeat(typed.length), 'the field does not hold one dot per key');
        await s.screen('password');
      },
    });
  });
}

test('tablet: the help popover\'s spinner stands out from its page', async (t) => {
  const [, viewport, env] = profiles.find(([p]) => p === 'tablet');
  // The online help is asked for through a proxy on loopback that never answers: the page stays
  // loading (its spinner turning) while it is looked at, and nothing leaves the machine.
  const held = [];
  const proxy = net.createServer((c) => { held.push(c); c.on('error', () => {}); });
  await new Promise((resolve) => proxy.listen(0, '127.0.0.1', resolve));
  t.after(() => { for (const c of held) c.destroy(); proxy.close(); });
  const via = `http://127.0.0.1:${proxy.address().port}`;
  await session(t, {
    chromium, suite: 'masks', dir: path.join(artefacts, 'masks-tablet'), viewport,
    env: { ...env, http_proxy: via, HTTP_PROXY: via, no_proxy: '', NO_PROXY: '' },
    run: async (s) => {
      const { page } = s;
      // Each spinner drawn in a popover while the help loads.
      await recordSpinners(page, '.popover');
      await clickSeen(page.locator('#screen').getByRole('button', { name: 'Info', exact: true }));
      await page.locator('#screen .popover').waitFor();
      await page.waitForTimeout(1500);
      await s.screen('help-popover');
      const seen = await page.evaluate(() => window.spinners);
      const large = seen.filter((x) => x.size > 30);
      assert.ok(large.length, `the help's large spinner was never drawn: ${JSON.stringify(seen.slice(0, 5))}`);
      for (const x of large)
        assert.ok(contrast(x.arc, x.under) >= 3, `the spinner's arc ${x.arc} on ${x.under} can hardly be seen`);
    },
  });
});

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: the spinner of a folder being listed stands out from its bar`, async (t) => {
    // Enough names, sent slowly enough, for the listing to be watched.
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-masks-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    for (let i = 0; i < 300; i++) fs.writeFileSync(path.join(served, `a-file-with-a-long-name-${i}.txt`), '');
    const port = await startFtpServer(t, served, 400);
    await session(t, {
      chromium, suite: 'masks', dir: path.join(artefacts, `masks-${profile}`), viewport, env,
      run: async (s) => {
        const { page } = s;
        await recordSpinners(page, '');
        await clickSeen(s.front().getByLabel('Server'));
        await page.keyboard.type(`127.0.0.1:${port}`);
        await clickSeen(s.front().getByLabel('User Name'));
        await page.keyboard.type('anonymous');
        await clickSeen(s.button('Connect'));
        await page.locator('#screen .v-toolbar .v-activity').first().waitFor({ timeout: scaled(30000) });
        await s.screen('listing');
        const inBars = (await page.evaluate(() => window.spinners)).filter((x) => x.where !== 'screen');
        assert.ok(inBars.length, 'no spinner was drawn in a bar');
        for (const x of inBars)
          assert.ok(contrast(x.arc, x.under) >= 2.5, `the spinner's arc ${x.arc} on ${x.under} (${x.where}) can hardly be seen`);
      },
    });
  });
}

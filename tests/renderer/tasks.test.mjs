// Tasks a person finishes in the page, on the phone (390x844) and on the tablet (1280x800), with
// the mouse and the keyboard only, each click checked to land on what lies there: a row menu for
// the last row of a scrolled 50-row folder answered (and, on the tablet, left by a click beside
// it or by Escape), a crop rectangle dragged by its corner and the saved picture's size checked, a
// browser tab opened from a held link and closed, the checked file kept checked when a new folder
// appears, and the device drawn at a readable size.
// Cloud Files from a fresh start: a document copied into Saved Files badges its tab, a sound plays
// in the page until the person ends it. A picture of the photo library checked by its row menu
// and copied into a folder of Saved Files when the list of folders is left. Screenshots go to $RENDERER_ARTEFACTS/tasks-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  browserLaunch, bringIntoView, checkedRows, checkScreen, clickSeen, drawnOrSay, connectAnonymousFtp, overlayBox, pictureSize, startFtpServer, startProgram, typeInto, waitFor, watch, whatLiesAt,
  session as sharedSession, artefacts, profiles, scaled, newPage, waitsWithoutLimit, watchForStall,
} from '../support/person.mjs';

const resources = process.env.FERROWEN_RESOURCES || path.join(import.meta.dirname, '../../resources');

// One task in the program with a browser on its page (the shared session of the browser suites).
// `withoutLimit`: every wait ends on what it waits for (see waitsWithoutLimit).
function session(t, profile, viewport, env, prepare, run, withoutLimit = false) {
  return sharedSession(t, {
    chromium, suite: 'tasks', dir: path.join(artefacts, `tasks-${profile}`), viewport, env, prepare, run, withoutLimit,
  });
}

// A WAV file of silence, `seconds` long (8 kHz, 8-bit mono).
function silentWav(seconds) {
  const n = 8000 * seconds;
  const b = Buffer.alloc(44 + n, 0x80);
  b.write('RIFF', 0); b.writeUInt32LE(36 + n, 4); b.write('WAVE', 8); b.write('fmt ', 12);
  b.writeUInt32LE(16, 16); b.writeUInt16LE(1, 20); b.writeUInt16LE(1, 22); b.writeUInt32LE(8000, 24);
  b.writeUInt32LE(8000, 28); b.writeUInt16LE(1, 32); b.writeUInt16LE(8, 34); b.write('data', 36);
  b.writeUInt32LE(n, 40);
  return b;
}

// The sheet lies wholly on the screen and each of its buttons is what a click at its centre meets.
async function sheetOnScreen(s) {
  const screen = await s.page.locator('#screen').boundingBox();
  const box = await s.sheet.boundingBox();
  assert.ok(box.y >= screen.y - 1 && box.y + box.height <= screen.y + screen.height + 1 &&
    box.x >= screen.x - 1 && box.x + box.width <= screen.x + screen.width + 1,
  `the menu ${JSON.stringify(box)} leaves the screen ${JSON.stringify(screen)}`);
}

// A step that cannot go on (what it waits for never comes, the page stays as it is) ends once
// the page has shown the same for a while, saying what it shows, however its waits are limited.
test('a wait without a limit ends when the page stops changing, saying what it shows', async (t) => {
  const browser = await chromium.launch(browserLaunch);
  t.after(() => browser.close());
  const page = waitsWithoutLimit(await newPage(browser));
  await page.setContent('<p>Nothing changes here.</p>');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-stall-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const started = Date.now();
  const stall = watchForStall(page, dir, 1000);
  await assert.rejects(page.locator('.actionsheet').waitFor());
  stall.stop();
  assert.match(stall.stalled(), /^for \d+ s the page showed the same: nothing is drawn$/);
  assert.ok(Date.now() - started < scaled(10000), `it took ${Date.now() - started} ms`);
  assert.ok(fs.existsSync(path.join(dir, 'at-failure.png')), 'the page is photographed');
});

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: a row menu for the last row of a scrolled 50-row folder is answered`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-tasks-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    for (let i = 1; i <= 50; i++) fs.writeFileSync(path.join(served, `file-${String(i).padStart(2, '0')}.txt`), `${i}\n`);
    const ftpPort = await startFtpServer(t, served, 1 << 20);
    // Fifty rows drawn, scrolled and a menu answered: on a loaded machine each step may take
    // longer than any limit a wait could guess, so the waits end on what they wait for.
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front, row } = s;
      await connectAnonymousFtp(s, ftpPort, 'file-01.txt');
      // Scrolled to the end with the mouse wheel over the folder, as a person scrolls.
      const table = front().locator('.v-table:visible').first();
      for (let i = 0; !(await row('file-50.txt').count()) || !(await row('file-50.txt').isVisible()); i++) {
        assert.ok(i < 60, 'the last row never came into view');
        await bringIntoView(table);
        const box = await table.boundingBox();
        await page.mouse.move(box.x + box.width / 2, Math.max(box.y, 0) + 40);
        await page.mouse.wheel(0, 400);
        await page.waitForTimeout(100);
      }
      await page.mouse.wheel(0, 2000); // to the very end
      await page.waitForTimeout(300);
      const menu = row('file-50.txt').locator('.accessory');

      await clickSeen(menu);
      await drawnOrSay(s.sheetButton('Rename File'), 'the menu of file-50.txt');
      await sheetOnScreen(s);
      await s.screen('row-menu-last-row');
      if (profile === 'tablet') {
        // A click beside the menu is its Cancel, as on the device; so is Escape. The program
        // takes clicks again after each.
        const sheetBox = await s.sheet.boundingBox();
        const screenBox = await page.locator('#screen').boundingBox();
        const besideX = sheetBox.x + sheetBox.width + (screenBox.x + screenBox.width - sheetBox.x - sheetBox.width) / 2;
        await page.mouse.click(besideX, Math.max(sheetBox.y, 0) + 20);
        await s.sheet.waitFor({ state: 'detached' });
        await clickSeen(menu);
        await drawnOrSay(s.sheetButton('Rename File'), 'the menu of file-50.txt again');
        await page.keyboard.press('Escape');
        await s.sheet.waitFor({ state: 'detached' });
        await clickSeen(menu);
        await drawnOrSay(s.sheetButton('Rename File'), 'the menu of file-50.txt after Escape');
        await sheetOnScreen(s);
      }
      // Answered: the file renamed through the menu.
      await clickSeen(s.sheetButton('Rename File'));
      const field = page.locator('input[data-kind="field"]').first();
      await field.waitFor();
      await typeInto(field, 'renamed-50.txt');
      await clickSeen(s.button('Done').or(s.button('Save')));
      await waitFor(() => fs.existsSync(path.join(served, 'renamed-50.txt')), 'the rename on the server', 60000);
      assert.ok(!fs.existsSync(path.join(served, 'file-50.txt')));
    }, true);
  });

  test(`${profile}: a folder scrolled on while the program still answers stays where it was scrolled`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-tasks-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    for (let i = 1; i <= 50; i++) fs.writeFileSync(path.join(served, `file-${String(i).padStart(2, '0')}.txt`), `${i}\n`);
    const ftpPort = await startFtpServer(t, served, 1 << 20);
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front, app } = s;
      await connectAnonymousFtp(s, ftpPort, 'file-01.txt');
      const table = front().locator('.v-table:visible').first();
      await bringIntoView(table);
      // Each offset the program sends, with where the table stands once the page has drawn it.
      await table.evaluate((el) => {
        window.drawnAt = [];
        new MutationObserver(() => window.drawnAt.push([Number(el.dataset.offset), Math.round(el.scrollTop)]))
          .observe(el, { attributes: true, attributeFilter: ['data-offset'] });
      });
      const box = await table.boundingBox();
      await page.mouse.move(box.x + box.width / 2, Math.max(box.y, 0) + 40);
      // Two turns of the wheel while the program is busy (stopped): each goes to it on its own,
      // and its answers come after the second.
      let scrolled = [];
      process.kill(app.child.pid, 'SIGSTOP');
      try {
        for (const turn of [300, 300]) {
          await page.mouse.wheel(0, turn);
          await page.waitForTimeout(400);
          scrolled.push(Math.round(await table.evaluate((el) => el.scrollTop)));
        }
      } finally {
        process.kill(app.child.pid, 'SIGCONT');
      }
      assert.ok(scrolled[0] > 0 && scrolled[1] > scrolled[0], `the wheel scrolled the folder: ${scrolled}`);
      await waitFor(() => table.evaluate((el) => Number(el.dataset.offset)).then((o) => Math.abs(o - scrolled[1]) <= 1),
        'the program at the place scrolled to');
      // The answer to the first turn did not take the folder back under the pointer.
      const drawn = await page.evaluate(() => window.drawnAt);
      assert.ok(drawn.length >= 1 && drawn.every(([, top]) => Math.abs(top - scrolled[1]) <= 1),
        `the folder moved while the program answered (offset, where it stood): ${JSON.stringify(drawn)}; scrolled to ${scrolled[1]}`);
      // (A photograph only, once the rows' drawings are in: the row at the edge may lie half
      // under the toolbar where it stopped.)
      await page.waitForFunction(() => [...document.images].every((i) => i.complete || !i.getClientRects().length));
      fs.mkdirSync(path.join(artefacts, `tasks-${profile}`), { recursive: true });
      await page.screenshot({ path: path.join(artefacts, `tasks-${profile}`, 'scrolled-while-busy.png') });
    });
  });

  test(`${profile}: a crop rectangle dragged by its corner crops the saved picture`, async (t) => {
    const picture = path.join(resources, 'Default.png');
    const [pw, ph] = pictureSize(picture);
    await session(t, profile, viewport, env, (home) => {
      fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
      fs.copyFileSync(picture, path.join(home, 'Documents', 'Files', 'picture.png'));
    }, async (s) => {
      const { page, front, row } = s;
      await s.tab('Saved Files');
      await clickSeen(row('picture.png').locator('.accessory'));
      await clickSeen(s.sheetButton('Edit Image'));
      await clickSeen(s.button('Crop'));
      const area = front().locator('[aria-label="Crop Area"]');
      const drawn = area.locator('img').first();
      await drawn.waitFor();
      await waitFor(() => drawn.evaluate((i) => i.complete && i.naturalWidth > 0), 'the crop rectangle drawn');
      await bringIntoView(area);
      // Where the rectangle stands, in the area's points: the box of what the overlay draws (the
      // rectangle and the handles on its corners).
      // (A drawing on its way is waited for.)
      const drawnBox = () => waitFor(() => overlayBox(drawn), 'the crop rectangle drawn');
      const before = await drawnBox();
      const scale = Number(await page.evaluate(() => document.body.dataset.scale));
      const box = await area.boundingBox();
      // The top-left handle, held a little inside its corner, dragged in by 60 points each way.
      const grab = { x: box.x + (before.left + 8) * scale, y: box.y + (before.top + 8) * scale };
      const there = await page.evaluate(([x, y]) => document.elementFromPoint(x, y).closest('[aria-label]').getAttribute('aria-label'), [grab.x, grab.y]);
      assert.equal(there, 'Crop Area');
      const step = 60;
      await page.mouse.move(grab.x, grab.y);
      await page.mouse.down();
      for (let i = 1; i <= 12; i++) {
        await page.mouse.move(grab.x + (step * i / 12) * scale, grab.y + (step * i / 12) * scale);
        await page.waitForTimeout(20);
      }
      await page.mouse.up();
      const after = await waitFor(async () => {
        const b = await drawnBox();
        return Math.abs(b.left - before.left - step) <= 2 && Math.abs(b.top - before.top - step) <= 2 && b;
      }, 'the rectangle to follow the mouse');
      assert.ok(Math.abs(after.right - before.right) <= 1 && Math.abs(after.bottom - before.bottom) <= 1, 'the far corner stays');
      await s.screen('crop-dragged');

      // What the picture keeps: the rectangle's part over the picture, which is drawn to fit the
      // area. The handles stand over the corners, reaching beyond the rectangle by up to half
      // their size (taken as at most 16 points): the rectangle lies between the box drawn and
      // that box 16 points in.
      const f = Math.min(after.width / pw, after.height / ph);
      const ox = (after.width - pw * f) / 2;
      const oy = (after.height - ph * f) / 2;
      const kept = (from, to, offset, most) => Math.min(most, Math.max(0, (to - offset) / f)) - Math.min(most, Math.max(0, (from - offset) / f));
      const range = (b) => [
        [kept(b.left + 16, b.right - 16, ox, pw), kept(b.left, b.right, ox, pw)],
        [kept(b.top + 16, b.bottom - 16, oy, ph), kept(b.top, b.bottom, oy, ph)]];
      const [wide, high] = range(after);
      const [wideBefore, highBefore] = range(before);
      await clickSeen(s.button('Crop To Rect'));
      await front().locator('[aria-label="Crop Area"]').waitFor({ state: 'detached', timeout: scaled(30000) });
      // Saved through the editor's Save (on the tablet in a popover from its bar).
      await clickSeen(s.button('Save'));
      await clickSeen(page.getByRole('button', { name: 'Save to "Saved Files"', exact: true }));
      const saved = path.join(s.home, 'Documents', 'Files', 'picture.jpg');
      await waitFor(() => fs.existsSync(saved), 'the cropped picture in Saved Files', 30000);
      const [w, h] = pictureSize(saved);
      assert.ok(w >= wide[0] - 2 && w <= wide[1] + 2 && h >= high[0] - 2 && h <= high[1] + 2,
        `the saved picture is ${w}x${h}; the rectangle held ${wide.map(Math.round).join('-')} x ${high.map(Math.round).join('-')}`);
      // Less than the rectangle before the drag held.
      assert.ok(w < wideBefore[0] - 2 && h < highBefore[0] - 2, `${w}x${h} is what the first rectangle kept`);
    });
  });

  test(`${profile}: a picture imported from the photo library, paged to in the viewer and saved back`, async (t) => {
    const picture = path.join(resources, 'Default.png');
    await session(t, profile, viewport, env, (home) => {
      fs.mkdirSync(path.join(home, 'Pictures', 'Holidays'), { recursive: true });
      fs.copyFileSync(picture, path.join(home, 'Pictures', 'Holidays', 'beach.png'));
      fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
      fs.copyFileSync(picture, path.join(home, 'Documents', 'Files', 'a.png'));
    }, async (s) => {
      const { page, front, row, home } = s;
      const files = path.join(home, 'Documents', 'Files');
      await s.tab('Saved Files');
      await clickSeen(s.button('Menu'));
      await clickSeen(s.sheetButton('Import Picture/Video'));
      await clickSeen(row('Holidays'));
      await clickSeen(row('beach.png'));
      // The prompt comes once the picture is read; until then the front screen's first field may
      // be another one (the browser's address field, on the tablet).
      const field = front().getByLabel('File Name:');
      await field.waitFor();
      await s.screen('import-picture-name');
      await typeInto(field, 'shore');
      await clickSeen(s.button('Done').or(s.button('Save')));
      const imported = await waitFor(() => fs.readdirSync(files).find((n) => /^shore\.(jpg|png)$/.test(n)),
        'the imported picture in Saved Files', 30000);
      await row(imported).waitFor();
      await s.screen('imported-picture-listed');

      // Viewed, it pages to the folder's other picture.
      await clickSeen(row(imported));
      await clickSeen(s.button('View'));
      const tip = page.locator('.alert', { hasText: 'Saving to Photo Library' });
      await waitFor(async () => (await tip.count()) > 0 || (await s.button('Previous Image').count()) > 0, 'the viewer');
      if (await tip.count()) {
        await clickSeen(page.locator('.alert button', { hasText: 'OK' }));
        await tip.waitFor({ state: 'detached' });
      }
      await waitFor(async () => (await s.button('Previous Image').count()) > 0 &&
        await s.button('Previous Image').isEnabled(), 'paging to the previous picture');
      await s.screen('viewer-imported-picture');
      await clickSeen(s.button('Previous Image'));
      await waitFor(async () => (await front().allTextContents()).join(' ').includes('1 / 2'), 'the first of two pictures');
      await s.screen('viewer-paged');

      // Save copies the picture shown into the pictures folder.
      const save = s.button('Save');
      await waitFor(async () => (await save.count()) > 0 && await save.isEnabled(), 'the Save button');
      await clickSeen(save);
      await waitFor(() => fs.readdirSync(path.join(home, 'Pictures')).some((n) => /^IMG_\d{4}\.jpg$/.test(n)),
        'the saved picture in the pictures folder', 30000);

      // A picture's row menu offers the library too, wholly on the screen, and adds the file as it is.
      if (profile === 'phone') await clickSeen(s.button('Cancel'));
      else await clickSeen(s.button('Close File'));
      await clickSeen(row('a.png').locator('.accessory'));
      await s.sheetButton('Add to Photo Library').waitFor();
      await sheetOnScreen(s);
      await s.screen('picture-row-menu');
      await clickSeen(s.sheetButton('Add to Photo Library'));
      await waitFor(() => fs.readdirSync(path.join(home, 'Pictures')).some((n) => n === 'IMG_0001.png'),
        'the added picture in the pictures folder', 30000);
      assert.deepEqual(fs.readFileSync(path.join(home, 'Pictures', 'IMG_0001.png')), fs.readFileSync(picture));
    });
  });

  test(`${profile}: a picture's row menu in the photo library checks it, and Copy File copies when its list is left`, async (t) => {
    const picture = path.join(resources, 'Default.png');
    await session(t, profile, viewport, env, (home) => {
      fs.mkdirSync(path.join(home, 'Pictures', 'Holidays'), { recursive: true });
      for (const name of ['beach.png', 'shore.png']) fs.copyFileSync(picture, path.join(home, 'Pictures', 'Holidays', name));
      fs.mkdirSync(path.join(home, 'Documents', 'Files', 'trips'), { recursive: true });
    }, async (s) => {
      const { front, row, home } = s;
      const files = path.join(home, 'Documents', 'Files');
      await s.tab('Saved Files');
      await clickSeen(row('Photo Library'));
      await clickSeen(row('Holidays'));
      const pictures = () => front().locator('.cell[aria-label]')
        .evaluateAll((all) => all.map((c) => c.getAttribute('aria-label')).filter((name) => /^img_.*\.png$/.test(name)));
      await waitFor(async () => (await pictures()).length === 2, 'the album\'s two pictures', 30000);
      const [first, second] = await pictures();
      const checked = async (names) => JSON.stringify(await checkedRows(front)) === JSON.stringify(names);
      await clickSeen(row(second));
      await waitFor(() => checked([second]), 'the second picture checked');
      // The menu button checks its own row.
      await clickSeen(row(first).locator('.accessory'));
      await s.sheetButton('Copy File').waitFor();
      await sheetOnScreen(s);
      await s.screen('photo-row-menu');
      // Left, the menu leaves that row checked.
      if (await s.sheetButton('Cancel').count()) await clickSeen(s.sheetButton('Cancel'));
      else await s.page.keyboard.press('Escape'); // the tablet's menu by its row has no Cancel
      await s.sheet.waitFor({ state: 'detached' });
      await waitFor(() => checked([first]), 'the picture whose menu opened checked');
      await clickSeen(row(first).locator('.accessory'));
      // "Copy File" pushes the list of folders, on the tablet too; choices copy nothing until the
      // list is left.
      await clickSeen(s.sheetButton('Copy File'));
      await front().locator('.navbar', { hasText: `Copy ${first}` }).waitFor();
      await clickSeen(row('Saved Files'));
      await clickSeen(row('trips'));
      await row('trips').locator('.accessory.check').waitFor();
      await s.screen('photo-copy-list');
      assert.ok(!fs.existsSync(path.join(files, first)) && !fs.existsSync(path.join(files, 'trips', first)),
        'copied before the list was left');
      await clickSeen(front().locator('.navbar .back'));
      await waitFor(() => fs.existsSync(path.join(files, 'trips', first)), 'the copy in the chosen folder', 30000);
      assert.ok(!fs.existsSync(path.join(files, first)), 'a copy also where the choice was on the way');
      await waitFor(() => checked([]), 'no picture checked after the copy');
      await s.screen('photo-copied');
    });
  });

  test(`${profile}: a photo library that cannot be read shows its help page`, async (t) => {
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front, row, home } = s;
      await s.tab('Saved Files');
      await row('Photo Library').waitFor();
      // The pictures folder made at start turns into a file after Saved Files listed it.
      fs.rmSync(path.join(home, 'Pictures'), { recursive: true, force: true });
      fs.writeFileSync(path.join(home, 'Pictures'), 'not a folder');
      await clickSeen(row('Photo Library'));
      await page.locator('.navbar .title', { hasText: 'Ferrowen Help' }).first().waitFor({ timeout: scaled(30000) });
      await front().frameLocator('iframe').first().locator('h1', { hasText: 'could not be opened' }).waitFor();
      await s.screen('photo-library-error');
    });
  });

  test(`${profile}: a browser tab opened from a held link and closed`, async (t) => {
    // A page made for a desktop (no viewport of its own) and a link to hold.
    const body = '<p style="margin:30px"><a id=other href="/other.html" style="display:inline-block;padding:12px">Other page</a></p>' +
      '<p id=text>Text of the page to read.</p>';
    const site = http.createServer((req, res) => res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' })
      .end(`<!doctype html><html><head><meta charset=utf-8><title>Page ${req.url.replace(/\W/g, '')}</title></head><body style="font:16px sans-serif">${body}</body></html>`));
    await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));
    t.after(() => site.close());
    const address = `http://127.0.0.1:${site.address().port}`;
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front } = s;
      const inPage = (selector) => page.frameLocator('iframe[data-web]:visible').first().locator(selector);
      await s.tab('Web View');
      await clickSeen(front().getByLabel('Address'));
      await page.keyboard.press('Control+A');
      await page.keyboard.type(`${address}/index.html`);
      await page.keyboard.press('Enter');
      await inPage('#other').waitFor({ timeout: scaled(20000) });
      const tabsBefore = await page.locator('.tab').count();
      // A link offers its menu once the page has finished loading (the script that notices a
      // held finger is added when the load ends): a person holds it after the spinner stops.
      await waitFor(async () => !(await page.locator('.statusbar .netact').count()) &&
        await inPage('#other').evaluate(() => typeof valtryTouchDown === 'boolean').catch(() => false), 'the page loaded');
      // Held until the menu opens.
      const link = await inPage('#other').boundingBox();
      await page.mouse.move(link.x + link.width / 2, link.y + link.height / 2);
      await page.mouse.down();
      await s.sheet.waitFor({ timeout: scaled(15000) });
      await page.mouse.up();
      await sheetOnScreen(s);
      await clickSeen(s.sheetButton('Open in New Tab'));
      await s.sheet.waitFor({ state: 'detached' });
      await waitFor(async () => (await page.locator('iframe[data-web]:visible').count()) &&
        /other\.html$/.test(await page.locator('iframe[data-web]:visible').first().getAttribute('title')), 'the new tab with its page', 30000);
      await inPage('#text').waitFor({ timeout: scaled(20000) });
      // Every button of the bar is what a click at its centre meets, and the page is readable.
      const bar = front().locator('.navbar', { has: page.getByLabel('Close', { exact: true }) }).filter({ visible: true }).first();
      await bringIntoView(bar);
      for (const name of ['Close', 'Back', 'Bookmarks', 'Address']) {
        const b = bar.getByLabel(name, { exact: true }).first();
        const box = await b.boundingBox();
        const hit = await b.evaluate((e, [x, y]) => { const at = document.elementFromPoint(x, y); return at === e || e.contains(at); },
          [box.x + box.width / 2, box.y + box.height / 2]);
        assert.ok(hit, `${name} is covered`);
      }
      // (A redraw may be making the page's frame anew just now: its box comes back with it.)
      const text = await waitFor(() => inPage('#text').boundingBox(), 'the page\'s text drawn', 20000);
      assert.ok(text.height >= 10, `the page's text is drawn ${text.height.toFixed(1)} pixels high`);
      await s.screen('browser-tab');
      await clickSeen(front().getByLabel('Close', { exact: true }).filter({ visible: true }));
      if (profile === 'phone') {
        // Back to the Web View tab and its page; the tab keeps its name.
        await waitFor(async () => /index\.html$/.test(await page.locator('iframe[data-web]:visible').first().getAttribute('title') || ''),
          'the Web View tab again', 20000);
        await page.locator('.tab.selected[aria-label="Web View"]').waitFor();
      } else {
        await waitFor(async () => (await page.locator('.tab').count()) === tabsBefore, 'the browser tab closed', 20000);
      }
      await waitFor(async () => !(await front().getByLabel('Close', { exact: true }).filter({ visible: true }).count()), 'the browser gone');
      await s.screen('browser-tab-closed');
    });
  });

  test(`${profile}: the selected file kept after a new folder appears`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-tasks-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    for (const name of ['b.txt', 'c.txt', 'd.txt']) fs.writeFileSync(path.join(served, name), `${name}\n`);
    const ftpPort = await startFtpServer(t, served, 1 << 20);
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front, row } = s;
      await connectAnonymousFtp(s, ftpPort, 'c.txt');
      // The folder's own Download (the tablet shows another screen's toolbar beside it).
      const download = () => front().locator('.cell[aria-label="b.txt"]')
        .locator('xpath=ancestor::*[.//button[@aria-label="Download"]][1]')
        .getByRole('button', { name: 'Download', exact: true });
      const shows = async (checked, what) => {
        await waitFor(async () => JSON.stringify(await checkedRows(front)) === JSON.stringify(checked), what);
        await waitFor(async () => (await download().isEnabled()) === (checked.length > 0), `Download ${checked.length ? 'on' : 'off'}`);
      };
      await clickSeen(row('c.txt'));
      await shows(['c.txt'], 'c.txt checked');
      // A folder appears on the server (made by someone else) and the person refreshes: every file
      // row moves down one, and the check stays on c.txt, where a click on it lands.
      fs.mkdirSync(path.join(served, 'a-new-folder'));
      await clickSeen(front().getByRole('button', { name: 'Refresh', exact: true }));
      await row('a-new-folder').waitFor({ timeout: scaled(30000) });
      await shows(['c.txt'], 'c.txt still checked after the new folder');
      await bringIntoView(row('a-new-folder'));
      await s.screen('selection-kept-after-new-folder');
      await bringIntoView(row('c.txt'));
      const box = await row('c.txt').boundingBox();
      const there = await page.evaluate(([x, y]) => document.elementFromPoint(x, y)?.closest('.cell')?.getAttribute('aria-label'),
        [box.x + box.width / 2, box.y + box.height / 2]);
      assert.equal(there, 'c.txt', `the checked row is what lies there: ${await whatLiesAt(page, box.x + box.width / 2, box.y + box.height / 2)}`);
      // The checked file goes from the server: nothing is checked and Download is off.
      fs.rmSync(path.join(served, 'c.txt'));
      await clickSeen(front().getByRole('button', { name: 'Refresh', exact: true }));
      await row('c.txt').waitFor({ state: 'detached', timeout: scaled(30000) });
      await shows([], 'nothing checked once c.txt is gone');
      await bringIntoView(row('a-new-folder'));
      await s.screen('selection-gone-with-its-file');
    });
  });

  test(`${profile}: the device is drawn whole, and at a readable size when asked`, async (t) => {
    await session(t, profile, viewport, env, null, async (s) => {
      const { page } = s;
      const size = page.locator('#size');
      const whole = async () => {
        const device = await page.locator('#device').boundingBox();
        return device.y >= 0 && device.y + device.height <= viewport.height + 1 &&
          device.x >= 0 && device.x + device.width <= viewport.width + 1;
      };
      // At start the whole device is in the window, its bottom tab bar too.
      assert.ok(await whole(), 'the device is not whole in the window');
      // Tab labels of 10 points: at least 9.5 pixels on the screen at the actual size, which the
      // person may choose (the window is then scrolled to reach every part).
      const labelPixels = () => page.locator('.tab .tabtitle').first().evaluate((e) =>
        parseFloat(getComputedStyle(e).fontSize) * Number(document.body.dataset.scale));
      if ((await size.textContent()) === 'Actual Size') {
        await clickSeen(size);
        await waitFor(async () => (await size.textContent()) === 'Fit Window', 'the actual size');
      }
      assert.ok(await labelPixels() >= 9.5, `tab labels are ${(await labelPixels()).toFixed(1)} pixels`);
      await s.tab('Settings');
      await s.front().locator('.navbar .title', { hasText: 'Settings' }).waitFor();
      await s.screen('readable');
      // And back to the whole device.
      await clickSeen(size);
      await waitFor(async () => (await size.textContent()) === 'Actual Size', 'the choice');
      await waitFor(whole, 'the whole device again');
    });
  });

  test(`${profile}: Cloud Files from a fresh start: a copy badges Saved Files, a sound plays until Done`, async (t) => {
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, home, row } = s;
      await s.tab('Saved Files');
      // Offered at once: the program made its cloud folder at the first start.
      await row('Cloud Files').waitFor();
      const cloud = path.join(home, 'Cloud');
      assert.ok(fs.statSync(cloud).isDirectory());
      fs.writeFileSync(path.join(cloud, 'notes.txt'), 'from the cloud\n');
      fs.writeFileSync(path.join(cloud, 'tone.wav'), silentWav(30));
      await clickSeen(row('Cloud Files'));
      await row('tone.wav').waitFor();
      await s.screen('cloud-files');

      await clickSeen(row('notes.txt').locator('.accessory'));
      await s.sheetButton('Copy From Cloud Files').waitFor();
      await sheetOnScreen(s);
      await s.screen('cloud-row-menu');
      await clickSeen(s.sheetButton('Copy From Cloud Files'));
      // The row whose menu opened is the checked one.
      await waitFor(async () => JSON.stringify(await checkedRows(s.front)) === '["notes.txt"]', 'notes.txt checked by its menu button');
      const badge = page.locator('.tab[aria-label="Saved Files"] .badge');
      await waitFor(async () => (await badge.count()) && (await badge.textContent()) === '+', 'the "+" on Saved Files');
      await bringIntoView(badge);
      await s.screen('cloud-copied');
      assert.equal(fs.readFileSync(path.join(home, 'Documents', 'Files', 'notes.txt'), 'utf8'), 'from the cloud\n');
      await badge.waitFor({ state: 'detached', timeout: scaled(10000) });

      // Played in the page; the person's Done ends it and the player screen closes.
      await clickSeen(row('tone.wav'));
      await clickSeen(s.button('Play'));
      const player = page.locator('#media audio');
      await player.waitFor();
      fs.mkdirSync(path.join(artefacts, `tasks-${profile}`), { recursive: true });
      await page.screenshot({ path: path.join(artefacts, `tasks-${profile}`, 'cloud-playing.png') });
      await clickSeen(page.locator('#media .close'));
      await page.locator('#media').waitFor({ state: 'hidden' });
      await s.button('Play').waitFor();
      await s.screen('cloud-played');
      assert.ok(fs.existsSync(path.join(cloud, 'tone.wav')), 'a cloud document stays after playing');
    });
  });
}

// The program stopped by SIGTERM while it copies a video out of the photo library on a worker (the
// copy a viewer is given): it waits for the copy, removes the copy it made, saves its settings and
// ends with 0. The video is large enough (sparse, so it costs the disk only its copy) that the copy
// is still running when the signal comes.
test('phone: SIGTERM while a video is copied out of the photo library ends cleanly', async (t) => {
  const [profile, viewport, env] = profiles[0];
  await session(t, profile, viewport, env, (home) => {
    fs.mkdirSync(path.join(home, 'Pictures', 'Holidays'), { recursive: true });
    fs.truncateSync(fs.openSync(path.join(home, 'Pictures', 'Holidays', 'clip.mov'), 'w'), 256 << 20);
  }, async (s) => {
    const { front, row, home, app } = s;
    await s.tab('Saved Files');
    await clickSeen(row('Photo Library'));
    await clickSeen(row('Holidays'));
    const video = await waitFor(async () => (await front().locator('.cell[aria-label]')
      .evaluateAll((all) => all.map((c) => c.getAttribute('aria-label')).find((name) => /^mov_.*\.mov$/.test(name)))),
    'the album\'s video');
    await clickSeen(row(video));
    await clickSeen(s.button('View'));
    // The program's temporary folder for copies handed on (the photo library's among them).
    const copy = path.join(home, 'Documents', 'Downloads', video);
    await waitFor(() => fs.existsSync(copy), 'the copy begun');
    // The page loses its program now: what it then reports is not what a person meets in use.
    for (const event of ['console', 'pageerror', 'requestfailed', 'response']) s.page.removeAllListeners(event);
    app.child.kill('SIGTERM');
    assert.equal(await app.exited, 0, app.output());
    assert.ok(!fs.existsSync(copy), `the copy is left: ${copy}`);
    const settings = JSON.parse(fs.readFileSync(path.join(home, 'Preferences.json'), 'utf8'));
    assert.equal(settings.ShownWebHelp, '1', 'the settings saved');
  });
});

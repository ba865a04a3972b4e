// Details a person meets on the tablet (1280x800), mouse and keyboard only: the photo picker of
// Saved Files and of Cloud Files opens in a popover by the Menu button that asked for it (not
// over the whole screen), the picture picked there is named and stored, and a tap beside the
// popover closes it with nothing picked; the SFTP key help page reads whole. Screenshots go to
// $RENDERER_ARTEFACTS/details-tablet.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { clickSeen, session, typeInto, waitFor, whatLiesAt, writePicture, scaled } from '../support/person.mjs';

const artefacts = process.env.RENDERER_ARTEFACTS || path.join(os.tmpdir(), 'ferrowen-renderer');
const dir = path.join(artefacts, 'details-tablet');
const tablet = { chromium, suite: 'details', dir, viewport: { width: 1280, height: 800 }, env: { FERROWEN_DEVICE: 'ipad' } };

// The picker's popover: its content is the 320 x 480 points asked for (the popover's frame adds
// 8 on each side), it stands by the Menu button, much smaller than the screen.
async function pickerBesideMenu(s, name, menu) {
  const { page } = s;
  const popover = page.locator('.popover', { has: page.locator('.navbar', { hasText: 'Photo Albums' }) });
  await popover.waitFor();
  const size = await popover.evaluate((e) => [e.offsetWidth, e.offsetHeight]);
  assert.deepEqual(size, [336, 496], `${name}: the picker's popover is ${size.join('x')} points`);
  const [p, m, screen] = await Promise.all([popover.boundingBox(), menu.boundingBox(), page.locator('#screen').boundingBox()]);
  assert.ok(p.width < screen.width / 2 && p.height < screen.height, `${name}: the picker covers the screen`);
  // Right below or right above the button, and over it sideways (as near as the screen allows).
  const gap = Math.min(Math.abs(p.y - (m.y + m.height)), Math.abs(m.y - (p.y + p.height)));
  assert.ok(gap < 20, `${name}: the popover stands ${gap}px away from the Menu button`);
  assert.ok(p.x <= m.x + m.width && p.x + p.width >= m.x, `${name}: the popover is not beside the Menu button`);
  await s.screen(`${name}-picker`);
  return popover;
}

// Menu, then the import entry: answers the Menu button (held: the popover takes the front layer).
async function openImport(s) {
  const menu = await s.button('Menu').elementHandle();
  await clickSeen(s.button('Menu'));
  await clickSeen(s.sheetButton('Import Picture/Video'));
  return menu;
}

// Picks the test's picture in the picker's popover; the popover goes.
async function pickPicture(page, popover) {
  await clickSeen(popover.locator('.cell[aria-label="Holidays"]'));
  await popover.locator('.navbar', { hasText: 'Holidays' }).waitFor();
  await clickSeen(popover.locator('.cell[aria-label="beach.png"]'));
  await popover.waitFor({ state: 'detached' });
}

// A click on the screen well away from the popover, the way a person closes it.
async function clickBeside(page, popover) {
  const [p, screen] = await Promise.all([popover.boundingBox(), page.locator('#screen').boundingBox()]);
  const x = p.x > screen.x + screen.width / 2 ? screen.x + 40 : screen.x + screen.width - 40;
  const y = screen.y + screen.height / 2;
  const hit = await page.evaluate(([px, py]) => Boolean(document.elementFromPoint(px, py)?.closest('.dim')), [x, y]);
  assert.ok(hit, `beside the popover lies ${await whatLiesAt(page, x, y)}`);
  await page.mouse.click(x, y);
  await popover.waitFor({ state: 'detached' });
}

test('tablet: the photo picker opens in a popover by the Menu button, in Saved Files and Cloud Files', async (t) => {
  await session(t, {
    ...tablet,
    prepare: (home) => {
      fs.mkdirSync(path.join(home, 'Pictures', 'Holidays'), { recursive: true });
      writePicture(path.join(home, 'Pictures', 'Holidays', 'beach.png'), 64, 48);
      fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
    },
    run: async (s) => {
      const { page, home, front, row } = s;
      const files = path.join(home, 'Documents', 'Files');
      await s.tab('Saved Files');
      await row('Cloud Files').waitFor();

      // Saved Files: a tap beside the picker closes it, nothing imported; then a picture is picked,
      // named in the prompt by the Menu button, and stored.
      let menu = await openImport(s);
      await clickBeside(page, await pickerBesideMenu(s, 'saved-files', menu));
      assert.deepEqual(fs.readdirSync(files).filter((f) => f.endsWith('.jpg')), []);
      menu = await openImport(s);
      await pickPicture(page, await pickerBesideMenu(s, 'saved-files-again', menu));
      const name = page.locator('.popover').getByLabel('File Name:');
      await typeInto(name, 'holiday');
      await s.screen('saved-files-name');
      await clickSeen(page.locator('.popover').getByRole('button', { name: 'Done', exact: true }));
      await row('holiday.jpg').waitFor();
      assert.ok(fs.statSync(path.join(files, 'holiday.jpg')).size > 0);

      // Cloud Files: the same picker by its own Menu button; the name prompt is pushed.
      await clickSeen(row('Cloud Files'));
      await front().locator('.navbar', { hasText: 'Cloud Files' }).waitFor();
      menu = await openImport(s);
      await pickPicture(page, await pickerBesideMenu(s, 'cloud-files', menu));
      const cloudName = front().getByLabel('File Name:');
      await typeInto(cloudName, 'beach-copy');
      await s.screen('cloud-files-name');
      await clickSeen(s.button('Done'));
      await row('beach-copy.jpg').waitFor({ timeout: scaled(20000) });
      await waitFor(() => fs.existsSync(path.join(home, 'Cloud', 'beach-copy.jpg')), 'the picture in the cloud folder');
      await s.screen('cloud-files-stored');
    },
  });
});

test('tablet: the SFTP key help page reads whole', async (t) => {
  await session(t, {
    ...tablet,
    run: async (s) => {
      const { page, front } = s;
      await clickSeen(front().getByRole('tab', { name: 'SFTP', exact: true }));
      await clickSeen(front().getByLabel('Keys Help'));
      const help = page.frameLocator('iframe[data-web][title$="/error-sftp-keys.html"]');
      await help.locator('h1', { hasText: 'SFTP private keys' }).waitFor({ timeout: scaled(20000) });
      await help.locator('li[data-key-format="ppk"]').waitFor();
      // Nothing of the page is wider than its frame: a person reads it without scrolling sideways.
      const wide = await help.locator('body').evaluate((b) => b.scrollWidth > b.clientWidth + 1);
      assert.ok(!wide, 'the key help page is wider than its frame');
      await s.screen('keys-help');
    },
  });
});

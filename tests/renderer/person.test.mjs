// What a person sees and does with the real application in a browser: the ferrowen program (its
// own front end on loopback, a fresh home) and a local FTP server (pyftpdlib), driven with the
// mouse and the keyboard only. Every screen reached from the five tabs and their menus is checked
// (every control is what a click at its centre reaches, every row's own text shows inside its
// row) and kept as a screenshot in $RENDERER_ARTEFACTS; no request may fail and no console error
// appear. The same session runs on the phone and on the tablet.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { browserLaunch, checkScreen, click, clickUntil, revealRow, startFtpServer, startProgram, typeInto, waitFor, watch, scaled } from '../support/person.mjs';

const artefacts = process.env.RENDERER_ARTEFACTS || path.join(os.tmpdir(), 'ferrowen-renderer');

// The server's folder: files to download, a folder to open and to download whole.
function serverFolder(t) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-ftp-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  fs.mkdirSync(path.join(root, 'photos'));
  fs.writeFileSync(path.join(root, 'photos', 'beach.txt'), 'sand\n');
  fs.writeFileSync(path.join(root, 'photos', 'hills.txt'), 'grass\n');
  fs.writeFileSync(path.join(root, 'notes.txt'), 'line one\nline two\n');
  fs.writeFileSync(path.join(root, 'old-name.txt'), 'to be renamed\n');
  // Big enough, at the server's pace, that the transfer can be watched.
  fs.writeFileSync(path.join(root, 'video.bin'), Buffer.alloc(12 * 1024 * 1024, 7));
  return root;
}

async function session(t, profile, viewport, env) {
  const root = serverFolder(t);
  const ftpPort = await startFtpServer(t, root, 512 * 1024);
  const app = await startProgram(t, env);
  const browser = await chromium.launch(browserLaunch);
  t.after(() => browser.close());
  const page = await browser.newPage({ viewport });
  const problems = [];
  watch(page, problems);
  const dir = path.join(artefacts, profile);
  const screen = (name) => checkScreen(page, name, problems, dir);
  // What the front layer (the top alert, sheet, popover or screen) shows.
  const front = () => page.locator('#screen .layers > :last-child');
  const tab = (name) => click(front().locator(`.tab[aria-label="${name}"]`));
  const title = (text) => front().locator('.navbar .center', { hasText: text }).first().waitFor();
  // A click that opens or leaves a screen, clicked again if it did not take.
  const go = (locator, text) => clickUntil(locator,
    async () => (await front().locator('.navbar .center', { hasText: text }).count()) > 0, `the screen ${text}`);
  const button = (name) => front().getByRole('button', { name, exact: true });
  const row = (name) => front().locator(`.cell[aria-label="${name}"]`);
  const sheetButton = (name) => page.locator('.actionsheet button', { hasText: name });
  const alertButton = (name) => page.locator('.alert button', { hasText: name });
  const gone = (locator) => locator.first().waitFor({ state: 'detached' });

  try {
    await steps();
  } catch (e) {
    // What the page showed when a step failed.
    await page.screenshot({ path: path.join(dir, 'at-failure.png') }).catch(() => {});
    throw e;
  }
  const distinct = [...new Set(problems.map((p) => p.replace(/\?t=[0-9a-f]+/, '')))];
  assert.equal(distinct.length, 0, `what a person meets:\n${distinct.join('\n')}`);
  app.child.kill('SIGTERM');
  assert.equal(await app.exited, 0);

  async function steps() {
  await page.goto(app.address);
  // A fresh start offers the tutorial.
  await page.locator('.alert').waitFor();
  await screen('welcome');
  await click(alertButton('Skip'));
  await gone(page.locator('.alert'));
  await screen('connect');

  // The help of the (i) button: an online page, or the error page sized for the screen.
  await click(front().getByLabel('Info'));
  if (profile === 'tablet') {
    // On the tablet the help stands in a popover by its button; a tap beside it closes it.
    await page.locator('.popover iframe[data-web]').first().waitFor();
    await screen('help');
    const box = await page.locator('.popover').first().boundingBox();
    const device = await page.locator('#screen').boundingBox();
    await page.mouse.click(device.x + device.width - 20, box.y + box.height + 40);
    await gone(page.locator('.popover'));
  } else {
    await front().locator('iframe[data-web]').first().waitFor();
    await screen('help');
    await click(front().locator('.navbar .back'));
  }
  await title('Ferrowen');

  // SFTP's Keys Help: its page comes from the program's own resources.
  await click(front().getByRole('tab', { name: 'SFTP', exact: true }));
  await go(front().getByLabel('Keys Help'), 'SFTP Private Keys');
  await page.frameLocator('iframe[data-web][title^="file:"][title$="/error-sftp-keys.html"]')
    .locator('h1', { hasText: 'SFTP private keys' }).waitFor({ timeout: scaled(20000) });
  await screen('keys-help');
  await go(front().locator('.navbar .back', { hasText: 'Back' }), 'Ferrowen');
  await click(front().getByRole('tab', { name: 'FTP', exact: true }));
  // Local Files: Saved Files over the connect screen, closed with Done.
  await go(button('Local Files'), 'Saved Files');
  await screen('local-files');
  await go(button('Done'), 'Ferrowen');

  // Bookmarks and the bookmark editor. On the tablet the list stands in a popover, which a tap
  // beside it closes (it has no Done of its own there).
  await click(page.getByLabel('Bookmarks'));
  await title('Bookmarks');
  await screen('bookmarks');
  if (profile === 'tablet') {
    const box = await page.locator('.popover').first().boundingBox();
    const device = await page.locator('#screen').boundingBox();
    await page.mouse.click(device.x + device.width - 20, box.y + box.height + 40);
    await gone(page.locator('.popover'));
  } else {
    await click(button('Done'));
  }
  await title('Ferrowen');

  // The address typed into the fields, kept as a bookmark, then connected to.
  await click(front().getByLabel('Server'));
  await page.keyboard.type(`127.0.0.1:${ftpPort}`);
  await click(front().getByLabel('User Name'));
  await page.keyboard.type('anonymous');
  await click(front().getByLabel('Add Bookmark'));
  await front().locator('.navbar .title').filter({ hasNotText: 'Ferrowen' }).waitFor();
  await screen('bookmark-editor');
  await click(button('Cancel'));
  if (profile === 'tablet') await gone(page.locator('.popover'));
  await title('Ferrowen');
  await click(button('Connect'));
  await row('notes.txt').waitFor({ timeout: scaled(30000) });
  await screen('remote-folder');

  // The folder's menu and a row's menu.
  await click(button('Menu'));
  await sheetButton('Cancel').waitFor();
  await screen('remote-folder-menu');
  await click(sheetButton('Cancel'));
  await gone(page.locator('.actionsheet'));
  await click(row('notes.txt').locator('.accessory'));
  await sheetButton('Rename File').waitFor();
  await screen('remote-row-menu');
  await click(sheetButton('Cancel'));
  await gone(page.locator('.actionsheet'));
  await screen('remote-folder-after-sheet');

  // Open a folder and come back.
  await click(row('photos'));
  await row('beach.txt').waitFor({ timeout: scaled(30000) });
  await screen('remote-subfolder');
  await click(page.locator('.navbar .back'));
  await row('notes.txt').waitFor();

  // Download a file (select its row, then Download) and watch it in Transfers: the progress in
  // its row, the speed in the title.
  await click(row('video.bin'));
  await click(button('Download'));
  await tab('Transfers');
  await title('Transfers');
  const running = front().locator('.cell', { hasText: 'video.bin' });
  await running.getByRole('progressbar').waitFor({ timeout: scaled(30000) });
  await front().locator('.navbar', { hasText: /\d KB\/Sec/ }).waitFor({ timeout: scaled(30000) });
  await screen('transfers-running');
  await waitFor(async () => (await front().locator('.cell').count()) === 0, 'the download to finish', 120000);
  await screen('transfers-done');

  // Download a folder from its row's menu.
  await tab('FTP');
  await click(row('photos').locator('.accessory'));
  await click(sheetButton('Download Folder'));
  await gone(page.locator('.actionsheet'));
  await tab('Transfers');
  // (The queue may ask whether a file of the folder replaces one already saved: a person
  // answers Replace.)
  const saved = (name) => fs.existsSync(path.join(app.home, 'Documents', 'Files', 'photos', name));
  let quietSince = 0;
  await waitFor(async () => {
    if (await page.locator('.alert', { hasText: 'Saved File Exists' }).count()) {
      await screen('saved-file-exists');
      // The queue may take its question back on its own (the file arrived meanwhile): then
      // there is nothing to answer.
      const asking = page.locator('.alert', { hasText: 'Saved File Exists' });
      if (await asking.count()) {
        await click(alertButton('Replace')).catch(async (e) => {
          if (await asking.count()) throw e;
        });
      }
      quietSince = 0;
      return false;
    }
    const done = (await front().locator('.cell').count()) === 0 && saved('beach.txt') && saved('hills.txt') &&
      !(await page.locator('.alert').count());
    if (!done) quietSince = 0;
    else if (!quietSince) quietSince = Date.now();
    // Done, and still done two seconds later (the queue may take up a file again).
    return done && Date.now() - quietSince > 2000;
  }, 'the folder to arrive', 120000);

  // Saved Files: the downloaded file and folder.
  await tab('Saved Files');
  await title('Saved Files');
  await row('video.bin').waitFor({ timeout: scaled(30000) });
  await row('photos').waitFor();
  await screen('saved-files');
  await click(button('Menu'));
  await sheetButton('Cancel').waitFor();
  await screen('saved-files-menu');
  await click(sheetButton('Cancel'));
  await gone(page.locator('.actionsheet'));
  await click(row('video.bin').locator('.accessory'));
  await sheetButton('Cancel').waitFor();
  await screen('saved-files-row-menu');
  await click(sheetButton('Cancel'));
  await gone(page.locator('.actionsheet'));

  // Rename a remote file through the prompt: select all, then type the new name.
  await tab('FTP');
  await row('old-name.txt').waitFor();
  await click(row('old-name.txt').locator('.accessory'));
  await click(sheetButton('Rename File'));
  const field = page.locator('input[data-kind="field"]').first();
  await field.waitFor();
  await screen('rename-prompt');
  await typeInto(field, 'new-name.txt');
  await click(button('Done').or(button('Save')));
  await row('new-name.txt').waitFor({ timeout: scaled(30000) });
  assert.ok(fs.existsSync(path.join(root, 'new-name.txt')), 'the server has the new name');
  assert.ok(!fs.existsSync(path.join(root, 'old-name.txt')), 'the old name is gone');

  // Delete it through the confirmation.
  await click(row('new-name.txt').locator('.accessory'));
  await click(sheetButton('Delete File'));
  await alertButton('Delete').waitFor();
  await screen('delete-confirmation');
  await click(alertButton('Delete'));
  await gone(row('new-name.txt'));
  await waitFor(() => !fs.existsSync(path.join(root, 'new-name.txt')), 'the file to go from the server');

  // The Web View tab and Settings with its screens.
  await tab('Web View');
  await page.locator('iframe[data-web]').first().waitFor();
  await screen('web-view');
  await tab('Settings');
  await title('Settings');
  await screen('settings');
  // A section's Help button (in the view above the section's rows) opens the help of that part.
  await go(front().getByRole('button', { name: 'Help: Files and Folders', exact: true }), 'Ferrowen Help');
  await front().locator('iframe[data-web]').first().waitFor();
  await screen('settings-help');
  await go(front().locator('.navbar .back'), 'Settings');
  await go(row('Folder Extra Info'), 'Folder Extra Info');
  await screen('settings-folder-extra-info');
  await go(page.locator('.navbar .back'), 'Settings');
  await go(button('Log'), 'Log');
  await screen('log');
  await go(front().locator('.navbar .back'), 'Settings');
  const reveal = (target, name) => revealRow(front, target, name);
  // The web sharing server switched on: its address opens the sharing help.
  const webSwitch = front().locator('.cell', { hasText: 'Enable Web Server' }).getByRole('switch');
  await reveal(webSwitch, 'Enable Web Server');
  // Clicked until it reads on (a click landing while the table still settles is lost on a busy
  // machine), and the address row it adds is drawn before it is looked for.
  const webAddress = front().locator('.cell[aria-label^="Web Address:"]');
  await clickUntil(webSwitch, async () => (await webSwitch.getAttribute('aria-checked')) === 'true',
    'the web server switch on');
  await waitFor(async () => (await webAddress.count()) > 0, 'the row Web Address', 10000);
  // A row of the table clicked until `arrived` (at most three clicks), revealed again before each.
  const openRow = async (target, name, arrived) => {
    for (let tries = 1; ; tries++) {
      await reveal(target, name);
      await click(target);
      try {
        return await waitFor(arrived, `the screen of ${name}`, 10000);
      } catch (e) {
        if (tries === 3 || (await arrived())) throw e;
      }
    }
  };
  const titled = (text) => async () => (await front().locator('.navbar .center', { hasText: text }).count()) > 0;
  await openRow(webAddress, 'Web Address', titled('Sharing'));
  await screen('sharing-help');
  await go(front().locator('.navbar .back'), 'Settings');
  // Further down: the startup lock and the credits.
  for (const [name, shot] of [['Startup Lock', 'settings-startup-lock'], ['Credits', 'settings-credits']]) {
    await openRow(row(name), name, async () => (await front().locator('.navbar .back').count()) > 0);
    await page.waitForTimeout(300);
    await screen(shot);
    await click(front().locator('.navbar .back'));
    await title('Settings');
  }
  // All Our Apps: its Log over everything (closed with Done), and OK back to the settings.
  await reveal(row('All Our Apps'), 'All Our Apps');
  await go(row('All Our Apps'), 'All Our Apps');
  await screen('about');
  await go(button('Log'), 'Transfer Log');
  await screen('about-log');
  await go(button('Done'), 'All Our Apps');
  await go(button('OK'), 'Settings');

  if (profile === 'tablet') {
    // The tablet turns from the page (upright, from its side in this wide window).
    const wide = await page.locator('#screen').evaluate((e) => e.offsetWidth);
    await click(page.locator('#rotate'));
    await waitFor(async () => (await page.locator('#screen').evaluate((e) => e.offsetWidth)) === (wide === 1024 ? 768 : 1024),
      'the tablet turned');
    await page.waitForTimeout(500);
    await screen('turned');
  }

  await new Promise((r) => setTimeout(r, 500));
  }
}

test('a person uses the application on the phone', async (t) => {
  await session(t, 'phone', { width: 420, height: 720 }, {});
});

test('a person uses the application on the tablet', async (t) => {
  await session(t, 'tablet', { width: 1100, height: 1000 }, { FERROWEN_DEVICE: 'ipad' });
});

// An ftp address typed into a browser tab, on the phone (390x844) and on the tablet (1280x800),
// with the FTP tab connected to another server meanwhile: each connection's listing and progress
// reach its own folder screen. Server A (pyftpdlib, anonymous, as it comes) is listed in the FTP
// tab; a browser tab opened from a link held in the Web View tab is sent to `ftp://` server B (a
// second pyftpdlib). B's files show in the browser's folder screen (pushed over the browser on the
// phone, in the browser's popover on the tablet) with its folder toolbar, not a spinner; the FTP
// tab still shows A's files, also after an ftp address that nobody answers at failed in the
// browser (its error leaves the browser's screens only). On the phone the browser's long-tap sheet
// stands over everything, its Cancel within reach. The address field takes what is typed as it is
// (no capitals, no corrections). Screenshots go to $RENDERER_ARTEFACTS/browser-ftp-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, clickSeen, connectAnonymousFtp, profiles, sameProcessFrames, session, startFtpServer, timeScale, typeInto,
  waitFor,
} from '../support/person.mjs';
// A loopback port nobody listens at is a claimed one below the ephemeral range: one of that range,
// let go, may be taken by another program's server before the connection is made.
import { claimedPort as closedPort } from '../support/ports.mjs';

// A folder served by a test, holding `names` (one line each).
function servedFolder(t, names) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-browser-ftp-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  for (const name of names) fs.writeFileSync(path.join(root, name), `${name}\n`);
  return root;
}

// A page with a link to hold, on 127.0.0.1.
async function startSite(t) {
  const body = '<p style="margin:30px"><a id=other href="/other.html" style="display:inline-block;padding:12px">Other page</a></p>';
  const site = http.createServer((req, res) => res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' })
    .end(`<!doctype html><html><head><meta charset=utf-8><title>Site</title></head><body style="font:16px sans-serif">${body}</body></html>`));
  await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));
  t.after(() => site.close());
  return `http://127.0.0.1:${site.address().port}`;
}

// How every session of this suite starts. Its browser tabs load their address twice in quick
// succession, so their frames stay in the page's process.
const suite = { chromium, launch: sameProcessFrames, suite: 'browser-ftp' };

// The person's moves in session `s`: what is shown, rows, the page of the browser shown, the
// address field, a held link, and a browser tab opened from the Web View tab on `site`'s page.
function person(s) {
  const { page } = s;
  const shown = (locator) => locator.filter({ visible: true });
  const rowIn = (where, name) => shown(where.locator(`.cell[aria-label="${name}"]`));
  const inPage = (selector) => page.frameLocator('iframe[data-web]:visible').first().locator(selector);
  // The address field shown (on the tablet the browser's history list stands in front of it
  // while it is edited, and lets it through).
  const address = () => shown(page.locator('#screen input[aria-label="Address"]')).last();
  // Held until the long-tap menu opens. A page replaced just as the hold began (a browser tab
  // opens its address a second time just after it opened) is held again, as a person does: at
  // most three holds.
  const hold = async () => {
    for (let attempt = 1; ; attempt++) {
      await waitFor(() => inPage('body').evaluate(() => typeof valtryHrefForPt === 'function').catch(() => false),
        'the long-tap scripts in the page');
      const link = await inPage('#other').boundingBox();
      await page.mouse.move(link.x + link.width / 2, link.y + link.height / 2);
      await page.mouse.down();
      try {
        await s.sheet.waitFor({ timeout: 8000 * timeScale });
        await page.mouse.up();
        return;
      } catch (e) {
        await page.mouse.up();
        if (attempt === 3) throw e;
      }
    }
  };
  const openBrowserTab = async (site) => {
    await s.shownTab('Web View');
    await typeInto(address(), `${site}/index.html`);
    await page.keyboard.press('Enter');
    await inPage('#other').waitFor();
    await hold();
    await s.screen('web-view-held-link');
    await clickSeen(s.sheetButton('Open in New Tab'));
    await s.sheet.waitFor({ state: 'detached' });
    await waitFor(async () => /other\.html$/.test(await page.locator('iframe[data-web]:visible').first().getAttribute('title') || ''),
      'the browser tab with its page');
    await inPage('#other').waitFor();
  };
  // An ftp address typed in the browser's address field, until `firstRow` is listed in `listing`.
  // (A page load of the browser's ending just as the address was typed puts its own address back
  // in the field: the person types it again, at most three times.)
  const typeFtpAddress = async (port, arrived) => {
    for (let attempt = 1; ; attempt++) {
      await typeInto(address(), `ftp://127.0.0.1:${port}/`);
      await page.keyboard.press('Enter');
      const taken = await waitFor(async () => (await arrived()) || !(await address().count()),
        'the address taken', 10000).catch(() => false);
      if (taken || attempt === 3) break;
    }
  };
  const openFtpAddress = async (listing, port, firstRow) => {
    await typeFtpAddress(port, async () => (await rowIn(listing, firstRow).count()) > 0);
    await rowIn(listing, firstRow).waitFor();
  };
  return { shown, rowIn, inPage, address, hold, openBrowserTab, typeFtpAddress, openFtpAddress };
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: an ftp address typed in a browser tab lists on its own screen`, async (t) => {
    const portA = await startFtpServer(t, servedFolder(t, ['a-one.txt', 'a-two.txt']), 1 << 20);
    const portB = await startFtpServer(t, servedFolder(t, ['b-one.txt', 'b-two.txt']), 1 << 20);
    const site = await startSite(t);
    await session(t, {
      ...suite, dir: path.join(artefacts, `browser-ftp-${profile}`), viewport, env,
      run: async (s) => {
        const { page, front } = s;
        const { shown, rowIn, address, hold, openBrowserTab, openFtpAddress } = person(s);

        // The FTP tab on server A.
        await connectAnonymousFtp(s, portA, 'a-one.txt');

        // A browser tab from a link held in the Web View tab.
        await openBrowserTab(site);

        // The address field as a phone's keyboard meets it: no capitals, no corrections.
        assert.equal(await address().getAttribute('autocapitalize'), 'none');
        assert.equal(await address().getAttribute('autocorrect'), 'off');

        if (profile === 'phone') {
          // The browser's long-tap sheet over everything, each of its buttons within reach.
          await hold();
          for (const name of ['Open', 'Download', 'Copy This Address', 'Email This Address', 'Cancel'])
            await s.sheetButton(name).first().waitFor();
          const screenBox = await page.locator('#screen').boundingBox();
          const sheetBox = await s.sheet.boundingBox();
          assert.ok(sheetBox.y >= screenBox.y - 1 && sheetBox.y + sheetBox.height <= screenBox.y + screenBox.height + 1,
            `the sheet ${JSON.stringify(sheetBox)} leaves the screen ${JSON.stringify(screenBox)}`);
          assert.equal(await page.locator('#screen .layers > :last-child .actionsheet').count(), 1, 'the sheet is not in front');
          await s.screen('browser-held-link');
          await clickSeen(s.sheetButton('Cancel'));
          await s.sheet.waitFor({ state: 'detached' });
        }

        // Server B typed in the browser's address field.
        const listing = profile === 'phone' ? front() : page.locator('.popover');
        await openFtpAddress(listing, portB, 'b-one.txt');
        await rowIn(listing, 'b-two.txt').waitFor();
        assert.equal(await rowIn(listing, 'a-one.txt').count(), 0, "A's files in B's screen");
        // Its listing over, the screen shows its folder toolbar rather than a spinner.
        await shown(listing.getByRole('button', { name: 'Refresh', exact: true })).first().waitFor();
        await s.screen('browser-ftp-listing');

        if (profile === 'phone') {
          // The FTP tab still shows A's files, and the browser's screen B's.
          await s.shownTab('FTP');
          await rowIn(front(), 'a-one.txt').waitFor();
          assert.equal(await rowIn(front(), 'b-one.txt').count(), 0, "B's files in the FTP tab's screen of A");
          await shown(s.button('Refresh')).first().waitFor();
          await s.screen('ftp-tab-still-a');
          // (The browser names the Web View tab by its page while it is shown over it.)
          await s.shownTab('Site');
          await rowIn(front(), 'b-one.txt').waitFor();
          assert.equal(await rowIn(front(), 'a-one.txt').count(), 0);

          // An ftp address nobody answers at: its error leaves the browser's screens (back to the
          // browser), never the FTP tab's screens of A.
          await clickSeen(shown(front().locator('.navbar .back')).first());
          await address().waitFor();
          await typeInto(address(), `ftp://127.0.0.1:${await closedPort()}/`);
          await page.keyboard.press('Enter');
          const failed = page.locator('.alert', { hasText: 'Error Connecting to FTP Server' });
          await failed.waitFor();
          await s.screen('browser-ftp-refused');
          await clickSeen(failed.getByRole('button', { name: 'OK', exact: true }));
          await failed.waitFor({ state: 'detached' });
          await address().waitFor();
          await s.shownTab('FTP');
          await rowIn(front(), 'a-one.txt').waitFor();
          await shown(s.button('Refresh')).first().waitFor();
          await s.screen('ftp-tab-after-refused');
        }
      },
    });
  });
}

// A file or a folder of Saved Files uploaded to the folder the FTP tab shows, after the browser
// opened another server's ftp address: it lands in that folder on that folder's own server. On the
// phone the FTP tab still shows A's folder "a-only" (the browser's screens of B stand in the Web
// View tab); on the tablet the browser's folder screen of B is the FTP tab's. Nothing lands
// anywhere else.
const devices = [
  { profile: 'phone', lands: (a, b) => ({ root: a, folder: 'a-only', other: b }) },
  { profile: 'tablet', lands: (a, b) => ({ root: b, folder: '', other: a }) },
];
const kinds = [
  {
    kind: 'a file', row: 'note.txt', made: ['note.txt'],
    upload: async (s) => {
      await clickSeen(s.row('note.txt'));
      await clickSeen(s.button('Upload'));
    },
  },
  {
    kind: 'a folder', row: 'notes', made: ['notes', path.join('notes', 'note.txt')],
    upload: async (s) => {
      await clickSeen(s.row('notes').locator('.accessory'));
      await clickSeen(s.sheetButton('Upload Folder'));
      await s.sheet.waitFor({ state: 'detached' });
    },
  },
];
for (const { profile, lands } of devices) {
  for (const { kind, row, made, upload } of kinds) {
    test(`${profile}: ${kind} uploaded goes to the folder the FTP tab shows, on its own server`, async (t) => {
      const [, viewport, env] = profiles.find(([name]) => name === profile);
      const rootA = servedFolder(t, ['a-one.txt']);
      fs.mkdirSync(path.join(rootA, 'a-only'));
      fs.writeFileSync(path.join(rootA, 'a-only', 'a-inside.txt'), 'inside\n');
      const rootB = servedFolder(t, ['b-one.txt']);
      const portA = await startFtpServer(t, rootA, 1 << 20);
      const portB = await startFtpServer(t, rootB, 1 << 20);
      const site = await startSite(t);
      const note = 'a note to upload\n';
      const prepare = (home) => {
        const files = path.join(home, 'Documents', 'Files');
        fs.mkdirSync(path.join(files, 'notes'), { recursive: true });
        fs.writeFileSync(path.join(files, 'note.txt'), note);
        fs.writeFileSync(path.join(files, 'notes', 'note.txt'), note);
      };
      await session(t, {
        ...suite, dir: path.join(artefacts, `browser-ftp-${profile}`), viewport, env, prepare,
        run: async (s) => {
          const { page, front } = s;
          const { shown, rowIn, openBrowserTab, openFtpAddress } = person(s);
          await connectAnonymousFtp(s, portA, 'a-one.txt');
          await clickSeen(s.row('a-only'));
          await s.row('a-inside.txt').waitFor();
          await openBrowserTab(site);
          await openFtpAddress(profile === 'phone' ? front() : page.locator('.popover'), portB, 'b-one.txt');
          if (profile === 'tablet') {
            // The browser's popover closed by a tap beside it, on the browser's page.
            const web = await page.locator('iframe[data-web]:visible').first().boundingBox();
            await page.mouse.click(web.x + web.width - 40, web.y + web.height / 2);
            await page.locator('.popover').waitFor({ state: 'detached' });
          }
          const { root, folder, other } = lands(rootA, rootB);
          const everything = (where) => fs.readdirSync(where, { recursive: true }).sort();
          const before = everything(other);
          const here = everything(root);
          const file = path.join(root, folder, made.at(-1));
          await s.tab('Saved Files');
          await upload(s);
          await waitFor(() => fs.existsSync(file) && fs.readFileSync(file, 'utf8') === note,
            `${made.at(-1)} in "${folder}" on its server`, 60000);
          // The folder the FTP tab shows lists it (refreshed, when the queue's news came first).
          await s.shownTab('FTP');
          await waitFor(async () => {
            if ((await rowIn(front(), row).count()) > 0) return true;
            await clickSeen(shown(s.button('Refresh')).first()).catch(() => {});
            await new Promise((r) => setTimeout(r, 1000 * timeScale));
            return false;
          }, `${row} listed in the FTP tab`);
          await s.screen(`upload-shown-folder-${row}`);
          assert.deepEqual(everything(other), before, 'the other server took something');
          assert.deepEqual(everything(root), [...here, ...made.map((m) => path.join(folder, m))].sort(),
            'more than the upload on its server');
        },
      });
    });
  }
}

// The FTP tab left at its connect screen (as it starts): an ftp address of the phone's browser that
// nobody answers at still says so, over the browser's own screen, and leaves it for the browser.
test('phone: a refused ftp address of the browser is told while the FTP tab shows its connect screen', async (t) => {
  const [, viewport, env] = profiles.find(([name]) => name === 'phone');
  const site = await startSite(t);
  await session(t, {
    ...suite, dir: path.join(artefacts, 'browser-ftp-phone'), viewport, env,
    run: async (s) => {
      const { page, front } = s;
      const { address, openBrowserTab, typeFtpAddress } = person(s);
      await front().getByLabel('Server').waitFor();
      await openBrowserTab(site);
      const failed = page.locator('.alert', { hasText: 'Error Connecting to FTP Server' });
      await typeFtpAddress(await closedPort(), async () => (await failed.count()) > 0);
      await failed.waitFor();
      await clickSeen(failed.getByRole('button', { name: 'OK', exact: true }));
      await failed.waitFor({ state: 'detached' });
      await address().waitFor();
      await s.screen('browser-ftp-refused-beside-connect');
      await s.shownTab('FTP');
      await front().getByLabel('Server').waitFor();
    },
  });
});

// What a person meets in the page, with the mouse and the keyboard only (each click checked to
// land on what lies there), against pyftpdlib and a small web site on loopback: the Permissions
// screen says what each of its nine toggles is and shows the ones that are off; the Web View's
// address field draws its Stop and Reload; a file the page cannot show is offered as a download
// while the page stays (a failed load's red error page holds the error's text alone), and a page
// keeps the charset its server named; Tab after the image editor's width fills the height as Next
// does; the browser's full screen and its keyboard button; a name longer than the file system
// takes is refused with its reason, in the Web View and in Saved Files, and nothing is made.
// Screenshots go to $RENDERER_ARTEFACTS/page-controls-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  clickSeen, connectAnonymousFtp, meanColour, pictureSize, startFtpServer, startWebPeer, typeInto, waitFor, webPageDone,
  whatLiesAt, writePicture,
  session as sharedSession, artefacts, profiles, scaled,
} from '../support/person.mjs';

function session(t, profile, viewport, env, prepare, run) {
  return sharedSession(t, {
    chromium, suite: 'page-controls', dir: path.join(artefacts, `page-controls-${profile}`), viewport, env, prepare, run,
  });
}

const savedFiles = (home) => path.join(home, 'Documents', 'Files');
const alertTitle = (page) => page.locator('.alert .alerttitle');
const alertMessage = (page) => page.locator('.alert .message');
async function answerAlert(page, button) {
  await clickSeen(page.locator('.alert button', { hasText: button }));
  await page.locator('.alert').waitFor({ state: 'detached' });
}

const apart = (a, b) => Math.hypot(...a.map((v, k) => v - b[k]));

// The Web View tab with the page at `url` typed into its address field.
async function browse(s, profile, url) {
  if (profile === 'phone') await s.tab('Web View');
  await clickSeen(s.front().getByLabel('Address', { exact: true }));
  await s.page.keyboard.press('Control+A');
  await s.page.keyboard.type(url);
  await s.page.keyboard.press('Enter');
}
const inPage = (page, selector) => page.frameLocator('iframe[data-web]:visible').first().locator(selector);
// A click at the centre of an element of the page shown, once it is there.
async function clickInPage(page, selector) {
  const target = inPage(page, selector);
  await target.waitFor({ timeout: scaled(20000) });
  const b = await waitFor(() => target.boundingBox(), 'the element drawn');
  await page.mouse.click(b.x + b.width / 2, b.y + b.height / 2);
}
// A page of the web site with one link, to `href`.
const linkPage = (site, href) => site.url(`/typed?type=text/html&body=${encodeURIComponent(
  `<p><a id=link href="${href}" style="display:inline-block;padding:12px">the file</a></p>`)}`);

// A session with a 400 x 300 picture in Saved Files, opened in the image editor from its row's menu.
async function inImageEditor(t, profile, viewport, env, run) {
  await session(t, profile, viewport, env, (home) => {
    fs.mkdirSync(savedFiles(home), { recursive: true });
    writePicture(path.join(savedFiles(home), 'picture.png'), 400, 300);
  }, async (s) => {
    await s.tab('Saved Files');
    await clickSeen(s.row('picture.png').locator('.accessory'));
    await clickSeen(s.sheetButton('Edit Image'));
    await run(s);
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: the Permissions screen says what each toggle is and shows those that are off`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-page-controls-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    const file = path.join(served, 'script.sh');
    fs.writeFileSync(file, 'echo hi\n');
    fs.chmodSync(file, 0o644);
    const ftpPort = await startFtpServer(t, served, 1 << 20);
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front, row } = s;
      await connectAnonymousFtp(s, ftpPort, 'script.sh');
      await clickSeen(row('script.sh').locator('.accessory'));
      await clickSeen(s.sheetButton('Permissions (CHMOD)'));
      const toggle = (who, bit) => front().getByRole('button', { name: `${who} ${bit}`, exact: true });
      await toggle('Owner', 'Read').waitFor();
      const value = front().locator('.v-label', { hasText: /^= \d+$/ });
      assert.equal(await value.textContent(), '= 644');
      // Each toggle names its bit, stands in the row its class names, and is drawn on or off.
      const looks = {};
      for (const who of ['Owner', 'Group', 'Others']) {
        const label = front().locator('.v-label', { hasText: new RegExp(`^${who}$`) });
        const lb = await label.boundingBox();
        assert.ok(lb, `the row label "${who}"`);
        for (const bit of ['Read', 'Write', 'Execute']) {
          const b = toggle(who, bit);
          assert.match(await b.textContent(), new RegExp(`${bit}$`));
          const tb = await b.boundingBox();
          assert.ok(lb.y + lb.height <= tb.y + 1 && tb.y - (lb.y + lb.height) < 20 && lb.x < tb.x + tb.width,
            `"${who} ${bit}" stands under its row's name`);
          // An edge to see, on or off (a toggle that is off was drawn as nothing at all).
          const edge = await b.evaluate((e) => {
            const st = getComputedStyle(e);
            return { width: parseFloat(st.borderTopWidth), colour: st.borderTopColor };
          });
          assert.ok(edge.width >= 1 && !/transparent|rgba\(.*, 0\)$/.test(edge.colour), `"${who} ${bit}" has an edge to see`);
          looks[`${who} ${bit}`] = await meanColour(page, await b.screenshot());
        }
      }
      for (const off of ['Owner Execute', 'Group Write', 'Others Execute'])
        assert.ok(apart(looks[off], looks['Owner Read']) > 25, `"${off}" (off) looks like "Owner Read" (on)`);
      await s.screen('permissions');

      // Clicked, an off toggle is on (and looks it); the value follows; Save sends it.
      await clickSeen(toggle('Others', 'Execute'));
      await waitFor(async () => (await value.textContent()) === '= 645', 'the value 645');
      await waitFor(async () => apart(await meanColour(page, await toggle('Others', 'Execute').screenshot()), looks['Owner Read']) < 10,
        'Others Execute drawn on');
      await clickSeen(toggle('Group', 'Write'));
      await waitFor(async () => (await value.textContent()) === '= 665', 'the value 665');
      await s.screen('permissions-changed');
      await clickSeen(s.button('Save'));
      await waitFor(() => (fs.statSync(file).mode & 0o777) === 0o665, 'the mode 665 on the server', 20000);
    });
  });

  test(`${profile}: the Web View's Stop ends a page that never finishes, and Reload loads it again`, async (t) => {
    const site = await startWebPeer(t);
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front } = s;
      await browse(s, profile, site.url('/slow'));
      const stop = front().getByRole('button', { name: 'Stop', exact: true });
      await stop.waitFor({ timeout: scaled(20000) });
      assert.equal(await front().locator('.v-textField .v-activity.spinning').count(), 1, 'the page is shown loading');
      await s.screen('web-loading');
      await clickSeen(stop);
      const reload = front().getByRole('button', { name: 'Reload', exact: true });
      await reload.waitFor();
      await waitFor(async () => !(await front().locator('.v-textField .v-activity.spinning').count()) &&
        !(await page.locator('.statusbar .netact').count()), 'the loading shown no more');
      await s.screen('web-stopped');

      await browse(s, profile, site.url('/count'));
      await inPage(page, '#count').waitFor({ timeout: scaled(20000) });
      const first = Number(await inPage(page, '#count').textContent());
      await clickSeen(reload);
      await waitFor(async () => Number(await inPage(page, '#count').textContent().catch(() => first)) > first,
        'the page loaded again', 20000);
      await s.screen('web-reloaded');
    });
  });

  test(`${profile}: Tab after the image editor's width fills the height in proportion, as Next does`, async (t) => {
    await inImageEditor(t, profile, viewport, env, async (s) => {
      const { page, front } = s;
      await clickSeen(front().getByRole('button', { name: 'Resize', exact: true }));
      const width = front().locator('input[aria-label="Width"]');
      const height = front().locator('input[aria-label="Height"]');
      await typeInto(width, '200');
      await page.keyboard.press('Tab');
      await waitFor(async () => (await height.inputValue()) === '150', 'the height filled in proportion', 10000)
        .catch(async (e) => { throw new Error(`${e.message}: it holds ${await height.inputValue()}`); });
      await waitFor(() => page.evaluate(() => document.activeElement.getAttribute('aria-label') === 'Height'),
        'the height field taking the keys');
      await s.screen('resize-tabbed');
      await clickSeen(front().getByRole('button', { name: 'Resize', exact: true }));
      // Resized once the editor is done working (its bar then names the new size).
      await front().getByText(/^200 ?x ?150$/).first().waitFor({ timeout: scaled(20000) });
      await waitFor(async () => !(await front().locator('.v-activity.spinning').count()), 'the resize done');
      await clickSeen(front().getByLabel('Save', { exact: true }).filter({ visible: true }));
      await clickSeen(page.getByRole('button', { name: 'Save to "Saved Files"', exact: true }).filter({ visible: true }));
      const saved = path.join(savedFiles(s.home), 'picture.jpg');
      await waitFor(() => fs.existsSync(saved), 'the picture saved');
      assert.deepEqual(pictureSize(saved), [200, 150]);
    });
  });
}

const [, phone, phoneEnv] = profiles[0];

// A server that takes the connection and never says a word: the folder screen waits on its status
// bar, whose text shows whole, in a label as wide as the text.
test('phone: the status bar of a folder screen shows its text whole', async (t) => {
  const silent = net.createServer(() => {});
  await new Promise((resolve) => silent.listen(0, '127.0.0.1', resolve));
  t.after(() => silent.close());
  await session(t, 'phone', phone, phoneEnv, null, async (s) => {
    const { page, front } = s;
    await clickSeen(front().getByLabel('Server'));
    await page.keyboard.type(`127.0.0.1:${silent.address().port}`);
    await clickSeen(front().getByLabel('User Name'));
    await page.keyboard.type('anonymous');
    await clickSeen(s.button('Connect'));
    const label = front().locator('.v-toolbar .v-label', { hasText: 'Connecting to Server...' });
    await label.waitFor({ timeout: scaled(10000) });
    const fit = await label.evaluate((e) => ({ cut: e.scrollWidth > e.clientWidth + 1, text: e.textContent }));
    assert.ok(!fit.cut, `the status "${fit.text}" is cut`);
    const [lb, bar] = await Promise.all([label.boundingBox(), front().locator('.v-toolbar').last().boundingBox()]);
    assert.ok(lb.x >= bar.x && lb.x + lb.width <= bar.x + bar.width, 'the status stands inside its bar');
    await s.screen('status-connecting');
  });
});

test('phone: a file the page cannot show is offered as a download and the page stays; a page keeps its charset', async (t) => {
  const site = await startWebPeer(t);
  await session(t, 'phone', phone, phoneEnv, null, async (s) => {
    const { page } = s;
    // Latin-1, as the server says: "café", not a replacement character.
    await browse(s, 'phone', site.url('/typed?type=text/html;%20charset=iso-8859-1&body=%3Cp%20id=w%3Ecaf%E9%3C/p%3E'));
    await waitFor(async () => (await inPage(page, '#w').textContent().catch(() => '')) === 'caf\u00e9', 'the page in its charset', 20000)
      .catch(async (e) => { throw new Error(`${e.message}: ${await inPage(page, 'body').innerHTML().catch(() => '?')}`); });

    // A load that fails shows the red error page, holding the error's text and nothing more (no
    // address of its own).
    await browse(s, 'phone', site.url('/fail'));
    await waitFor(async () => (await inPage(page, 'center > font[color=red]').count()) === 1, 'the error page', 20000);
    assert.equal(await inPage(page, 'body *:not(center, font, br)').count(), 0, 'nothing beside the error text');
    assert.doesNotMatch(await inPage(page, 'body').textContent(), /\/fail/);

    const bytes = 300000;
    const links = linkPage(site, `/files/f1.zip?bytes=${bytes}`);
    await browse(s, 'phone', links);
    // (The screens' layer: an alert in front is a layer of its own.)
    const address = page.locator('#screen .layers > .root').getByLabel('Address', { exact: true });
    const onTheLinks = async () => (await inPage(page, '#link').count()) === 1 &&
      (await inPage(page, 'body').textContent().catch(() => '')).includes('the file') &&
      !/cannot be shown|error/i.test(await inPage(page, 'body').textContent().catch(() => '')) &&
      (await address.inputValue()) === links.replace('http://', '');
    await waitFor(onTheLinks, 'the page of links');
    await clickInPage(page, '#link');
    await waitFor(async () => (await alertTitle(page).textContent().catch(() => '')) === "Can't Show File", 'the offer', 20000);
    assert.equal(await alertMessage(page).textContent(), '"f1.zip" cannot be shown here. Download it to Saved Files?');
    // Meanwhile the page the person was on stays, with its address.
    await waitFor(onTheLinks, 'the page of links still shown', 10000);
    await s.screen('cannot-show-offer');
    await answerAlert(page, 'Download');
    const file = path.join(savedFiles(s.home), 'f1.zip');
    const whole = Buffer.alloc(bytes, 'f1.zip\n');
    await waitFor(() => fs.existsSync(file) && fs.readFileSync(file).equals(whole), 'the whole download in Saved Files', 30000);
    // After the download, too, the person is on the page they were on.
    await waitFor(onTheLinks, 'the page of links after the download', 10000);
    await page.waitForTimeout(1000);
    assert.ok(await onTheLinks(), 'the page of links stays');
    await s.screen('cannot-show-downloaded');
  });
});

// The image editor's own "Resize Screen" shows what its next press does, in each of its bars:
// the full-width picture beside the left pane, the two-pane picture without it.
test('tablet: the image editor\'s "Resize Screen" shows the picture for its next press, in each bar', async (t) => {
  const [, viewport, env] = profiles[1];
  await inImageEditor(t, 'tablet', viewport, env, async (s) => {
    const { page, front } = s;
    const resize = page.locator('#screen .ctl-split > .detail [aria-label="Resize Screen"]').filter({ visible: true });
    const picture = async () => decodeURIComponent(await resize.locator('img').getAttribute('src')).replace(/\?.*/, '');
    const leftShown = async () => (await page.locator('#screen .ctl-split > .master:not([hidden])').count()) > 0;
    await resize.waitFor();
    // The file's name and size in the bar's title colours, readable on its light bar.
    for (const text of [/^picture\.png$/, /^400 x 300$/]) {
      const label = page.locator('#screen .ctl-split > .detail .v-label', { hasText: text }).filter({ visible: true });
      assert.equal(await label.evaluate((e) => getComputedStyle(e).color), 'rgb(113, 120, 128)', `${text}`);
    }
    // Crop and Cancel, then back: each bar's button drawn anew after each press.
    for (const bar of ['normal', 'crop']) {
      if (bar === 'crop') {
        await clickSeen(front().getByLabel('Crop', { exact: true }).filter({ visible: true }));
        await front().getByRole('button', { name: 'Crop To Rect', exact: true }).waitFor();
      }
      for (const [shown, next] of [[false, '/img/window-both-4.png'], [true, '/img/window-full-4.png']]) {
        await clickSeen(resize);
        await waitFor(async () => (await leftShown()) === shown && (await picture()) === next,
          `${bar}: the left pane ${shown ? 'back' : 'hidden'} and the button showing ${next}`, 10000)
          .catch(async (e) => { throw new Error(`${e.message}: it shows ${await picture()}`); });
        await s.screen(`editor-resize-screen-${bar}-${shown ? 'both' : 'full'}`);
      }
    }
  });
});

// A browser tab opened as a person opens one: the link of a page in the Web View held until its
// menu offers "Open in New Tab". The new tab shows the web site's counting page.
async function openBrowserTab(s, profile, site) {
  const { page, front } = s;
  await browse(s, profile, linkPage(site, site.url('/count')));
  const link = inPage(page, '#link');
  await link.waitFor({ timeout: scaled(20000) });
  const b = await waitFor(() => link.boundingBox(), 'the link drawn');
  // A link offers its menu once the page has finished loading: the script that notices a held
  // finger is added to the page when the load ends, so a person holds it after the spinner stops.
  await waitFor(async () => !(await page.locator('.statusbar .netact').count()) &&
    await link.evaluate(() => typeof valtryTouchDown === 'boolean').catch(() => false), 'the page loaded');
  await page.mouse.move(b.x + b.width / 2, b.y + b.height / 2);
  await page.mouse.down();
  await s.sheet.waitFor({ timeout: scaled(15000) });
  await page.mouse.up();
  await clickSeen(s.sheetButton('Open in New Tab'));
  await s.sheet.waitFor({ state: 'detached' });
  await front().getByLabel('Close', { exact: true }).filter({ visible: true }).waitFor({ timeout: scaled(20000) });
  await inPage(page, '#count').waitFor({ timeout: scaled(20000) });
  // A new tab opens its address a second time just after it opened (the page may draw it at
  // either load first): done once its page shows that second load and the spinner has stopped.
  await waitFor(() => webPageDone(page, '#count', 2), 'the tab done opening its address');
}

// Full screen takes the browser's bars and the tab bar out of view and gives the page the whole
// screen, over the left pane; Regular Screen gives both panes and the bars back.
test("tablet: the browser's Full Screen shows the page over the whole screen, Regular Screen brings its bars back", async (t) => {
  const [, viewport, env] = profiles[1];
  const site = await startWebPeer(t);
  await session(t, 'tablet', viewport, env, null, async (s) => {
    const { page, front } = s;
    await openBrowserTab(s, 'tablet', site);
    const split = await page.locator('#screen .ctl-split').first().boundingBox();
    const shown = page.locator('iframe[data-web]:visible').first();
    const closeButton = front().getByLabel('Close', { exact: true }).filter({ visible: true });
    const rightTabs = page.locator('#screen .ctl-split > .detail .tabbar').first();
    await clickSeen(front().getByLabel('Full Screen', { exact: true }).filter({ visible: true }));
    const restore = front().getByLabel('Regular Screen', { exact: true });
    await restore.waitFor();
    await waitFor(async () => {
      const f = await shown.boundingBox(), bar = await rightTabs.boundingBox();
      return f && bar && Math.abs(f.x - split.x) < 2 && Math.abs(f.x + f.width - (split.x + split.width)) < 2 &&
        f.y <= split.y + 1 && bar.y >= split.y + split.height - 1;
    }, 'the page over the whole screen, its bars out of view', 10000);
    // The restore button at the screen's right end; no spinner while nothing loads.
    const rb = await restore.boundingBox();
    assert.ok(rb.x > split.x + split.width * 0.8 && rb.y >= split.y - 1, 'Regular Screen at the top right');
    assert.equal(await front().locator('.v-activity').filter({ visible: true }).count(), 0, 'a spinner shown');
    assert.equal(await closeButton.evaluate((e) => {
      const r = e.getBoundingClientRect();
      return r.bottom <= document.querySelector('#screen .ctl-split').getBoundingClientRect().top + 1;
    }), true, 'the browser\'s bar lies above the screen');
    await s.screen('browser-full-screen');
    await clickSeen(restore);
    await restore.waitFor({ state: 'detached' });
    await waitFor(async () => {
      const f = await shown.boundingBox(), bar = await rightTabs.boundingBox();
      return f && bar && f.x > split.x + 100 && bar.y + bar.height <= split.y + split.height + 1;
    }, 'the pane beside the left one again, with its tab bar', 10000);
    await s.screen('browser-regular-screen');
    await clickSeen(closeButton);
  });
});

// On the tablet the bookmark lists stand in popovers that a click beside them closes. The servers'
// list shows no item of its own at the right of its bar, at the top or in a folder. The browser's
// list has its Done until it is edited, and shows each site's icon, name and address.
test('tablet: the bookmark lists in their popovers', async (t) => {
  const [, viewport, env] = profiles[1];
  const site = await startWebPeer(t);
  await session(t, 'tablet', viewport, env, null, async (s) => {
    const { page, front } = s;
    const popover = page.locator('.popover');
    const rightItems = () => popover.locator('.navbar .side.right > *').count();
    await typeInto(front().getByLabel('Server'), 'files.example');
    await clickSeen(front().getByLabel('Add Bookmark', { exact: true }));
    await clickSeen(page.getByRole('button', { name: 'Done', exact: true }).filter({ visible: true }));
    await popover.waitFor({ state: 'detached' });
    const pane = (side) => page.locator(`#screen .ctl-split > .${side}`);
    await clickSeen(pane('master').getByLabel('Bookmarks', { exact: true }).filter({ visible: true }));
    await popover.locator('.navbar', { hasText: 'Bookmarks' }).waitFor();
    await popover.locator('.cell', { hasText: 'files.example' }).waitFor();
    assert.equal(await rightItems(), 0, 'the servers\' list has an item at the right of its bar');
    await s.screen('server-bookmarks');
    await clickSeen(popover.getByRole('button', { name: 'Edit', exact: true }));
    await clickSeen(popover.getByRole('button', { name: 'New Folder', exact: true }));
    await typeInto(popover.getByLabel('New Bookmark Folder:'), 'Work');
    await page.keyboard.press('Enter');
    await popover.locator('.cell', { hasText: 'Work' }).waitFor();
    await clickSeen(popover.getByRole('button', { name: 'Done', exact: true }));
    await popover.getByRole('button', { name: 'Edit', exact: true }).waitFor();
    await clickSeen(popover.locator('.cell', { hasText: 'Work' }));
    await popover.locator('.navbar', { hasText: 'Work' }).waitFor();
    assert.equal(await rightItems(), 0, 'a folder of the servers\' list has an item at the right of its bar');
    await s.screen('server-bookmarks-folder');
    await page.mouse.click(...await (async () => {
      const screen = await page.locator('#screen').boundingBox();
      return [screen.x + screen.width - 40, screen.y + screen.height / 2];
    })());
    await popover.waitFor({ state: 'detached' });

    await openBrowserTab(s, 'tablet', site);
    await clickSeen(pane('detail').getByLabel('Bookmarks', { exact: true }).filter({ visible: true }));
    await popover.locator('.navbar', { hasText: 'Bookmarks' }).waitFor();
    const help = popover.locator('.cell[aria-label="Valtry Help"]');
    await help.waitFor();
    for (const text of ['Valtry Help', 'www.ferrowen.example'])
      assert.ok(await help.getByText(text, { exact: true }).isVisible(), `the row shows "${text}"`);
    assert.equal(await help.locator('img').count() >= 1, true, 'the row shows an icon');
    assert.equal(await rightItems(), 1, 'the browser\'s list has its Done');
    await s.screen('web-bookmarks');
    await clickSeen(popover.getByRole('button', { name: 'Edit', exact: true }));
    await waitFor(async () => (await rightItems()) === 0, 'the Done gone while the list is edited');
    await s.screen('web-bookmarks-edit');
  });
});

// While the address is edited on the tablet the history list stands by the field, and the field,
// its keyboard and Reload buttons and the page stay in use: a click on them acts at once and the
// list stays; a click elsewhere closes the list.
test('tablet: the history list stays open while the address, its buttons and the page are used', async (t) => {
  const [, viewport, env] = profiles[1];
  const site = await startWebPeer(t);
  await session(t, 'tablet', viewport, env, null, async (s) => {
    const { page } = s;
    await openBrowserTab(s, 'tablet', site);
    const layers = page.locator('#screen .layers > *');
    const address = page.locator('input[aria-label="Address"]').filter({ visible: true });
    const field = page.locator('.v-textField', { has: address });
    const keyboard = field.locator('.leftview button');
    const list = page.locator('.popover');
    const listOpen = async (what) => assert.equal(await list.count(), 1, `the history list open after ${what}`);
    const keys = () => address.getAttribute('enterkeyhint');
    await clickSeen(address);
    await list.waitFor();
    await s.screen('history-list-open');
    const layersOpen = await layers.count();

    // Each click is checked to land on the control itself (nothing of the list's layer over it).
    await clickSeen(keyboard);
    await waitFor(async () => (await keys()) === 'search', 'Return Search at the first click');
    await listOpen('the keyboard button');
    await clickSeen(address);
    await page.keyboard.press('End');
    await page.keyboard.type('/cou');
    await waitFor(async () => /\/cou$/.test(await address.inputValue()), 'the keys in the field');
    await listOpen('typing into the field');
    await clickSeen(keyboard);
    await waitFor(async () => (await keys()) === 'go', 'Return Go again');
    await waitFor(() => address.evaluate((e) => e === document.activeElement), 'the address taking the keys');
    await listOpen('the keyboard button again');
    assert.equal(await layers.count(), layersOpen, 'one history list');
    await s.screen('history-list-in-use');
    // The page beside the list is the page itself under the mouse, not the list's backdrop.
    const shown = await page.locator('iframe[data-web]:visible').first().boundingBox();
    const popoverBox = await list.boundingBox();
    const px = (popoverBox.x + popoverBox.width + shown.x + shown.width) / 2;
    assert.match(await whatLiesAt(page, px, shown.y + shown.height / 2), /^iframe/);

    // A click beside the browser (the left pane, under the list's backdrop) closes the list.
    const left = await page.locator('#screen .ctl-split > .master').first().boundingBox();
    const x = left.x + left.width / 2, y = left.y + left.height / 2;
    assert.match(await whatLiesAt(page, x, y), /backdrop/);
    await page.mouse.click(x, y);
    await list.waitFor({ state: 'detached' });
    await s.screen('history-list-closed');
  });
});

// The keyboard button beside the address switches between the address keyboard, whose Return is
// Go, and the plain one, whose Return is Search.
test("phone: the browser's keyboard button switches Return between Go and Search", async (t) => {
  const site = await startWebPeer(t);
  await session(t, 'phone', phone, phoneEnv, null, async (s) => {
    const { front } = s;
    await openBrowserTab(s, 'phone', site);
    const address = front().locator('input[aria-label="Address"]').filter({ visible: true });
    await clickSeen(address);
    const keys = () => address.evaluate((e) => [e.getAttribute('enterkeyhint'), e.getAttribute('inputmode')]);
    assert.deepEqual(await keys(), ['go', 'url']);
    const keyboard = front().locator('.v-textField .leftview button').filter({ visible: true });
    for (const expected of [['search', null], ['go', 'url']]) {
      await clickSeen(keyboard);
      await waitFor(async () => JSON.stringify(await keys()) === JSON.stringify(expected), `Return ${expected[0]}`);
      await waitFor(() => address.evaluate((e) => e === document.activeElement), 'the address taking the keys');
    }
    await clickSeen(keyboard);
    await waitFor(async () => (await keys())[0] === 'search', 'Return Search');
    await s.screen('browser-search-keyboard');
  });
});

test('phone: a name longer than the file system takes is refused with its reason, and nothing is made', async (t) => {
  const site = await startWebPeer(t);
  const long = 'x'.repeat(296) + '.txt';
  await session(t, 'phone', phone, phoneEnv, (home) => {
    fs.mkdirSync(path.join(savedFiles(home), 'box'), { recursive: true });
    fs.writeFileSync(path.join(savedFiles(home), 'keep.txt'), 'kept\n');
  }, async (s) => {
    const { page, front, row } = s;
    const listed = () => fs.readdirSync(savedFiles(s.home)).sort();
    const before = listed();
    assert.ok(before.includes('box') && before.includes('keep.txt'));
    const refused = async (what) => {
      await waitFor(async () => (await alertTitle(page).textContent().catch(() => '')) === 'File Name Error', `${what}: the refusal`);
      assert.equal(await alertMessage(page).textContent(),
        'That name cannot be used: it is 300 bytes long, and the file system takes at most 255', what);
      await s.screen(`long-name-${what.toLowerCase().replace(/ /g, '-')}`);
      await answerAlert(page, 'OK');
      assert.deepEqual(listed(), before, what);
    };
    const prompt = async (what) => {
      const field = page.locator('input[data-kind="field"]').filter({ visible: true }).first();
      await field.waitFor();
      await typeInto(field, long);
      await clickSeen(s.button('Done').or(s.button('Save')));
      await refused(what);
    };

    // A web download of a 400-byte name: refused before anything is asked of the server.
    await browse(s, 'phone', linkPage(site, `/files/${'n'.repeat(396)}.zip`));
    await inPage(page, '#link').waitFor({ timeout: scaled(60000) });
    await clickSeen(front().getByLabel('Download', { exact: true }));
    await answerAlert(page, 'OK');
    await clickInPage(page, '#link');
    await waitFor(async () => (await alertTitle(page).textContent().catch(() => '')) === "Can't Download", 'the refusal', 20000);
    assert.match(await alertMessage(page).textContent(),
      /^The name "n+\u2026" from the address cannot be a local file name: it is 400 bytes long, and the file system takes at most 255\.$/);
    await s.screen('long-name-web-download');
    await answerAlert(page, 'OK');
    assert.ok(!site.requests().some((r) => r.startsWith('/files/')), 'nothing was asked of the server');
    assert.deepEqual(listed(), before);

    await s.tab('Saved Files');
    for (const command of ['Create File', 'Create Directory']) {
      await clickSeen(front().getByLabel('Menu', { exact: true }));
      await clickSeen(s.sheetButton(command));
      await prompt(command);
    }
    for (const [name, command] of [['keep.txt', 'Rename File'], ['keep.txt', 'Copy File'], ['box', 'Rename Folder']]) {
      await clickSeen(row(name).locator('.accessory'));
      await clickSeen(s.sheetButton(command));
      await prompt(command);
    }
    assert.equal(fs.readFileSync(path.join(savedFiles(s.home), 'keep.txt'), 'utf8'), 'kept\n');
  });
});

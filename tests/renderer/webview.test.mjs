// The Web View tab and the in-app browser as a person uses them in the browser front end, against
// a small web site on loopback (a node server in this test): a held link opens the long-tap menu
// where it was held and "Open in New Tab" opens a browser tab, whose tab shows the page's title
// (as text) and icon; a held picture offers its own menu; download mode puts a linked picture and a
// typed address into Saved Files (the page stays), and the picture opened from there shows as a
// picture. The document a web view opened is served as itself, and no address leads to any other
// file. Screenshots go to $RENDERER_ARTEFACTS/webview.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { browserLaunch, checkScreen, click, startProgram, waitFor, watch, scaled } from '../support/person.mjs';

const artefacts = path.join(process.env.RENDERER_ARTEFACTS || path.join(os.tmpdir(), 'ferrowen-renderer'), 'webview');
const resources = process.env.FERROWEN_RESOURCES || path.join(import.meta.dirname, '../../resources');
const picture = fs.readFileSync(path.join(resources, '3-doc-image@2x.png'));
const icon = fs.readFileSync(path.join(resources, '3-doc-zip-new@2x.png'));
// A title that is markup: it must reach the tab as text.
const hostileTitle = '<img src=x onerror=document.title=1>';

// The web site: two pages, a picture and an icon, on 127.0.0.1.
async function startSite(t) {
  const page = (title, body) => '<!doctype html><html><head><meta charset=utf-8>' +
    '<meta name=viewport content="width=device-width">' +
    `<title>${title}</title><link rel="apple-touch-icon" href="/icon.png"></head>` +
    `<body style="margin:0;font:16px sans-serif">${body}</body></html>`;
  const body = '<p style="margin:30px"><a id=other href="/other.html" style="display:inline-block;padding:12px">Other page</a></p>' +
    '<p style="margin:30px"><img id=pic src="/picture.png" width=80 height=80></p>' +
    '<p style="margin:30px"><a id=file href="/picture.png" style="display:inline-block;padding:12px">The picture</a></p>';
  const routes = {
    '/index.html': ['text/html; charset=utf-8', page('Index', body)],
    '/other.html': ['text/html; charset=utf-8', page(hostileTitle.replace(/</g, '&lt;'), body)],
    '/picture.png': ['image/png', picture],
    '/icon.png': ['image/png', icon],
  };
  const server = http.createServer((req, res) => {
    const route = routes[req.url];
    if (!route) return res.writeHead(404).end();
    res.writeHead(200, { 'Content-Type': route[0] }).end(route[1]);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => server.close());
  return `http://127.0.0.1:${server.address().port}`;
}

// A GET with the path exactly as given (no client tidies "..") against the program's front end.
function rawGet(address, target) {
  const { hostname, port } = new URL(address);
  return new Promise((resolve, reject) => {
    const req = http.request({ host: hostname, port, path: target, method: 'GET' }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, type: res.headers['content-type'], body: Buffer.concat(chunks) }));
    });
    req.on('error', reject);
    req.end();
  });
}

test('a person browses, holds links and pictures, downloads and views a picture', async (t) => {
  const site = await startSite(t);
  // The first start would load the welcome page from the web: this home has been started before.
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-webview-'));
  fs.writeFileSync(path.join(home, 'Preferences.json'), JSON.stringify({ ShownWebHelp: '1', WebViewURL: '' }));
  const app = await startProgram(t, { FERROWEN_DEVICE: 'ipad', FERROWEN_HOME: home });
  // Removed once the program has ended (hooks run in the order they were added).
  t.after(() => fs.rmSync(home, { recursive: true, force: true }));
  const browser = await chromium.launch(browserLaunch);
  t.after(() => browser.close());
  const page = await browser.newPage({ viewport: { width: 1100, height: 1000 } });
  const problems = [];
  watch(page, problems);
  const screen = (name) => checkScreen(page, name, problems, artefacts);
  const front = () => page.locator('#screen .layers > :last-child');
  const sheet = page.locator('.actionsheet');
  const sheetButton = (name) => sheet.locator('button', { hasText: name });
  const shownFrame = () => page.locator('iframe[data-web]:visible').first();
  const inPage = (selector, options) => page.frameLocator('iframe[data-web]:visible').first().locator(selector, options);

  // Where an element of the page shown is, on the screen and in the web view's own points (the
  // device is drawn scaled, so the page's points are mapped through the frame's box).
  async function place(selector) {
    const target = inPage(selector);
    await target.waitFor();
    const frameBox = await shownFrame().boundingBox();
    if (!frameBox) throw new Error('the page was replaced while it was measured');
    const scale = frameBox.width / (await shownFrame().evaluate((f) => f.clientWidth));
    const point = await target.evaluate((el) => {
      const r = el.getBoundingClientRect();
      return [r.x + r.width / 2, r.y + r.height / 2];
    });
    return { x: frameBox.x + point[0] * scale, y: frameBox.y + point[1] * scale, point };
  }
  // Holds the mouse down on an element of the page shown until the long-tap menu opens. The
  // application gives a page its long-tap scripts once the page has loaded (as on the device):
  // the hold waits for them, as a person waits for the page to finish.
  // A page replaced by a redraw just as the hold began gets its scripts again once loaded; the
  // person then holds again, as on the device. So does a page replaced by a new load of the same
  // address (a browser tab opens its address a second time just after it opened). At most three
  // holds.
  async function hold(selector) {
    for (let attempt = 1; ; attempt++) {
      // A page still being replaced (a redraw loads the same page anew) has no context to ask
      // yet: that is a "not yet", not a failure.
      await waitFor(() => inPage('body').evaluate(() => typeof valtryHrefForPt === 'function' &&
        typeof valtryTouchDown === 'boolean').catch(() => false), 'the long-tap scripts in the page', 20000);
      let at;
      try {
        at = await place(selector);
      } catch (e) { // replaced while measured: measured again in the new page
        if (attempt === 3) throw e;
        continue;
      }
      await page.mouse.move(at.x, at.y);
      await page.mouse.down();
      try {
        await sheet.waitFor({ timeout: scaled(8000) });
        await page.mouse.up();
        return at;
      } catch (e) {
        await page.mouse.up();
        if (attempt === 3) throw e;
      }
    }
  }

  try {
    await page.goto(app.address);
    await page.locator('.alert').waitFor();
    await click(page.locator('.alert button', { hasText: 'Skip' }));

    // The Web View tab loads the site's page.
    await click(page.locator('.tab[aria-label="Web View"]'));
    await click(front().getByLabel('Address'));
    await page.keyboard.press('Control+A');
    await page.keyboard.type(`${site}/index.html`);
    await page.keyboard.press('Enter');
    await inPage('#other').waitFor({ timeout: scaled(20000) });
    await screen('web-view-tab');

    // A page whose frame is made anew (a new document of the same load, as a redraw may make it)
    // keeps the application's scripts: the hold below still opens the menu.
    await waitFor(() => inPage('body').evaluate(() => typeof valtryHrefForPt === 'function'),
      'the long-tap scripts in the page', 20000);
    await inPage('body').evaluate((b) => { b.dataset.before = 'reload'; location.reload(); });
    await waitFor(async () => (await inPage('body[data-before]').count()) === 0 && (await inPage('#other').count()) === 1,
      'the page loaded again', 20000);

    // A held link offers a browser tab; letting go does not also follow the link.
    await hold('#other');
    await sheetButton('Open in New Tab').waitFor();
    assert.match(await sheet.textContent(), /Address:\s+http:\/\/127\.0\.0\.1:\d+\/other\.html/);
    await screen('web-view-tab-held-link');
    await page.waitForTimeout(500);
    assert.equal(await inPage('#other').count(), 1, 'the held link was not followed');
    await click(sheetButton('Open in New Tab'));

    // The browser tab: the page's title, as text, and its icon reach the tab.
    const cut = `${hostileTitle.slice(0, 12)}\u2026`;
    const browserTab = page.locator('.tab.selected', { has: page.locator('.tabtitle', { hasText: cut }) });
    await browserTab.waitFor({ timeout: scaled(30000) });
    assert.equal(await browserTab.locator('.tabtitle').textContent(), cut);
    assert.equal(await browserTab.locator('.tabtitle img').count(), 0);
    await waitFor(async () => /tab-icon-127\.0\.0\.1/.test(decodeURIComponent(await browserTab.locator('img').first().getAttribute('src') || '')),
      'the site icon in the tab', 30000);
    await screen('browser-tab');
    // A touch that began before the page had the application's scripts ends after they came:
    // nothing fails in the page. (The tab opens its address a second time just after it opened:
    // a page being replaced is a "not yet".)
    await waitFor(() => inPage('body').evaluate(() => {
      if (typeof valtryHrefForPt !== 'function') return false;
      document.dispatchEvent(new Event('touchend'));
      return true;
    }).catch(() => false), 'a touch ended in the page with its scripts', 20000);

    // A held picture: its own menu, pointing at the place held.
    const held = await hold('#pic');
    await sheetButton('Copy Image').waitFor();
    assert.match(await sheet.textContent(), /Image:\s+http:\/\/127\.0\.0\.1:\d+\/picture\.png/);
    const rect = (await sheet.getAttribute('data-rect')).split(',').map(Number);
    assert.ok(Math.abs(rect[0] - held.point[0]) <= 2 && Math.abs(rect[1] - held.point[1]) <= 2,
      `the menu points at ${rect} rather than the place held, ${held.point}`);
    const sheetBox = await sheet.boundingBox();
    const distance = Math.max(sheetBox.x - held.x, held.x - (sheetBox.x + sheetBox.width), 0) +
      Math.max(sheetBox.y - held.y, held.y - (sheetBox.y + sheetBox.height), 0);
    assert.ok(distance < 60, `the menu stands ${distance} pixels from the place held`);
    await screen('browser-held-picture');
    await click(sheetButton('Copy This Address'));
    await sheet.waitFor({ state: 'detached' });

    // A held link in the browser: the browser's own menu.
    await hold('#other');
    for (const name of ['Open', 'Open in New Tab', 'Download', 'Copy This Address', 'Email This Address'])
      await sheetButton(name).first().waitFor();
    assert.equal(await sheetButton('Copy Image').count(), 0);
    await screen('browser-held-link');
    await click(sheetButton('Copy This Address'));
    await sheet.waitFor({ state: 'detached' });

    // A web page cannot make the view open a file of this machine (a page can ask to follow any
    // address): it is refused, and nothing of the file is shown.
    await inPage('body').evaluate((b, url) => parent.postMessage({ ferrowenWeb: 'follow', url }, '*'),
      `file://${home}/Preferences.json`);
    await inPage('body', { hasText: 'cannot open a file' }).waitFor({ timeout: scaled(20000) });
    assert.ok(!(await inPage('body').textContent()).includes('ShownWebHelp'));
    await click(front().getByLabel('Back', { exact: true }));
    await inPage('#file').waitFor({ timeout: scaled(20000) });

    // Download mode: the linked picture goes into Saved Files.
    await click(front().getByLabel('Download', { exact: true }));
    await click(page.locator('.alert button', { hasText: 'OK' }));
    await page.locator('.alert').waitFor({ state: 'detached' });
    const link = await place('#file');
    await page.mouse.click(link.x, link.y);
    const saved = path.join(home, 'Documents', 'Files', 'picture.png');
    await waitFor(() => fs.existsSync(saved) && fs.statSync(saved).size === picture.length, 'the download in Saved Files', 30000);
    assert.ok(fs.readFileSync(saved).equals(picture));
    // An address typed in download mode is a download too, and the page stays.
    await click(front().getByLabel('Address'));
    await page.keyboard.press('Control+A');
    await page.keyboard.type(`${site}/icon.png`);
    await page.keyboard.press('Enter');
    const typed = path.join(home, 'Documents', 'Files', 'icon.png');
    await waitFor(() => fs.existsSync(typed) && fs.statSync(typed).size === icon.length, 'the typed address in Saved Files', 30000);
    assert.ok(fs.readFileSync(typed).equals(icon));
    assert.equal(await inPage('#file').count(), 1, 'the page was left for the typed address');
    assert.equal(await page.locator('iframe[data-web][title$="/icon.png"]').count(), 0, 'the typed address was loaded');
    await screen('download-mode-typed');

    // The picture opened from Saved Files shows as a picture.
    await click(page.locator('.tab[aria-label="Saved Files"]'));
    await click(page.locator('.cell[aria-label="picture.png"]'));
    await click(page.getByRole('button', { name: 'View', exact: true }));
    const viewer = page.locator('iframe[data-web][title$="/picture.png"][title^="file:"]');
    await viewer.waitFor({ timeout: scaled(20000) });
    const shown = page.frameLocator('iframe[data-web][title$="/picture.png"][title^="file:"]').locator('img');
    await shown.waitFor({ timeout: scaled(20000) });
    await waitFor(() => shown.evaluate((i) => i.complete && i.naturalWidth > 0), 'the picture drawn');
    assert.equal(await page.frameLocator('iframe[data-web][title^="file:"]').locator('pre').count(), 0, 'not shown as text');
    await screen('saved-picture');

    // The picture is served as itself, and only the file that view opened is served.
    const src = await shown.getAttribute('src');
    const [, id, rev, key] = /^\/web\/(\d+)\/(\d+)\/raw\?k=([0-9a-f]+)$/.exec(src) || assert.fail(`picture address ${src}`);
    const own = await rawGet(app.address, `/web/${id}/${rev}/raw?k=${key}`);
    assert.equal(own.status, 200);
    assert.equal(own.type, 'image/png');
    assert.ok(own.body.equals(picture));
    const asked = await rawGet(app.address, `/web/${id}/${rev}/raw?k=${key}&path=/etc/passwd`);
    assert.ok(asked.body.equals(picture), 'a path in the query changes nothing');
    for (const target of [
      `/web/${id}/${rev}/raw/../../../../etc/passwd?k=${key}`,
      `/web/${id}/${rev}/%2e%2e/%2e%2e/%2e%2e/etc/passwd?k=${key}`,
      `/web/${id}/${rev}/raw%2f..%2f..%2fPreferences.json?k=${key}`,
      `/web/${id}/${rev}/..%2fraw?k=${key}`,
      `/web/${id}/${rev}/Preferences.json?k=${key}`,
      `/web/${id}/0/raw?k=${key}`,
      `/web/${id}/${Number(rev) + 1}/raw?k=${key}`,
      `/web/${id}/-1/raw?k=${key}`,
      `/web/${id}/${rev}/raw`,
    ]) {
      const r = await rawGet(app.address, target);
      assert.ok(r.status === 404 || r.status === 403 || r.status === 400, `${target}: ${r.status}`);
      assert.ok(!r.body.includes('root:') && !r.body.includes('WebPreviewTab'), target);
    }
  } catch (e) {
    console.log(problems.join('\n'));
    fs.mkdirSync(artefacts, { recursive: true });
    await page.screenshot({ path: path.join(artefacts, 'at-failure.png') }).catch(() => {});
    throw e;
  }
  const distinct = [...new Set(problems.map((p) => p.replace(/\?t=[0-9a-f]+/, '')))];
  assert.equal(distinct.length, 0, `what a person meets:\n${distinct.join('\n')}`);
  app.child.kill('SIGTERM');
  assert.equal(await app.exited, 0);
});

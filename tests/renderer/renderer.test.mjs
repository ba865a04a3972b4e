// The renderer in a real browser: Playwright drives Debian's Chromium against the sample window
// (renderer_sample), acts as a person would and checks that the model heard it. Screenshots of
// the sample screens go to $RENDERER_ARTEFACTS.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { browserLaunch, scaled, stopChild } from '../support/person.mjs';
import { claimedPort } from '../support/ports.mjs';

const artefacts = process.env.RENDERER_ARTEFACTS || path.join(os.tmpdir(), 'ferrowen-renderer');
fs.mkdirSync(artefacts, { recursive: true });

async function waitFor(check, what, limit = 15000) {
  for (const end = Date.now() + scaled(limit); Date.now() < end; await new Promise((r) => setTimeout(r, 40))) {
    const value = await check();
    if (value) return value;
  }
  throw new Error(`timed out waiting for ${what}`);
}

// Starts the sample program (or, with `program`, another one that prints its address);
// `heard(line)` waits until it printed that line.
async function sample(t, args = [], program = process.env.RENDERER_SAMPLE, extraEnv = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-renderer-'));
  // A web server for the sample's web view, on loopback. Its slow page is sent only once the
  // test lets it (`serveSlow`).
  const help = `file://${process.env.FERROWEN_RESOURCES}/404.html`;
  let serveSlow;
  const slowServed = new Promise((resolve) => { serveSlow = resolve; });
  const web = http.createServer(async (req, res) => {
    if (req.url === '/slow.html') {
      await slowServed;
      return res.end('<title>Slow page</title><p id="slow">Served late</p><a href="/page.html?again">Back to the page</a>');
    }
    res.end(`<title>Served page</title><p id="served">Served over HTTP</p><a href="${help}">Open the help page</a>` +
      '<p><a href="/slow.html">Open the slow page</a></p>');
  });
  await new Promise((resolve) => web.listen(0, '127.0.0.1', resolve));
  t.after(() => {
    serveSlow();
    web.close();
  });
  const webUrl = `http://127.0.0.1:${web.address().port}/page.html`;
  // The photo library is a pictures folder inside the program's home, never the user's own.
  const env = {
    ...process.env, FERROWEN_HOME: home, XDG_PICTURES_DIR: path.join(home, 'Pictures'), SAMPLE_WEB_URL: webUrl, ...extraEnv,
  };
  const child = spawn(program, args, { env });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => process.stderr.write(d));
  t.after(async () => {
    await stopChild(child);
    fs.rmSync(home, { recursive: true, force: true });
  });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const address = (await waitFor(() => /^Open (\S+)$/m.exec(out), 'the address'))[1];
  const url = new URL(address);
  return {
    child, exited, home, address, webUrl, help, serveSlow, port: Number(url.port), token: url.searchParams.get('t'),
    heard: (line) => waitFor(() => out.split('\n').includes(line), `"${line}" (heard so far:\n${out})`),
    times: (line) => out.split('\n').filter((l) => l === line).length,
  };
}

// `before` runs in the page before the front end's own script.
async function open(t, app, viewport, before) {
  const browser = await chromium.launch(browserLaunch);
  t.after(() => browser.close());
  const page = await browser.newPage({ viewport });
  if (before) await page.addInitScript(before);
  await page.goto(app.address);
  await page.locator('.tabbar').waitFor();
  return page;
}

const shot = (page, name) => page.screenshot({ path: path.join(artefacts, `${name}.png`) });

// A link of the web view's page clicked where it is drawn: the device (and the page in it) is
// drawn scaled, which Playwright's own click inside a frame does not take into account.
async function clickLink(page, text) {
  const link = page.frameLocator('iframe[data-web]').getByText(text);
  await link.waitFor();
  const box = await page.locator('iframe[data-web]').boundingBox();
  const scale = box.width / (await page.locator('iframe[data-web]').evaluate((f) => f.clientWidth));
  const [x, y] = await link.evaluate((el) => { const r = el.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; });
  await page.mouse.click(box.x + x * scale, box.y + y * scale);
}

// A raw request, so Host, Origin and upgrade headers are exactly what the test says.
function request(port, target, headers = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, path: target, headers: { Host: `127.0.0.1:${port}`, ...headers } });
    req.on('response', (res) => { res.resume(); resolve(res.statusCode); });
    req.on('upgrade', (res, socket) => { socket.destroy(); resolve(res.statusCode); });
    req.on('error', reject);
    req.end();
  });
}

test('a person uses every element of the phone layout', async (t) => {
  const app = await sample(t);
  const page = await open(t, app, { width: 420, height: 620 });
  await shot(page, 'phone-files');

  await page.getByRole('button', { name: 'Documents' }).click();
  await app.heard('row Documents');
  await page.locator('.navbar .title', { hasText: 'Documents' }).waitFor();
  await page.locator('.back', { hasText: 'Files' }).click();
  await page.locator('.navbar .title', { hasText: 'Files' }).waitFor();
  await page.getByLabel('Details of Downloads').click();
  await app.heard('accessory Downloads');
  await page.getByRole('switch', { name: 'Sync switch' }).click();
  await app.heard('switch Sync on');

  await page.getByRole('searchbox').click();
  await page.keyboard.type('rep');
  await app.heard('search rep');
  await page.keyboard.press('Enter');
  await app.heard('search go rep');
  await page.keyboard.press('Escape');

  // Scrolling makes the model lay out the rows that come into view.
  await page.locator('.v-table').evaluate((el) => { el.scrollTop = el.scrollHeight; });
  await page.getByRole('button', { name: 'report-30.txt' }).waitFor();
  await page.getByRole('button', { name: 'Refresh' }).click();
  await app.heard('toolbar Refresh');
  await page.getByRole('button', { name: 'Edit' }).click();
  await app.heard('editing on');
  await shot(page, 'phone-editing');
  await page.getByLabel('Move report-29.txt').dragTo(page.getByRole('button', { name: 'report-27.txt', exact: true }));
  await app.heard('moved report-29.txt to 2,26');
  await page.getByLabel('Delete report-30.txt').click();
  await page.getByRole('button', { name: 'Delete', exact: true }).click();
  await app.heard('deleted report-30.txt');
  await page.getByRole('button', { name: 'Done' }).click();

  await page.getByRole('button', { name: 'Sort' }).click();
  await page.getByRole('dialog', { name: 'Sort by' }).waitFor();
  await shot(page, 'phone-sheet');
  await page.getByRole('button', { name: 'Date' }).click();
  await app.heard('sheet Date');

  await page.getByRole('button', { name: 'Controls' }).click();
  assert.equal(await page.locator('.tab .badge').textContent(), '3');
  await page.getByLabel('Host').click();
  await page.keyboard.type('ftp.example');
  await app.heard('text Host=ftp.example');
  await page.keyboard.press('Backspace');
  await app.heard('text Host=ftp.exampl');
  // Typing over a selection replaces it; so does what an input method composed.
  await page.keyboard.press('Control+A');
  await page.keyboard.type('ftp.test');
  await app.heard('text Host=ftp.test');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.type('-');
  await app.heard('text Host=ftp.-test');
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Input.imeSetComposition', { text: 'か', selectionStart: 1, selectionEnd: 1 });
  await cdp.send('Input.insertText', { text: 'か' });
  await app.heard('text Host=ftp.-かtest');
  await page.keyboard.press('Enter');
  await app.heard('return Host');
  await page.getByLabel('Password').click();
  await page.keyboard.type('pw');
  await waitFor(async () => (await page.getByLabel('Password').inputValue()) === '\u2022\u2022', 'dots');
  await page.getByLabel('Notes').click();
  await page.keyboard.type('hi');
  await waitFor(async () => (await page.getByLabel('Notes').inputValue()).includes('hi'), 'the notes');
  await shot(page, 'phone-keyboard');
  // No panel stands in for the keyboard: Escape lets go of the focus.
  assert.equal(await page.locator('.keyboard').count(), 0);
  await page.keyboard.press('Escape');
  await page.getByRole('switch', { name: 'Passive mode' }).click();
  await app.heard('switch Passive mode off');
  await page.getByLabel('Speed').evaluate((el) => { el.value = 0.75; el.dispatchEvent(new Event('change', { bubbles: true })); });
  await app.heard('slider 0.75');
  // The thumb dragged with the mouse: the value follows it on the way, and stays where it was let go.
  const track = await page.getByLabel('Speed').boundingBox();
  await page.mouse.move(track.x + track.width * 0.75, track.y + track.height / 2);
  await page.mouse.down();
  for (let i = 1; i <= 10; i++) await page.mouse.move(track.x + track.width * (0.75 - i * 0.05), track.y + track.height / 2);
  // The model has the new value before the mouse is let go.
  const modelSpeed = async () => {
    const find = (n) => (n && typeof n === 'object' ? (n.label === 'Speed' && n.type === 'slider' ? n.value :
      Object.values(n).map(find).find((v) => v !== undefined)) : undefined);
    return find(await (await fetch(`${app.address.replace('/?', '/snapshot?')}`)).json());
  };
  await waitFor(async () => (await modelSpeed()) < 0.5, 'the value to follow the thumb');
  await page.mouse.up();
  const letGo = await waitFor(async () => {
    const v = Number(await page.getByLabel('Speed').inputValue());
    return v < 0.3 && v;
  }, 'the thumb where it was let go');
  await app.heard(`slider ${letGo.toFixed(2)}`);
  await page.getByLabel('Computer picture').dblclick();
  await app.heard('picture touched 2');
  await page.getByRole('tab', { name: 'SFTP' }).click();
  await app.heard('segment 2');
  // Progress is pushed as it moves, with no action of the page.
  const progress = page.getByRole('progressbar', { name: 'Transfer progress' });
  const before = await progress.getAttribute('aria-valuenow');
  await waitFor(async () => (await progress.getAttribute('aria-valuenow')) !== before, 'the progress to move');
  await shot(page, 'phone-controls');

  await page.getByRole('button', { name: 'Show Alert' }).click();
  await page.getByRole('alertdialog', { name: 'Delete file?' }).waitFor();
  await shot(page, 'phone-alert');
  await page.getByRole('button', { name: 'Delete' }).click();
  await app.heard('alert Delete');
  await page.getByRole('button', { name: 'Show Form' }).click();
  await page.getByLabel('Bookmark name').click();
  await page.keyboard.type('Home');
  await page.getByRole('button', { name: 'Done' }).click();
  await app.heard('form done');

  fs.writeFileSync(`${app.home}/clip.mp4`, 'not really a movie');
  await page.getByRole('button', { name: 'Play Movie' }).click();
  await app.heard('movie shown');
  assert.match(await page.locator('#media video').getAttribute('src'), /^\/media\/1\?t=/);
  await page.locator('#media .close').click();
  await app.heard('movie ended');

  await page.getByRole('button', { name: 'Web' }).click();
  const frame = page.frameLocator('iframe[data-web]');
  await clickLink(page, 'A refused link');
  await app.heard('web refuse https://blocked.invalid/');
  await clickLink(page, 'A page over HTTP');
  await app.heard(`web allow ${app.webUrl}`);
  await app.heard(`web finished ${app.webUrl}`);
  // The script the screen ran once the page had loaded reached the page.
  await frame.locator('body[data-ran="yes"] #served').waitFor();
  await clickLink(page, 'Open the help page');
  await app.heard(`web finished ${app.help}`);
  await shot(page, 'phone-web');
});

test("a web view's load ends with its own page, and the page answers the application for it", async (t) => {
  const app = await sample(t);
  // The front end holds back what a page says once it has loaded and hands it on later, as a
  // busy machine may deliver it only after the front end drew the next state; or it loses a
  // page's answer as the page is made anew. (Listeners of the window hear a message in the order
  // they were added: these come first.)
  const page = await open(t, app, { width: 420, height: 620 }, () => {
    window.held = [];
    window.addEventListener('message', (e) => {
      if (!e.data) return;
      if (window.holding && e.data.ferrowenWeb === 'loaded') {
        e.stopImmediatePropagation();
        window.held.push({ data: e.data, source: e.source });
      } else if (window.losing && e.data.ferrowenWeb === 'result') {
        e.stopImmediatePropagation();
        window.losing = false;
        const frame = document.querySelector('iframe[data-web]');
        frame.src = frame.getAttribute('src');
      }
    });
  });
  await page.getByRole('button', { name: 'Web' }).click();
  const frame = page.frameLocator('iframe[data-web]');
  const slowUrl = new URL('/slow.html', app.webUrl).href;
  const againUrl = new URL('/page.html?again', app.webUrl).href;
  await app.heard('web title of : '); // the first page, an HTML string, has loaded
  const hold = () => page.evaluate(() => { window.held = []; window.holding = true; });
  const handOn = () => page.evaluate(() => {
    window.holding = false;
    for (const m of window.held) window.dispatchEvent(new MessageEvent('message', m));
  });
  const heldOnce = () => waitFor(() => page.evaluate(() => window.held.length === 1), 'the page saying it loaded');

  // The page of one load says it loaded only once the next load has begun (a link on it was
  // followed): the new load still waits for its own page, and its title is its own.
  await hold();
  await clickLink(page, 'A page over HTTP');
  await frame.locator('#served').waitFor();
  await heldOnce();
  await clickLink(page, 'Open the slow page');
  await app.heard(`web allow ${slowUrl}`);
  await waitFor(() => page.locator('iframe[data-web]').evaluate((f, url) => f.title === url, slowUrl), 'the frame of the slow page');
  await handOn();
  // Once the model has answered a later event it has heard that late word: the slow load has not
  // ended for it.
  await page.evaluate(() => { document.body.dataset.lastResult = ''; });
  await page.getByRole('button', { name: 'Web' }).click();
  await waitFor(() => page.evaluate(() => document.body.dataset.lastResult !== ''), 'the answer to a later event');
  assert.equal(app.times(`web finished ${slowUrl}`), 0, 'the slow load ended before its page came');
  app.serveSlow();
  await frame.locator('#slow').waitFor();
  await app.heard(`web title of ${slowUrl}: Slow page`);
  assert.equal(app.times(`web finished ${slowUrl}`), 1);

  // The page is made anew (the same load) just as the application asks it something, and its
  // answer is lost with it: the new page of the same load is asked, and answers.
  await page.evaluate(() => { window.losing = true; });
  await clickLink(page, 'Back to the page');
  await app.heard(`web finished ${againUrl}`);
  await app.heard(`web title of ${againUrl}: Served page`);
});

// The browser may let the page of a load that is already on its way in stay in the frame and
// drop the frame's navigation to the next load, asked for just before (a busy machine): the page
// of the load before then says it loaded while the frame is meant for the next one. The frame is
// sent to the next load again, and that load ends with its own page (its spinner stops).
test("a web view's next load is shown even when the browser dropped the frame's navigation to it", async (t) => {
  const app = await sample(t);
  app.serveSlow();
  const page = await open(t, app, { width: 420, height: 620 }, () => {
    window.held = [];
    window.addEventListener('message', (e) => {
      if (window.holding && e.data && e.data.ferrowenWeb === 'loaded') {
        e.stopImmediatePropagation();
        window.held.push({ data: e.data, source: e.source });
      }
    });
  });
  await page.getByRole('button', { name: 'Web' }).click();
  const frame = page.frameLocator('iframe[data-web]');
  const slowUrl = new URL('/slow.html', app.webUrl).href;
  await app.heard('web title of : ');
  await page.evaluate(() => { window.held = []; window.holding = true; });
  await clickLink(page, 'A page over HTTP');
  await frame.locator('#served').waitFor({ timeout: scaled(30000) });
  await waitFor(() => page.evaluate(() => window.held.length === 1), 'the page saying it loaded');
  // The next load: the first navigation of the frame to it is dropped, the page before stays.
  const next = await page.locator('iframe[data-web]').evaluate((f) => Number(f.dataset.revision) + 1);
  const asked = [];
  await page.route((url) => new RegExp(`^/web/\\d+/${next}$`).test(url.pathname), (route) => {
    asked.push(route.request().url());
    return asked.length === 1 ? route.abort('aborted') : route.continue();
  });
  await clickLink(page, 'Open the slow page');
  await app.heard(`web allow ${slowUrl}`);
  await waitFor(() => asked.length === 1, 'the frame sent to the next load');
  await frame.locator('#served').waitFor({ timeout: scaled(30000) });
  // Only now does the page before say it loaded.
  await page.evaluate(() => {
    window.holding = false;
    for (const m of window.held) window.dispatchEvent(new MessageEvent('message', m));
  });
  await frame.locator('#slow').waitFor({ timeout: scaled(30000) });
  await app.heard(`web finished ${slowUrl}`);
  assert.equal(await page.locator('iframe[data-web]').evaluate((f) => Number(f.dataset.revision)), next);
});

test('the tablet layout: split container, popover and form sheet', async (t) => {
  const app = await sample(t, ['--ipad']);
  const page = await open(t, app, { width: 1100, height: 1100 });
  await page.locator('.ctl-split .master .navbar', { hasText: 'Files' }).waitFor();
  await shot(page, 'ipad');
  await page.locator('#rotate').click();
  // (The screen is 1024 points wide, whatever scale the page draws it at.)
  await waitFor(async () => (await page.locator('#screen').evaluate((e) => e.offsetWidth)) === 1024, 'landscape');
  await page.getByRole('button', { name: 'Show Popover' }).click();
  await page.locator('.popover', { hasText: 'Popover content' }).waitFor();
  await shot(page, 'ipad-popover');
  await page.locator('.dim.clear').click({ position: { x: 5, y: 5 } });
  await page.locator('.popover').waitFor({ state: 'detached' });
  await page.getByRole('button', { name: 'Show Form' }).click();
  await page.locator('.modal.formSheet').waitFor();
  await shot(page, 'ipad-form');
});

test('only the local user, with the token, may drive it', async (t) => {
  const app = await sample(t);
  const { port, token } = app;
  const ws = { Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13', 'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==' };
  const self = `http://127.0.0.1:${port}`;
  const cases = [
    ['/', {}, 403], [`/?t=${token}x`, {}, 403], [`/?t=${token}`, {}, 200], [`/snapshot?t=${token}`, {}, 200],
    [`/?t=${token}`, { Host: `evil.example:${port}` }, 403], [`/?t=${token}`, { Host: `127.0.0.1:${port + 1}` }, 403],
    [`/?t=${token}`, { Origin: 'http://evil.example' }, 403], [`/?t=${token}`, { Origin: 'null' }, 403],
    [`/ws?t=${token}`, { ...ws, Origin: 'http://evil.example' }, 403], [`/ws`, { ...ws, Origin: self }, 403],
    [`/ws?t=${token}`, { ...ws, Origin: self }, 101],
    [`/img/3-folder.png?t=${token}`, {}, 200], [`/img/..%2F..%2Fetc%2Fpasswd?t=${token}`, {}, 404],
    [`/img/${encodeURIComponent('/etc/passwd')}?t=${token}`, {}, 404],
    [`/img/${encodeURIComponent(`${app.home}/inside.png`)}?t=${token}`, {}, 200],
    [`/img/${encodeURIComponent(`${app.home}/link.png`)}?t=${token}`, {}, 404],
    [`/img/${encodeURIComponent(`${app.home}/linkdir/inside.png`)}?t=${token}`, {}, 404],
    [`/img/${encodeURIComponent(`${app.home}/pipe.png`)}?t=${token}`, {}, 404],
    [`/web/999999/1?t=${token}`, {}, 404], [`/web/999999/1?k=${token}`, {}, 403], [`/snapshot?k=whatever`, {}, 403],
  ];
  fs.copyFileSync(`${process.env.FERROWEN_RESOURCES}/3-folder.png`, `${app.home}/inside.png`);
  fs.symlinkSync('/etc/passwd', `${app.home}/link.png`);
  fs.symlinkSync(app.home, `${app.home}/linkdir`); // even a link that stays inside is not followed
  execFileSync('mkfifo', [`${app.home}/pipe.png`]); // nor is anything but a plain file opened
  for (const [target, headers, status] of cases)
    assert.equal(await request(port, target, headers), status, `${target} ${JSON.stringify(headers)}`);
  // The listening socket is bound to 127.0.0.1 alone.
  const hexPort = port.toString(16).toUpperCase().padStart(4, '0');
  const listening = fs.readFileSync('/proc/net/tcp', 'utf8').split('\n').concat(fs.readFileSync('/proc/net/tcp6', 'utf8').split('\n'))
    .map((l) => l.trim().split(/\s+/)).filter((f) => f[1] && f[1].endsWith(`:${hexPort}`) && f[3] === '0A');
  assert.deepEqual(listening.map((f) => f[1]), [`0100007F:${hexPort}`]);
});

test('the application itself: a setting changed and the web sharing server started', async (t) => {
  const webPort = await claimedPort();
  const app = await sample(t, [], process.env.FERROWEN_PROGRAM,
    { FERROWEN_RENDERER: '1', FERROWEN_PORT_OVERRIDES: `8080=${webPort},2121=0` });
  const page = await open(t, app, { width: 420, height: 620 });
  // A fresh install offers the tutorial first; a person answers the alert.
  await page.getByRole('button', { name: 'Skip' }).click();
  await shot(page, 'app-ftp');
  await page.getByRole('button', { name: 'Settings' }).click();
  await page.locator('.navbar .title', { hasText: 'Settings' }).waitFor();
  await shot(page, 'app-settings');
  const row = (text) => page.locator('.cell', { hasText: text }).getByRole('switch');
  await row('Show "Hidden" Files').click();
  await waitFor(async () => (await row('Show "Hidden" Files').getAttribute('aria-checked')) === 'true', 'the switch');
  // Scrolled a screen at a time, the model lays out the rows that come into view.
  // Each step waits for the model to follow (a loaded machine may take a while), so the rows it
  // made are there before the next step.
  const table = page.locator('.v-table');
  for (let y = 0; !(await row('Enable Web Server').count()); y += 300) {
    const at = await table.evaluate((el, to) => { el.scrollTop = to; return el.scrollTop; }, y);
    await waitFor(async () => Math.abs(Number(await table.getAttribute('data-offset')) - at) <= 1, 'the model to follow the scroll');
    assert.ok(y < 5000, 'the web server row never came into view');
  }
  await row('Enable Web Server').click();
  await page.locator('.cell', { hasText: 'Web Address' }).waitFor();
  await shot(page, 'app-web-server');
  assert.equal(await request(webPort, '/'), 200);
  app.child.kill('SIGTERM');
  assert.equal(await app.exited, 0);
  const settings = JSON.parse(fs.readFileSync(`${app.home}/Preferences.json`, 'utf8'));
  assert.equal(settings.ShowHiddenFiles, '1');
  assert.equal(settings.WebServer, '1');
});

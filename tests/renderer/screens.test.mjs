// What a person sees on the phone (390x844) and on the tablet (1280x800), mouse and keyboard only:
// the image editor's picture whole, fitted and centred (and cropped after a crop), its resize
// bar's labels and fields whole and on the screen, every button of its bar reachable; a transfer
// paused part way still showing how much of it is done; one whose server went away saying that it
// waits for it, its bar kept and the words readable over the bar; the editor's row of extra keys
// whole and above the tab bar. Screenshots go to $RENDERER_ARTEFACTS/screens-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  bringIntoView, checkScreen, clickSeen, connectAnonymousFtp, openImageEditor, screenshotPixels, startFtpServer, startFtpServerAt, startProgram, waitFor, watch, writePicture,
  session as sharedSession, artefacts, profiles, scaled,
} from '../support/person.mjs';
import { startSshdWith } from '../support/sshd.mjs';

// One task in the program with a browser on its page (the shared session of the browser suites).
function session(t, profile, viewport, env, prepare, run) {
  return sharedSession(t, {
    chromium, suite: 'screens', dir: path.join(artefacts, `screens-${profile}`), viewport, env, prepare, run,
  });
}

// The element is on the screen and is what a click at its centre meets.
async function reachable(page, locator, what) {
  const el = locator.first();
  await el.waitFor({ state: 'visible' });
  await bringIntoView(el);
  const box = await el.boundingBox();
  const screen = await page.locator('#screen').boundingBox();
  assert.ok(box.x >= screen.x - 1 && box.x + box.width <= screen.x + screen.width + 1 &&
    box.y >= screen.y - 1 && box.y + box.height <= screen.y + screen.height + 1,
  `${what} ${JSON.stringify(box)} leaves the screen ${JSON.stringify(screen)}`);
  const hit = await el.evaluate((e, [x, y]) => { const at = document.elementFromPoint(x, y); return at === e || e.contains(at); },
    [box.x + box.width / 2, box.y + box.height / 2]);
  assert.ok(hit, `${what} is covered`);
  return box;
}

// The part of a row's transfer that is done, as its bar draws it: the bar is shown, filled as far
// as it says, and that is more than nothing. Answers the fraction drawn.
async function doneShown(bar, what) {
  await waitFor(() => bar.isVisible(), `${what}: its bar`, 5000).catch(() => {});
  assert.ok(await bar.isVisible(), `${what} shows no bar`);
  const [said, drawn] = await bar.evaluate((b) => {
    const done = b.querySelector('.done');
    const whole = b.getBoundingClientRect().width;
    return [Number(b.getAttribute('aria-valuenow')) / 100, done && whole ? done.getBoundingClientRect().width / whole : 0];
  });
  assert.ok(said > 0 && drawn > 0, `${what} draws nothing done (${said}, ${drawn})`);
  assert.ok(Math.abs(said - drawn) < 0.05, `${what} draws ${drawn} done, not ${said}`);
  return said;
}

// How well a line of text that lies over a bar's filled part stands apart from it, as drawn: the
// contrast (1 to 21) between the letters (the darkest pixels where both meet) and what lies round
// them (the lightest), from a screenshot. A person reads small text from about 4.5.
async function contrastOverFill(page, line, bar) {
  const box = await line.evaluate((el, b) => {
    const range = document.createRange();
    range.selectNodeContents(el);
    const t = range.getBoundingClientRect();
    const f = b.querySelector('.done').getBoundingClientRect();
    const x = Math.max(t.left, f.left), y = Math.max(t.top, f.top);
    return { x, y, width: Math.min(t.right, f.right) - x, height: Math.min(t.bottom, f.bottom) - y };
  }, await bar.elementHandle());
  assert.ok(box.width >= 20 && box.height >= 4, `the line hardly lies over the bar's fill: ${JSON.stringify(box)}`);
  const pixels = await screenshotPixels(page, await page.screenshot(), box);
  const linear = (c) => { const v = c / 255; return v <= 0.04045 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; };
  const lum = pixels.map(([r, g, b]) => 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b)).sort((a, b) => a - b);
  const at = (q) => lum[Math.min(lum.length - 1, Math.floor(q * lum.length))];
  return (at(0.95) + 0.05) / (at(0.05) + 0.05);
}

// A text whose box shows all of it (no ellipsis, nothing clipped by its box or the screen).
async function whole(page, locator, what) {
  const box = await reachable(page, locator, what);
  const cut = await locator.first().evaluate((e) => e.scrollWidth > e.clientWidth + 1 || e.scrollHeight > e.clientHeight + 1);
  assert.ok(!cut, `${what} is cut`);
  return box;
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: the image editor shows the whole picture and all of its bars`, async (t) => {
    // Bigger than either device's area, so it must be fitted.
    const [pw, ph] = [1600, 1200];
    await session(t, profile, viewport, env, (home) => {
      fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
      writePicture(path.join(home, 'Documents', 'Files', 'picture.png'), pw, ph);
    }, async (s) => {
      const { page, front } = s;
      const { picture, drawn } = await openImageEditor(s, 'picture.png');
      // The whole picture: its box shows it at its own proportions, inside the area the page
      // gives it (between the bars, on the screen), in the middle of that area.
      const fitted = async (w, h, when) => {
        await waitFor(() => drawn.evaluate((i) => i.complete && i.naturalWidth > 0), `the picture drawn ${when}`);
        const natural = await drawn.evaluate((i) => [i.naturalWidth, i.naturalHeight]);
        assert.ok(Math.abs(natural[0] / natural[1] - w / h) < 0.01, `${when}: the picture drawn is ${natural.join('x')}, not ${w}x${h}`);
        const box = await picture.boundingBox();
        const area = await picture.evaluate((e) => {
          const b = e.parentElement.closest('.v-scroll').getBoundingClientRect();
          return { x: b.left, y: b.top, width: b.width, height: b.height };
        });
        const screen = await page.locator('#screen').boundingBox();
        const inside = (a, b) => a.x >= b.x - 1 && a.y >= b.y - 1 && a.x + a.width <= b.x + b.width + 1 && a.y + a.height <= b.y + b.height + 1;
        assert.ok(inside(box, area) && inside(box, screen), `${when}: the picture ${JSON.stringify(box)} leaves its area ${JSON.stringify(area)}`);
        assert.ok(Math.abs(box.width / box.height - w / h) < 0.02, `${when}: the picture's box ${box.width}x${box.height} is not shaped as ${w}x${h}`);
        const [left, right] = [box.x - area.x, area.x + area.width - box.x - box.width];
        const [top, bottom] = [box.y - area.y, area.y + area.height - box.y - box.height];
        assert.ok(Math.abs(left - right) <= 2 && Math.abs(top - bottom) <= 2, `${when}: the picture is off-centre (${left}/${right}, ${top}/${bottom})`);
        // Fitted: it touches the area on one side at least.
        assert.ok(Math.min(left + right, top + bottom) <= 2, `${when}: the picture is not fitted (${left}/${right}, ${top}/${bottom})`);
      };
      await fitted(pw, ph, 'opened');
      await s.screen('editor');
      // Every button of the editor's bars can be reached, Save included.
      for (const name of ['Resize', 'Crop', 'Captions', 'Watermark', 'Save'])
        await reachable(page, front().getByLabel(name, { exact: true }).filter({ visible: true }), name);

      // The resize bar: both labels whole, both fields on the screen.
      await clickSeen(front().getByLabel('Resize', { exact: true }));
      for (const name of ['Width', 'Height']) {
        await whole(page, front().locator('.v-label', { hasText: new RegExp(`^${name}$`) }).filter({ visible: true }), `the label ${name}`);
        await reachable(page, front().getByLabel(name, { exact: true }).filter({ visible: true }), `the field ${name}`);
      }
      await s.screen('editor-resize');
      await clickSeen(s.button('Cancel'));

      // After a crop, the preview is the cropped picture, fitted again.
      await clickSeen(s.button('Crop'));
      await front().locator('[aria-label="Crop Area"]').waitFor();
      for (const name of ['Crop To Rect', 'Cancel']) await reachable(page, s.button(name), name);
      await clickSeen(s.button('Crop To Rect'));
      await front().locator('[aria-label="Crop Area"]').waitFor({ state: 'detached', timeout: scaled(30000) });
      const size = await waitFor(async () => {
        const m = /(\d+) ?x ?(\d+)/.exec((await front().locator('.navbar, .v-toolbar').allTextContents()).join(' '));
        return m && Number(m[1]) < pw && m;
      }, 'the cropped size shown', 30000);
      const [cw, ch] = [Number(size[1]), Number(size[2])];
      await waitFor(() => drawn.evaluate((i, [w, h]) => i.complete && i.naturalWidth === w && i.naturalHeight === h, [cw, ch]),
        `the cropped ${cw}x${ch} picture drawn`);
      await fitted(cw, ch, 'cropped');
      for (const name of ['Resize', 'Crop', 'Captions', 'Watermark', 'Save'])
        await reachable(page, front().getByLabel(name, { exact: true }).filter({ visible: true }), `${name} after the crop`);
      await s.screen('editor-cropped');
    });
  });

  // Phone: each screen pushed over the image editor (Captions, the watermark help, the Save
  // dialog) leads back with "Back", not with the picture's name. Tablet: the watermark help opens
  // in a popover by its button.
  test(`${profile}: the screens over the image editor lead back to it`, async (t) => {
    await session(t, profile, viewport, env, (home) => {
      fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
      writePicture(path.join(home, 'Documents', 'Files', 'picture.png'), 400, 300);
    }, async (s) => {
      const { page, front } = s;
      await openImageEditor(s, 'picture.png');
      const tool = (name) => front().getByLabel(name, { exact: true }).filter({ visible: true });
      if (profile === 'tablet') {
        const button = await tool('Watermark').boundingBox();
        await clickSeen(tool('Watermark'));
        const popover = page.locator('.popover');
        await popover.locator('iframe[data-web]').waitFor();
        const box = await popover.boundingBox();
        assert.ok(Math.abs(box.x + box.width / 2 - (button.x + button.width / 2)) < box.width / 2,
          `the help's popover ${JSON.stringify(box)} is not by its button ${JSON.stringify(button)}`);
        await s.screen('watermark-help');
        return;
      }
      for (const [name, title] of [['Captions', 'Captions'], ['Watermark', 'Watermark Help'], ['Save', 'Save']]) {
        await clickSeen(tool(name));
        await front().locator('.navbar .title', { hasText: new RegExp(`^${title}$`) }).waitFor();
        const back = front().locator('.navbar .back');
        assert.equal(await back.textContent(), 'Back', `the back button over ${title}`);
        await s.screen(`over-editor-${name.toLowerCase()}`);
        await clickSeen(back);
        await front().locator('.navbar .title', { hasText: 'picture.png' }).waitFor();
      }
    });
  });

  test(`${profile}: the editor's row of extra keys shows whole keys above the tab bar`, async (t) => {
    await session(t, profile, viewport, env, (home) => {
      fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
      fs.writeFileSync(path.join(home, 'Documents', 'Files', 'notes.txt'), 'line one\nline two\n');
    }, async (s) => {
      const { page, front, row } = s;
      await s.tab('Saved Files');
      await clickSeen(row('notes.txt'));
      await clickSeen(s.button('Edit'));
      // (The row of keys is a layer of its own, in front while it shows.)
      const text = page.locator('#screen textarea').filter({ visible: true }).first();
      await clickSeen(text);
      const bar = page.locator('.accessorybar');
      await bar.waitFor();
      const keys = bar.locator('button').filter({ visible: true });
      await waitFor(async () => (await keys.count()) > 4, 'the keys');
      for (const name of ['Shift', 'Hide Keys']) await whole(page, bar.getByRole('button', { name, exact: true }), `the key ${name}`);
      for (let i = 0; i < await keys.count(); i++) await whole(page, keys.nth(i), `key ${i + 1}`);
      // Above the tab bar, never over it.
      for (const tab of await page.locator('.tab').filter({ visible: true }).all()) {
        await reachable(page, tab, `the tab ${await tab.getAttribute('aria-label')}`);
        const [barBox, b] = [await bar.boundingBox(), await tab.boundingBox()];
        const across = b.x < barBox.x + barBox.width && b.x + b.width > barBox.x;
        assert.ok(!across || barBox.y + barBox.height <= b.y + 1 || barBox.y >= b.y + b.height - 1,
          `the keys ${JSON.stringify(barBox)} cover the tab ${JSON.stringify(b)}`);
      }
      await s.screen('editor-keys');
      // Typed with a key of the row.
      await clickSeen(bar.getByRole('button', { name: 'Key {', exact: true }));
      await waitFor(async () => (await text.inputValue()).includes('{'), 'the key typed');
    });
  });

  test(`${profile}: a transfer paused part way shows how much of it is done`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-screens-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.writeFileSync(path.join(served, 'big.bin'), Buffer.alloc(8 << 20, 7));
    // Slow enough to be paused part way.
    const ftpPort = await startFtpServer(t, served, 256 << 10);
    await session(t, profile, viewport, env, null, async (s) => {
      const { front, row } = s;
      await connectAnonymousFtp(s, ftpPort, 'big.bin');
      await clickSeen(row('big.bin'));
      await clickSeen(s.button('Download'));
      await s.tab('Transfers');
      const running = front().locator('.cell', { hasText: 'big.bin' });
      const bar = running.getByRole('progressbar');
      await bar.waitFor({ timeout: scaled(30000) });
      await waitFor(async () => Number(await bar.getAttribute('aria-valuenow') || (await bar.evaluate((b) => b.value))) > 0, 'some progress', 30000);
      await clickSeen(front().getByLabel('Pause', { exact: true }));
      await front().getByLabel('Play', { exact: true }).waitFor();
      // The row keeps showing how much of its 8 MB is done (its bar, filled that far), and says
      // nothing else of its own about it: its name and size only. Also once the table is drawn
      // anew (another tab and back).
      await s.page.waitForTimeout(1000);
      const paused = await doneShown(bar, 'the paused row');
      const texts = (await running.locator('.v-label').filter({ visible: true }).allTextContents())
        .map((text) => text.trim()).filter((text) => text);
      assert.deepEqual(texts, ['big.bin', '8.0 MB'], `the paused row shows ${JSON.stringify(texts)}`);
      await s.screen('transfer-paused');
      await s.shownTab('Saved Files');
      await s.shownTab('Transfers');
      assert.equal(await doneShown(bar, 'the paused row drawn again'), paused);
      // Played again: the bar comes back and runs on.
      await clickSeen(front().getByLabel('Play', { exact: true }));
      await waitFor(() => bar.isVisible(), 'the bar back', 30000);
      await s.screen('transfer-resumed');
    });
  });

  test(`${profile}: a transfer whose server went away says it waits for it, and goes on`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-screens-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.writeFileSync(path.join(served, 'away.bin'), Buffer.alloc(4 << 20, 5));
    // Slow enough to be cut part way.
    let server = await startFtpServerAt(t, served, 256 << 10);
    await session(t, profile, viewport, env, null, async (s) => {
      const { front, row } = s;
      await connectAnonymousFtp(s, server.port, 'away.bin');
      await clickSeen(row('away.bin'));
      await clickSeen(s.button('Download'));
      await s.tab('Transfers');
      const running = front().locator('.cell', { hasText: 'away.bin' });
      const bar = running.getByRole('progressbar');
      await bar.waitFor({ timeout: scaled(30000) });
      // Cut once a good part is done, so that the bar's fill lies under the row's message.
      await waitFor(async () => Number(await bar.getAttribute('aria-valuenow') || (await bar.evaluate((b) => b.value))) >= 40, 'a good part done', 60000);
      // The server goes away: the row says why it waits, and still how much is done.
      await server.stop();
      const line = running.locator('.v-label', { hasText: /^Waiting for the server: / });
      await line.waitFor({ state: 'visible', timeout: scaled(30000) });
      await doneShown(bar, 'the waiting row');
      // The words stay where they are, over the bar, and read on its blue fill.
      await bringIntoView(line);
      const contrast = await contrastOverFill(s.page, line, bar);
      assert.ok(contrast >= 4.5, `the waiting line stands apart from the bar's fill by ${contrast.toFixed(2)}:1 only`);
      await s.screen('transfer-waiting');
      // Back on its port: the row goes on and ends, the file whole.
      server = await startFtpServerAt(t, served, 256 << 10, undefined, server.port);
      await waitFor(async () => !(await running.count()), 'the download', 120000);
      assert.equal(fs.statSync(path.join(s.home, 'Documents', 'Files', 'away.bin')).size, 4 << 20);
    });
  });

  test(`${profile}: the first SFTP download of a session says it is connecting`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-screens-sftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.chmodSync(served, 0o777);
    fs.writeFileSync(path.join(served, 'data.bin'), Buffer.alloc(4 << 20, 3));
    const sshPort = await startSshd(t, served);
    // Between the program and sshd: the queue's own session (the second connection) is held
    // before sshd's first byte reaches the program, so its row can be seen while it connects.
    // The times of each step are written to the test's log.
    let connections = 0;
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    const times = {};
    const stamp = (what) => { if (!(what in times)) times[what] = Date.now(); };
    const proxy = net.createServer((client) => {
      const index = ++connections;
      const server = net.connect(sshPort, '127.0.0.1');
      client.on('error', () => {});
      server.on('error', () => {});
      client.pipe(server);
      if (index < 2) { server.pipe(client); return; }
      stamp('queue connects');
      const waiting = [];
      let open = false;
      // The first packets each way (banner, key exchange, login, the file's open) are timed.
      let [sent, heard] = [0, 0];
      client.on('data', (chunk) => { if (++sent <= 6) stamp(`program sends #${sent} (${chunk.length} B)`); });
      server.on('data', (chunk) => {
        if (++heard <= 6) stamp(`sshd sends #${heard} (${chunk.length} B)`);
        if (open) client.write(chunk);
        else waiting.push(chunk);
      });
      server.on('end', () => client.end());
      held.then(() => {
        stamp('released');
        open = true;
        for (const chunk of waiting.splice(0)) client.write(chunk);
      });
    });
    await new Promise((resolve) => proxy.listen(0, '127.0.0.1', resolve));
    t.after(() => proxy.close());
    await session(t, profile, viewport, env, null, async (s) => {
      const { page, front, row } = s;
      for (const [field, text] of [['Server', `sftp://127.0.0.1:${proxy.address().port}${served}`], ['User Name', sftpUser], ['Password', sftpPassword]]) {
        await clickSeen(front().getByLabel(field));
        await page.keyboard.type(text);
      }
      await clickSeen(s.button('Connect'));
      await row('data.bin').waitFor({ timeout: scaled(30000) });
      await clickSeen(row('data.bin'));
      stamp('download clicked');
      await clickSeen(s.button('Download'));
      await s.tab('Transfers');
      const running = front().locator('.cell', { hasText: 'data.bin' });
      await running.getByText('Connecting...', { exact: true }).waitFor({ timeout: scaled(30000) });
      stamp('row says connecting');
      assert.ok('queue connects' in times, 'the queue connects for its download');
      await s.screen('transfer-connecting');
      release();
      await waitFor(async () => !(await running.count()) || (await running.getByRole('progressbar').isVisible()), 'the bar', 60000);
      stamp('bar or done');
      await waitFor(async () => !(await running.count()), 'the download', 60000);
      stamp('done');
      assert.equal(fs.statSync(path.join(s.home, 'Documents', 'Files', 'data.bin')).size, 4 << 20);
      const start = times['download clicked'];
      t.diagnostic(Object.entries(times).sort((a, b) => a[1] - b[1]).map(([k, v]) => `${k} +${v - start} ms`).join(', '));
    });
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: photo library rows show their names and sizes apart`, async (t) => {
    const pictures = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-screens-pictures-'));
    t.after(() => fs.rmSync(pictures, { recursive: true, force: true }));
    // Sizes of six and more characters ("999.9 KB") beside the library's names.
    const sizes = [1023900, 987000, 5 << 20];
    sizes.forEach((bytes, i) => writePicture(path.join(pictures, `picture-${i}.png`), 300 + 200 * i, 200 + 100 * i, bytes));
    await session(t, profile, viewport, { ...env, XDG_PICTURES_DIR: pictures }, null, async (s) => {
      const { page, front, row } = s;
      // What a row draws: the name's black ends before the size's blue begins, on the line they
      // share (right of the thumbnail, above the details line), and the size ends before the
      // row's button, which would hide its end.
      // The drawing, its box and the button's box are read at one moment, from a drawing that
      // has arrived whole: a row is drawn again when its thumbnail comes (the table reloads, its
      // picture is fetched anew), and a look that took one drawing's pixels and another's boxes,
      // or pixels of a picture still on its way, would judge what no person sees.
      const apart = async (what, cell) => {
        const found = await waitFor(() => cell.evaluate(async (row) => {
          const im = row.querySelector('img.drawn');
          const button = row.querySelector('.accessory img');
          if (!im || !button) return null;
          try { await im.decode(); } catch { return null; } // replaced while on its way
          if (!row.isConnected || row.querySelector('img.drawn') !== im || !im.complete || !im.naturalWidth ||
            !button.isConnected || !button.complete) return null;
          const c = document.createElement('canvas');
          [c.width, c.height] = [im.naturalWidth, im.naturalHeight];
          const g = c.getContext('2d');
          g.drawImage(im, 0, 0);
          const k = im.naturalWidth / 320;
          const d = g.getImageData(0, 0, c.width, c.height).data;
          let [lastBlack, firstBlue, lastBlue] = [-1, Infinity, -1];
          for (let y = Math.round(12 * k); y < Math.round(26 * k); y++) {
            for (let x = Math.round(50 * k); x < c.width; x++) {
              const [r, gr, b] = [d[(y * c.width + x) * 4], d[(y * c.width + x) * 4 + 1], d[(y * c.width + x) * 4 + 2]];
              if (r < 60 && gr < 60 && b < 60) lastBlack = Math.max(lastBlack, x / k);
              else if (b > 150 && r < 90 && gr < 120) {
                firstBlue = Math.min(firstBlue, x / k);
                lastBlue = Math.max(lastBlue, x / k);
              }
            }
          }
          const box = im.getBoundingClientRect();
          return { lastBlack, firstBlue, lastBlue, left: box.left, width: box.width, button: button.getBoundingClientRect().left };
        }), `${what} drawn`);
        assert.ok(found.lastBlack > 0 && found.firstBlue < 320, `${what}: no name or size drawn ${JSON.stringify(found)}`);
        assert.ok(found.lastBlack < found.firstBlue, `${what}: the name reaches ${found.lastBlack.toFixed(1)}, past where the size begins (${found.firstBlue.toFixed(1)})`);
        assert.ok(found.left + found.lastBlue * (found.width / 320) <= found.button + 1, `${what}: the size runs under the row's button (to ${found.lastBlue.toFixed(1)})`);
      };
      await s.tab('Saved Files');
      await clickSeen(row('Photo Library'));
      await row('Saved Photos').waitFor({ timeout: scaled(30000) });
      await s.screen('photo-albums');
      await apart('the album row', row('Saved Photos'));
      await clickSeen(row('Saved Photos'));
      const rows = front().locator('.cell').filter({ has: page.locator('img.drawn') });
      await waitFor(async () => (await rows.count()) === sizes.length, 'the pictures listed', 30000);
      await s.screen('photo-library');
      for (let i = 0; i < sizes.length; i++) await apart(`row ${i}`, rows.nth(i));
    });
  });
}

const sftpUser = 'ferrowen-sftp';
const sftpPassword = 'Sftp-Secret-18';

// sshd as Debian ships it, on a free loopback port, with a host key of its own; the test's user
// logs in with its password. (PAM is off: the password is checked against the shadow file
// without a PAM session the container cannot open.)
async function startSshd(t, dir) {
  try { execFileSync('id', [sftpUser], { stdio: 'ignore' }); } catch {
    execFileSync('useradd', ['-m', '-s', '/bin/bash', sftpUser], { stdio: 'ignore' });
  }
  execFileSync('sh', ['-c', `echo '${sftpUser}:${sftpPassword}' | chpasswd`]);
  const keys = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-screens-sshd-'));
  t.after(() => fs.rmSync(keys, { recursive: true, force: true }));
  execFileSync('ssh-keygen', ['-q', '-N', '', '-t', 'ed25519', '-f', `${keys}/host`]);
  return (await startSshdWith(t, keys, [`HostKey ${keys}/host`, 'UsePAM no', 'Subsystem sftp internal-sftp'])).port;
}

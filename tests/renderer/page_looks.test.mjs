// What the page shows a person, on the phone (390x844) and on the tablet (1280x800), with the mouse
// and the keyboard only, each click checked to land on what lies there:
// - in Transfers > Edit a row's progress bar ends where the row's content ends, before the
//   reorder control and, while a delete is confirmed, before the Delete button (a local FTP
//   server sends slowly, so the transfer is still running);
// - a changed host key's fingerprints break between their bytes only, after a colon (OpenSSH's
//   sshd on loopback; the remembered key is another key's, so no account is needed);
// - the tablet starts with the whole device in a 1280x800 window (Actual Size on request);
// - the phone's image-editor save dialog keeps its title clear of its buttons.
// Screenshots go to $RENDERER_ARTEFACTS/page-looks-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { chromium } from 'playwright-core';
import {
  bringIntoView, clickSeen, openImageSave, startFtpServer, typeInto, waitFor, writePicture, session as sharedSession, artefacts, profiles, scaled,
} from '../support/person.mjs';
import { md5Of, startSshd } from '../support/sshd.mjs';

const [phone, tablet] = profiles;

function session(t, [profile, viewport, env], prepare, run) {
  return sharedSession(t, {
    chromium, suite: 'page-looks', dir: path.join(artefacts, `page-looks-${profile}`), viewport, env, prepare, run,
  });
}

// The right edge of what is seen of an element: its box, cut by every box around it that clips.
function seenRight(locator) {
  return locator.evaluate((e) => {
    let right = e.getBoundingClientRect().right;
    for (let a = e.parentElement; a; a = a.parentElement)
      if (getComputedStyle(a).overflowX !== 'visible') right = Math.min(right, a.getBoundingClientRect().right);
    return right;
  });
}

// Where a text breaks into lines inside `part` (a substring of the element's text, which may lie
// in several text nodes): for each break, its place in `part` and the characters around it.
function breaksInside(element, part) {
  return element.evaluate((el, wanted) => {
    const nodes = [];
    const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
    while (walker.nextNode()) nodes.push(walker.currentNode);
    const whole = nodes.map((n) => n.data).join('');
    const at = whole.indexOf(wanted);
    if (at < 0) return null;
    const place = (offset) => {
      for (const n of nodes) {
        if (offset < n.data.length) return [n, offset];
        offset -= n.data.length;
      }
      return null;
    };
    const topOf = (i) => {
      const range = document.createRange();
      const [n, o] = place(i);
      range.setStart(n, o);
      range.setEnd(n, o + 1);
      return range.getBoundingClientRect().top;
    };
    const out = [];
    for (let i = at + 1; i < at + wanted.length; i++)
      if (topOf(i) > topOf(i - 1) + 1) out.push({ at: i - at, around: `${whole[i - 1]}|${whole[i]}` });
    return out;
  }, part);
}

for (const profile of profiles) {
  const [name, viewport] = profile;

  test(`${name}: in Transfers > Edit a row's bar ends where the row's content ends`, async (t) => {
    const served = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-page-looks-ftp-'));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.writeFileSync(path.join(served, 'big.bin'), Buffer.alloc(8 << 20, 7));
    // Slow, so the transfer still runs (and its bar shows) while the row is looked at.
    const ftpPort = await startFtpServer(t, served, 64 << 10);
    await session(t, profile, null, async (s) => {
      const { page, front, row } = s;
      await typeInto(front().getByLabel('Server'), `127.0.0.1:${ftpPort}`);
      await typeInto(front().getByLabel('User Name'), 'anonymous');
      await clickSeen(s.button('Connect'));
      await row('big.bin').waitFor({ timeout: scaled(30000) });
      await clickSeen(row('big.bin'));
      await clickSeen(s.button('Download'));
      await s.tab('Transfers');
      const queued = front().locator('.cell[aria-label="big.bin"]');
      const bar = queued.locator('[role=progressbar]');
      await bar.waitFor({ timeout: scaled(30000) });
      await clickSeen(s.button('Edit'));
      const reorder = queued.locator('.reorder');
      await reorder.waitFor();
      await bringIntoView(queued);
      // The bar is laid out anew for the narrower content: wait for it, then judge it.
      const ends = async () => {
        const [b, r, c] = [await bar.boundingBox(), await reorder.boundingBox(), await queued.boundingBox()];
        return { bar: b.x + b.width, reorder: r.x, row: c.x + c.width };
      };
      await waitFor(async () => { const e = await ends(); return e.bar <= e.reorder; }, 'the bar before the reorder control', 10000)
        .catch(async (e) => { throw new Error(`${e.message}: ${JSON.stringify(await ends())}`); });
      assert.ok((await ends()).bar <= (await ends()).row, `the bar leaves its row: ${JSON.stringify(await ends())}`);
      await s.screen('transfers-edit');

      // The red (-) clicked: the Delete button asks, and nothing of the row lies under it.
      await clickSeen(queued.getByRole('button', { name: 'Delete big.bin', exact: true }));
      const del = queued.getByRole('button', { name: 'Delete', exact: true });
      await del.waitFor();
      const deleteLeft = (await del.boundingBox()).x;
      const barSeen = await seenRight(bar);
      assert.ok(barSeen <= deleteLeft + 0.5, `the bar is seen up to ${barSeen}, under the Delete button at ${deleteLeft}`);
      await s.screen('transfers-confirm-delete');
      await clickSeen(del);
      await queued.waitFor({ state: 'detached', timeout: scaled(20000) });
    });
  });

  test(`${name}: a changed host key's fingerprints break only after a colon`, async (t) => {
    const keys = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-page-looks-keys-'));
    t.after(() => fs.rmSync(keys, { recursive: true, force: true }));
    const sshd = await startSshd(t, keys);
    // The key remembered for the server is another Ed25519 key, as after the server's keys were
    // made anew.
    execFileSync('ssh-keygen', ['-q', '-N', '', '-t', 'ed25519', '-f', `${keys}/old`]);
    const remembered = md5Of(`${keys}/old.pub`);
    const now = sshd.md5('ed25519');
    await session(t, profile, (home) => {
      const prefs = path.join(home, 'Preferences.json');
      const settings = JSON.parse(fs.readFileSync(prefs, 'utf8'));
      settings[`SSH-hostkey-127.0.0.1:${sshd.port}`] = `ssh-ed25519 256 ${remembered}`;
      fs.writeFileSync(prefs, JSON.stringify(settings));
    }, async (s) => {
      const { page, front } = s;
      await typeInto(front().getByLabel('Server', { exact: true }), `sftp://127.0.0.1:${sshd.port}/`);
      await typeInto(front().getByLabel('User Name', { exact: true }), 'nobody-in-particular');
      await clickSeen(s.button('Connect'));
      const alert = page.locator('.alert[aria-label="Host Key Changed"]');
      await alert.waitFor({ timeout: scaled(60000) });
      const message = alert.locator('.message');
      const text = await message.textContent();
      assert.ok(text.includes(`Remembered:\nssh-ed25519 256 ${remembered}\nNow:\nssh-ed25519 256 ${now}\n`), text);
      const places = [];
      for (const print of [remembered, now]) {
        const breaks = await breaksInside(message, print);
        assert.ok(breaks, `${print} is not in the message`);
        const inside = breaks.filter((b) => !b.around.startsWith(':|'));
        assert.deepEqual(inside, [], `${print} breaks inside a byte (${breaks.map((b) => b.around).join(' ')})`);
        places.push(breaks.map((b) => b.at));
      }
      // Both break after the same byte, so that they can be compared part by part.
      assert.deepEqual(places[0], places[1], 'the two fingerprints break at different places');
      // And nothing of the message is cut or runs out of the alert.
      const widths = await message.evaluate((m) => [m.scrollWidth, m.clientWidth]);
      assert.ok(widths[0] <= widths[1] + 1, `the message is ${widths[0]} wide in ${widths[1]}`);
      await s.screen('host-key-changed');
      await clickSeen(alert.locator('button', { hasText: 'Cancel' }));
      await alert.waitFor({ state: 'detached' });
    });
  });
}

test('tablet: a 1280x800 window starts with the whole device in it', async (t) => {
  const [, viewport] = tablet;
  await session(t, tablet, null, async (s) => {
    const { page } = s;
    const size = page.locator('#size');
    const whole = async () => {
      const device = await page.locator('#device').boundingBox();
      const tabs = await page.locator('.tabbar').first().boundingBox();
      const scrolls = await page.evaluate(() => document.scrollingElement.scrollHeight > innerHeight ||
        document.scrollingElement.scrollWidth > innerWidth);
      return device.x >= 0 && device.y >= 0 && device.x + device.width <= viewport.width + 0.5 &&
        device.y + device.height <= viewport.height + 0.5 && tabs.y + tabs.height <= viewport.height && !scrolls;
    };
    assert.ok(await whole(), `the device ${JSON.stringify(await page.locator('#device').boundingBox())} is not whole in the window`);
    assert.equal(await size.textContent(), 'Actual Size');
    await s.screen('tablet-start');
    // Its actual size on request (the page scrolls to the rest), and back.
    await clickSeen(size);
    await waitFor(async () => (await size.textContent()) === 'Fit Window', 'the actual size');
    assert.equal(await page.evaluate(() => Number(document.body.dataset.scale)), 1);
    assert.ok(!(await whole()), 'at its actual size the device is bigger than the window');
    await clickSeen(size);
    await waitFor(whole, 'the whole device again');
  });
});

test("phone: the image editor's save dialog keeps its title clear of its buttons", async (t) => {
  await session(t, phone, (home) => {
    fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
    writePicture(path.join(home, 'Documents', 'Files', 'picture.png'), 400, 300);
  }, async (s) => {
    const { page, front, row } = s;
    const save = await openImageSave(s, 'picture.png');
    const bar = front().locator('.navbar').filter({ has: save });
    const title = bar.locator('.title');
    assert.equal(await title.textContent(), 'Save');
    // The title's own text, measured apart from its box.
    const text = await title.evaluate((e) => {
      const range = document.createRange();
      range.selectNodeContents(e);
      const r = range.getBoundingClientRect();
      return { left: r.left, right: r.right, cut: e.scrollWidth > e.clientWidth + 1 };
    });
    const back = await bar.locator('.back').boundingBox();
    const button = await save.boundingBox();
    const k = await page.evaluate(() => Number(document.body.dataset.scale));
    assert.ok(!text.cut, 'the title is cut');
    // At least 6 points of room on either side.
    assert.ok(button.x - text.right >= 6 * k && text.left - (back.x + back.width) >= 6 * k,
      `the title ${Math.round(text.left)}..${Math.round(text.right)} lies close to ${Math.round(back.x + back.width)} or ${Math.round(button.x)}`);
    await s.screen('image-save-title');
  });
});

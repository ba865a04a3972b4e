// The web sharing server's folder page in a plain browser, with names that read alike: a file
// named in ISO Latin-1 and one named in UTF-8 (both "café.txt") and a Latin-1 named folder. A
// person clicks each link and gets that file's own content, and the folder's link lists the file
// inside it (the server reaches each by the bytes of its URL). On a computer and on a phone's
// user agent (the simple layout). Screenshots go to $RENDERER_ARTEFACTS/web_names.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { browserLaunch, artefacts, click, newPage, scaled, startProgram, waitFor } from '../support/person.mjs';
import { claimedPort } from '../support/ports.mjs';

const dir = path.join(artefacts, 'web_names');
const latin1 = Buffer.from('caf\xe9.txt', 'latin1');
const utf8 = Buffer.from('café.txt', 'utf8');
const folder = Buffer.from('dir\xe9', 'latin1');
const contents = { latin1: 'the file named in Latin-1', utf8: 'the file named in UTF-8' };

const clients = [
  ['computer', { viewport: { width: 1280, height: 800 } }],
  ['phone', {
    viewport: { width: 390, height: 844 },
    userAgent: 'Mozilla/5.0 (iPhone; CPU iPhone OS 5_1 like Mac OS X) AppleWebKit/534.46',
  }],
];

test('links to names that read alike each reach their own file on the web sharing server', async (t) => {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-web-names-'));
  // Names as bytes: the file system keeps them as they are, whatever they decode to.
  const files = Buffer.from(path.join(home, 'Documents', 'Files'));
  const at = (...parts) => Buffer.concat([files, ...parts.flatMap((p) => [Buffer.from('/'), p])]);
  fs.mkdirSync(at(folder), { recursive: true });
  fs.writeFileSync(at(latin1), contents.latin1);
  fs.writeFileSync(at(utf8), contents.utf8);
  fs.writeFileSync(at(folder, Buffer.from('inside.txt')), 'in the folder');
  fs.writeFileSync(path.join(home, 'Preferences.json'),
    JSON.stringify({ ShownWebHelp: '1', WebServer: '1', ActiveServerMinutes: '0' }));

  const port = await claimedPort();
  await startProgram(t, { FERROWEN_HOME: home, FERROWEN_PORT_OVERRIDES: `2121=0,8080=${port}` });
  // Removed once the program has ended (hooks run in the order they were added).
  t.after(() => fs.rmSync(home, { recursive: true, force: true }));
  const root = `http://127.0.0.1:${port}/`;
  await waitFor(() => fetch(root).then((r) => r.ok, () => false), 'the web sharing server', 20000);

  const browser = await chromium.launch(browserLaunch);
  t.after(() => browser.close());
  for (const [client, options] of clients) {
    const page = await newPage(browser, options);
    const problems = [];
    page.on('requestfailed', (r) => problems.push(`${r.url()}: ${r.failure()?.errorText}`));
    page.on('response', (r) => { if (r.status() >= 400) problems.push(`${r.url()}: ${r.status()}`); });
    page.on('pageerror', (e) => problems.push(String(e)));
    // The link a person reads: the one with the name, not the icon beside it.
    const link = (href) => page.locator(`a[href="${href}"]`).filter({ hasText: /\S/ }).first();
    const listing = async () => {
      await page.goto(root);
      await link('caf%E9.txt').waitFor();
    };

    // Both files show under the same name, each in a row of its own; the folder too.
    await listing();
    fs.mkdirSync(dir, { recursive: true });
    await page.screenshot({ path: path.join(dir, `${client}-listing.png`), fullPage: true });
    assert.equal(await link('caf%E9.txt').textContent(), 'café.txt');
    assert.equal(await link('caf%C3%A9.txt').textContent(), 'café.txt');
    assert.equal(await link('dir%E9/').textContent(), 'dir\u00e9');

    for (const [href, expected] of [['caf%E9.txt', contents.latin1], ['caf%C3%A9.txt', contents.utf8]]) {
      await listing();
      await click(link(href));
      await waitFor(() => page.url() === root + href, `the page of ${href}`, 10000);
      await page.getByText(expected, { exact: true }).waitFor({ timeout: scaled(10000) });
      assert.equal((await page.locator('body').innerText()).trim(), expected, `${client}: ${href}`);
    }

    // The folder's link opens its listing, and the file inside opens too.
    await listing();
    await click(link('dir%E9/'));
    await waitFor(() => page.url() === `${root}dir%E9/`, 'the folder page', 10000);
    await link('inside.txt').waitFor({ timeout: scaled(10000) });
    await page.screenshot({ path: path.join(dir, `${client}-folder.png`), fullPage: true });
    await click(link('inside.txt'));
    await page.getByText('in the folder', { exact: true }).waitFor({ timeout: scaled(10000) });

    assert.deepEqual(problems, [], `${client}: what a person meets`);
    await page.close();
  }
});

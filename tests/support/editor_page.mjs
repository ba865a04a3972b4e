// What more than one browser suite (and the browser benchmark) does with the editor's page.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { browserLaunch, clickSeen, newPage, profiles, stopOnExit, waitFor } from './person.mjs';

// The row of Saved Files scrolled into the table's view with the mouse wheel, as a person
// scrolls to it: from the top, down a little at a time.
async function scrollToRow(s, name) {
  const table = s.front().locator('.v-table').first();
  const row = s.row(name);
  const inView = async () => {
    const [t, r] = [await table.boundingBox(), (await row.count()) ? await row.first().boundingBox() : null];
    return t && r && r.y >= t.y && r.y + r.height <= t.y + t.height;
  };
  const wheel = async (dy) => {
    const b = await table.boundingBox();
    await s.page.mouse.move(b.x + b.width / 2, b.y + b.height / 2);
    await s.page.mouse.wheel(0, dy);
    await s.page.waitForTimeout(250);
  };
  if (await inView()) return;
  await wheel(-5000);
  for (let tries = 0; tries < 30 && !(await inView()); tries++) await wheel(80);
}

// The file opened in the editor from Saved Files; its text view once it shows the text.
export async function openInEditor(s, name) {
  await s.tab('Saved Files');
  await scrollToRow(s, name);
  await clickSeen(s.row(name));
  await clickSeen(s.button('Edit'));
  const text = s.page.locator('#screen textarea').filter({ visible: true }).first();
  await waitFor(async () => (await text.count()) && (await text.inputValue()).length > 0, `${name} in the editor`);
  return text;
}

// The sample window of the renderer, and a browser (`chromium`, the suite's own Playwright) on its
// page. `env`: more of its environment.
export async function samplePage(t, chromium, env = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-editor-text-'));
  t.after(() => fs.rmSync(home, { recursive: true, force: true }));
  const child = spawn(process.env.RENDERER_SAMPLE, [], { env: { ...process.env, FERROWEN_HOME: home, ...env } });
  stopOnExit(t, child);
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  const address = (await waitFor(() => /^Open (\S+)$/m.exec(out), 'the sample', 60000)).at(1);
  const browser = await chromium.launch(browserLaunch);
  t.after(() => browser.close());
  const page = await newPage(browser, { viewport: profiles[0][1] });
  await page.goto(address);
  return page;
}

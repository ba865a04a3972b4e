// A save back of an SFTP server's file that another changed while it was being edited, on the phone
// and on the tablet, with the mouse and the keyboard only (each click checked to land on what lies
// there): nothing goes over the other's text unasked. The Transfers row of the save waits, and the
// page shows the editor's "File Changed" alert, in front, readable, with both answers:
// - "Keep Typed Text": the typed text goes over the other's, and the row is done;
// - "Take the File": the server's file keeps the other's text, and the row is gone from Transfers.
// OpenSSH's sshd (stock settings, an account made for the suite) on loopback; the other person is
// the test writing the served file. Screenshots go to $RENDERER_ARTEFACTS/editor-server-changed-<profile>.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { artefacts, checkedRows, clickSeen, fileNow, profiles, scaled, session, typeInto, waitFor } from '../support/person.mjs';
import { makeAccount, removeAccount, startSshd } from '../support/sshd.mjs';

const account = makeAccount('ferrowen-x');
after(() => removeAccount(account));

const original = 'first line\n', line = 'typed line\n', typed = line + original;
const theirs = "another person's text\n";

// Each answer, on a file of its own, and what the server's file holds once it is given.
const cases = [
  { file: 'keep.txt', answer: 'Keep Typed Text', onServer: typed },
  { file: 'take.txt', answer: 'Take the File', onServer: theirs },
];

// Whether the element's centre shows the element itself (nothing drawn over it).
const uncovered = (locator) => locator.evaluate((e) => {
  const b = e.getBoundingClientRect();
  const hit = document.elementFromPoint(b.left + b.width / 2, b.top + b.height / 2);
  return b.width > 0 && b.height > 0 && Boolean(hit && (hit === e || e.contains(hit)));
});

// The row `name` checked, and no other (a tap checks a row, a second one unchecks it; the row
// saved before stays checked): rows tapped until the page draws just that one checked.
async function checkOnly(s, name) {
  const only = async () => {
    const checked = await checkedRows(s.front);
    return checked.length === 1 && checked[0] === name && (await s.button('Edit').count()) > 0;
  };
  for (let tries = 0; tries < 3 && !(await only()); tries++) {
    for (const other of await checkedRows(s.front)) if (other !== name) await clickSeen(s.row(other));
    if (!(await checkedRows(s.front)).includes(name)) await clickSeen(s.row(name));
    await waitFor(only, `only ${name} checked`, 3000).catch(() => {});
  }
  assert.ok(await only(), `only ${name} checked: ${await checkedRows(s.front)}`);
}

for (const [profile, viewport, env] of profiles) {
  const dir = path.join(artefacts, `editor-server-changed-${profile}`);

  test(`${profile}: a save back over a server file changed by another asks first`, async (t) => {
    const keys = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-server-changed-keys-'));
    // A short folder name, as a person's is: the folder screen's title shows the path.
    const served = fs.mkdtempSync('/tmp/x-');
    t.after(() => fs.rmSync(keys, { recursive: true, force: true }));
    t.after(() => fs.rmSync(served, { recursive: true, force: true }));
    fs.chmodSync(served, 0o777);
    for (const { file } of cases) {
      fs.writeFileSync(path.join(served, file), original);
      fs.chmodSync(path.join(served, file), 0o666);
    }
    const sshd = await startSshd(t, keys);
    await session(t, {
      chromium, suite: 'editor-server-changed', dir, viewport, env,
      run: async (s) => {
        const { page, front } = s;
        const text = page.locator('#screen textarea').filter({ visible: true }).first();
        const button = (name) => page.locator('#screen').getByRole('button', { name, exact: true }).filter({ visible: true });
        const alert = (title) => page.locator('.alert', { hasText: title });
        const answer = (box, name) => clickSeen(box.getByRole('button', { name, exact: true }));

        await typeInto(front().getByLabel('Server'), `sftp://127.0.0.1:${sshd.port}${served}`);
        await typeInto(front().getByLabel('User Name'), account.name);
        await typeInto(front().getByLabel('Password'), account.password);
        await clickSeen(s.button('Connect'));

        for (const c of cases) {
          const onServer = path.join(served, c.file);
          const shot = c.file.replace(/\.txt$/, '');
          // The file opened in the editor, a line typed at its start.
          await s.row(c.file).waitFor({ timeout: scaled(60000) });
          await checkOnly(s, c.file);
          await clickSeen(s.button('Edit'));
          await waitFor(async () => (await text.count()) && (await text.inputValue()) === original,
            `${c.file} in the editor`, 30000);
          await clickSeen(text);
          await page.keyboard.press('Control+Home');
          await page.keyboard.type(line);
          await waitFor(async () => (await text.inputValue()) === typed, 'the typed line');

          // Meanwhile another writes the server's file; then the person saves.
          fs.writeFileSync(onServer, theirs);
          await clickSeen(button('Save'));
          const confirm = alert('Confirm File Save');
          await confirm.waitFor();
          await answer(confirm, 'Save');

          // Asked, in front of everything, before anything goes over the other's text.
          const changed = alert('File Changed');
          await changed.waitFor({ state: 'visible', timeout: scaled(60000) });
          const title = changed.locator('.alerttitle');
          const message = changed.locator('.message');
          assert.equal(await title.textContent(), 'File Changed');
          assert.equal(await message.textContent(),
            `"${c.file}" was changed outside the editor. Keep the text typed here, or take the file as it is now?`);
          assert.deepEqual(await changed.getByRole('button').allTextContents(), ['Keep Typed Text', 'Take the File']);
          for (const part of [title, message, ...(await changed.getByRole('button').all())]) {
            assert.ok(await part.isVisible(), `${await part.textContent()} shown`);
            await waitFor(() => uncovered(part), `"${(await part.textContent()).slice(0, 30)}" uncovered`, 5000);
          }
          // The save waits in Transfers meanwhile: its tab's badge counts it.
          const badge = page.locator('.tab[aria-label="Transfers"] .badge');
          await waitFor(async () => (await badge.count()) && (await badge.textContent()) === '1', 'Transfers badged 1', 5000);
          await s.screen(`${shot}-asks`);
          assert.equal(fs.readFileSync(onServer, 'utf8'), theirs, 'written over while asked');

          await answer(changed, c.answer);
          await changed.waitFor({ state: 'detached' });
          if (c.onServer === typed)
            await waitFor(() => fileNow(onServer, 'utf8') === typed, 'the typed text on the server', 60000);
          // Transfers no longer draws the save's row.
          await s.shownTab('Transfers');
          const row = front().locator('.cell', { hasText: c.file }).filter({ visible: true });
          await waitFor(async () => !(await row.count()) && !(await badge.count()),
            `the row of ${c.file} gone from Transfers, and its badge`, 30000);
          await s.screen(`${shot}-transfers`);
          assert.equal(fs.readFileSync(onServer, 'utf8'), c.onServer);
          assert.equal(await page.locator('.alert').count(), 0, 'an alert after the answer');
          // (The connection's tab is named by its kind.)
          await s.shownTab('SFTP');
        }
      },
    });
  });
}

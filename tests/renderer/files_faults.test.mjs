// Saved Files never replaces a file the person changed without asking, on the phone (390x844) and
// on the tablet (1280x800), with the mouse only and each click checked to land on what lies
// there: a folder compressed from its row menu, a file in it changed, the archive unzipped; one
// question names the changed file, "Keep It" keeps it as the person left it, and a second unzip
// answered "Replace It" brings the archive's copy back. A long unzip shows a spinner where its
// button was until it is done. A file moved onto a name the other folder holds stays, both files
// as they were, and the person is told why. Screenshots go to
// $RENDERER_ARTEFACTS/files-faults-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { clickSeen, waitFor, session as sharedSession, artefacts, profiles, scaled } from '../support/person.mjs';

function session(t, profile, viewport, env, prepare, run) {
  return sharedSession(t, {
    chromium, suite: 'files-faults', dir: path.join(artefacts, `files-faults-${profile}`), viewport, env, prepare, run,
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: unzipping over a changed file asks first and keeps it when told to`, async (t) => {
    await session(t, profile, viewport, env, (home) => {
      const nested = path.join(home, 'Documents', 'Files', 'nested');
      fs.mkdirSync(nested, { recursive: true });
      fs.writeFileSync(path.join(nested, 'note.txt'), 'the note as zipped\n');
      fs.writeFileSync(path.join(nested, 'same.txt'), 'never changed\n');
    }, async (s) => {
      const { page, row, home } = s;
      const nested = path.join(home, 'Documents', 'Files', 'nested');
      const note = () => fs.readFileSync(path.join(nested, 'note.txt'), 'utf8');
      await s.tab('Saved Files');
      await clickSeen(row('nested').locator('.accessory'));
      await clickSeen(s.sheetButton('Compress to ZIP File'));
      await row('nested.zip').waitFor();
      // The person changes the note afterwards (in the editor, or another program).
      fs.writeFileSync(path.join(nested, 'note.txt'), 'changed by the person\n');

      const unzip = async () => {
        await clickSeen(row('nested.zip'));
        await clickSeen(s.button('Unzip'));
        const question = page.locator('.alert', { hasText: 'Replace Changed File?' });
        await question.waitFor();
        const text = await question.textContent();
        assert.match(text, /1 file in "nested" differs from its copy in "nested\.zip"\./);
        return question;
      };
      let question = await unzip();
      await s.screen('unzip-asks');
      await clickSeen(question.locator('button', { hasText: 'Keep It' }));
      await question.waitFor({ state: 'detached' });
      assert.equal(note(), 'changed by the person\n');
      assert.equal(fs.readFileSync(path.join(nested, 'same.txt'), 'utf8'), 'never changed\n');
      // The folder shows what it holds, nothing of the unpack beside it.
      await clickSeen(row('nested'));
      await row('note.txt').waitFor();
      await waitFor(async () => (await s.front().locator('.cell').count()) === 2, 'the two files of the folder');
      await s.screen('unzip-kept');
      assert.deepEqual(fs.readdirSync(nested).sort(), ['note.txt', 'same.txt']);

      // Asked again, and answered "Replace It": the archive's copy comes back.
      await clickSeen(s.button('Saved Files'));
      await row('nested.zip').waitFor();
      question = await unzip();
      await clickSeen(question.locator('button', { hasText: 'Replace It' }));
      await question.waitFor({ state: 'detached' });
      await waitFor(() => note() === 'the note as zipped\n', 'the archive\'s copy of the note');
      await s.screen('unzip-replaced');
    });
  });

  test(`${profile}: a file moved onto a name the other folder holds stays, and says why`, async (t) => {
    let files;
    await session(t, profile, viewport, env, (home) => {
      files = path.join(home, 'Documents', 'Files');
      fs.mkdirSync(path.join(files, 'sub'), { recursive: true });
      fs.writeFileSync(path.join(files, 'a.txt'), 'mine\n');
      fs.writeFileSync(path.join(files, 'sub', 'a.txt'), 'theirs\n');
    }, async (s) => {
      const { page, row } = s;
      await s.tab('Saved Files');
      await clickSeen(row('a.txt').locator('.accessory'));
      await clickSeen(s.sheetButton('Move File'));
      await clickSeen(row('sub'));
      await clickSeen(s.button('Done'));
      const alert = page.locator('.alert[aria-label="File Name Error"]');
      await alert.waitFor({ timeout: scaled(20000) });
      assert.match(await alert.textContent(), /A file with that name already exists in the folder\./);
      await s.screen('move-onto-taken-name');
      await clickSeen(alert.locator('button', { hasText: 'OK' }));
      await alert.waitFor({ state: 'detached' });
      await row('a.txt').waitFor();
      assert.equal(fs.readFileSync(path.join(files, 'a.txt'), 'utf8'), 'mine\n');
      assert.equal(fs.readFileSync(path.join(files, 'sub', 'a.txt'), 'utf8'), 'theirs\n');
    });
  });

  test(`${profile}: a long unzip shows a spinner where its button was`, async (t) => {
    let files;
    await session(t, profile, viewport, env, (home) => {
      files = path.join(home, 'Documents', 'Files');
      fs.mkdirSync(files, { recursive: true });
      // 4000 small files: a small archive that takes a while to unpack.
      execFileSync('sh', ['-c', 'mkdir big && for i in $(seq 4000); do echo $i > big/f$i.txt; done && zip -qr big.zip big && rm -r big'], { cwd: files });
    }, async (s) => {
      const { page, row } = s;
      await s.tab('Saved Files');
      await clickSeen(row('big.zip'));
      await s.button('Unzip').waitFor();
      // Every spinner drawn in the navigation bar's right-hand place is noted, however briefly.
      await page.evaluate(() => {
        window.spinnerSeen = false;
        const seen = () => {
          if (document.querySelector('#screen .layers > :last-child .navbar .side.right .spinning')) window.spinnerSeen = true;
        };
        new MutationObserver(seen).observe(document.body, { childList: true, subtree: true, attributes: true });
      });
      await clickSeen(s.button('Unzip'));
      const spinner = s.front().locator('.navbar .side.right .spinning');
      if (await spinner.waitFor({ timeout: scaled(3000) }).then(() => true, () => false)) await s.screen('unzip-spinner');
      const unpacked = path.join(files, 'big', 'big', 'f4000.txt');
      await waitFor(() => fs.existsSync(unpacked), 'the archive unpacked', 120000);
      await waitFor(async () => (await spinner.count()) === 0, 'the spinner gone once done', 20000);
      assert.ok(await page.evaluate(() => window.spinnerSeen), 'no spinner stood in the button\'s place while unzipping');
      assert.equal(await s.button('Unzip').count(), 0, 'the Unzip button is back after the unpack');
      await row('big').waitFor();
      await s.screen('unzip-done');
    });
  });
}

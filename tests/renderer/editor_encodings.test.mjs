// The encoding chooser never takes typed text away, on the phone and on the tablet, with the mouse
// and the keyboard only, on files of Saved Files:
// - a UTF-8 file with text typed, ASCII chosen: one question ("Change Encoding?"), the text stays
//   on screen and in the kept working copy; UTF-8 chosen again shows it, not the file on disk, and
//   Save writes it;
// - a Latin 1 file with "€" typed, WinLatin 1 chosen: one question per pick (the tablet's popover
//   closing asks no second one), and the answer given counts: Cancel leaves Latin 1 (Save asks
//   about the encoding), Keep Text takes Win-1252 (Save writes it so);
// - a UTF-8 file shown blank in ASCII (no question: nothing typed yet), text typed into the blank
//   editor: kept on disk, and UTF-8 chosen asks before the file's text takes its place (Cancel
//   keeps the typed text; Keep Text keeps it, and Save writes it).
// Screenshots go to $RENDERER_ARTEFACTS/editor-encodings-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, clickSeen, keptTextNow, profiles, revealRow, session, timeScale, waitFor,
} from '../support/person.mjs';

function handles(page, front) {
  const shown = (locator) => locator.filter({ visible: true });
  return {
    text: shown(page.locator('#screen textarea')).first(),
    alerts: page.locator('.alert'),
    alert: (title) => page.locator('.alert', { hasText: title }),
    answer: (box, name) => clickSeen(box.getByRole('button', { name, exact: true })),
    button: (name) => shown(page.locator('#screen').getByRole('button', { name, exact: true })),
    // The chooser's row: in the tablet's popover, or on the phone's pushed screen.
    encodingRow: (title) => shown(page.locator(`#screen .cell[aria-label="${title}"]`)).first(),
    back: () => clickSeen(front().locator('.navbar .back')),
  };
}

// The record's working copy, once it holds `bytes`.
function keptCopy(home, bytes) {
  const settings = JSON.parse(fs.readFileSync(path.join(home, 'Preferences.json'), 'utf8'));
  const working = Object.entries(settings).find(([key, value]) => /EditingFTPFile$/.test(key) && value);
  return working && fs.existsSync(working[1]) && fs.readFileSync(working[1]).equals(bytes) && working[1];
}

// No more than the one question, a while after it came (the tablet's popover has closed by then).
async function onlyQuestion(page, alerts) {
  await page.waitForTimeout(1500 * timeScale);
  assert.equal(await alerts.count(), 1, 'asked more than once');
}

for (const [profile, viewport, env] of profiles) {
  const dir = path.join(artefacts, `editor-encodings-${profile}`);

  async function openAndType(s, name, before, typing, typed) {
    const { page } = s;
    const { text } = handles(page, s.front);
    await s.tab('Saved Files');
    await clickSeen(s.row(name));
    await clickSeen(s.button('Edit'));
    await waitFor(async () => (await text.count()) && (await text.inputValue()) === before, 'the file in the editor', 30000);
    await clickSeen(text);
    await page.keyboard.press('Control+Home');
    await page.keyboard.type(typing);
    await waitFor(async () => (await text.inputValue()) === typed, 'the typed text');
  }

  async function choose(s, title) {
    const h = handles(s.page, s.front);
    await clickSeen(h.button('Char'));
    // The phone's list is longer than its screen: scrolled to the row as a person scrolls. On a
    // busy machine the list may be drawn again at an offset the program held a moment before, so
    // that the row is out of sight when it is tapped: the person then scrolls to it again.
    for (let tries = 1; ; tries++) {
      if (profile === 'phone') await revealRow(s.front, h.encodingRow(title), title);
      try {
        await clickSeen(h.encodingRow(title));
        break;
      } catch (e) {
        if (profile !== 'phone' || tries === 3) throw e;
      }
    }
    if (profile === 'phone') await h.back();
  }

  test(`${profile}: an encoding that cannot show the typed text asks, and the text stays`, async (t) => {
    const original = 'caf\u00e9\n';
    const typed = `\u00fc ${original}`;
    let file = '';
    await session(t, {
      chromium, suite: 'editor-encodings', dir, viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        file = path.join(home, 'Documents', 'Files', 'menu.txt');
        fs.writeFileSync(file, original);
      },
      run: async (s) => {
        const { page } = s;
        const { text, alerts, alert, answer } = handles(page, s.front);
        await openAndType(s, 'menu.txt', original, '\u00fc ', typed);
        await choose(s, 'ASCII');
        const ask = alert('Change Encoding?');
        await ask.waitFor();
        assert.match(await ask.textContent(), /The text cannot be read in "ASCII": the editor would show nothing\./);
        await onlyQuestion(page, alerts);
        await s.screen('ascii-asked');
        await answer(ask, 'Keep Text');
        await waitFor(async () => !(await alerts.count()), 'the question answered', 10000);
        assert.equal(await text.inputValue(), typed, 'the editor lost the typed text');

        // The chooser opened again (the encoding in force picked) writes the edit state: the typed
        // text stays kept.
        await choose(s, 'ASCII');
        await page.waitForTimeout(500 * timeScale);
        assert.equal(await alerts.count(), 0, 'asked again for the encoding in force');
        await waitFor(() => keptCopy(s.home, Buffer.from(typed)), 'the typed text kept', 10000);
        assert.equal(fs.readFileSync(file, 'utf8'), original);

        await choose(s, 'Unicode (UTF-8)');
        await page.waitForTimeout(500 * timeScale);
        if (await alerts.count()) await answer(alert('Change Encoding?'), 'Keep Text');
        await waitFor(async () => !(await alerts.count()) && (await text.inputValue()) === typed,
          'the typed text in UTF-8', 10000);
        await s.screen('utf8-again');
        await clickSeen(handles(page, s.front).button('Save'));
        await waitFor(() => fs.readFileSync(file, 'utf8') === typed, 'the saved file', 10000);
      },
    });
  });

  test(`${profile}: one pick of WinLatin 1 asks once, and the answer given counts`, async (t) => {
    const original = Buffer.from('caf\xe9\n', 'latin1');
    const shownText = 'caf\u00e9\n';
    const typed = `\u20ac ${shownText}`;
    let file = '';
    await session(t, {
      chromium, suite: 'editor-encodings', dir, viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        file = path.join(home, 'Documents', 'Files', 'latin.txt');
        fs.writeFileSync(file, original);
      },
      run: async (s) => {
        const { page } = s;
        const { text, alerts, alert, answer, button } = handles(page, s.front);
        await openAndType(s, 'latin.txt', shownText, '\u20ac ', typed);

        // Cancel: Latin 1 stays in force, so Save asks what to do about the encoding.
        await choose(s, 'WinLatin 1 (Win-1252)');
        let ask = alert('Change Encoding?');
        await ask.waitFor();
        await onlyQuestion(page, alerts);
        await s.screen('win1252-asked');
        await answer(ask, 'Cancel');
        await page.waitForTimeout(1000 * timeScale);
        assert.equal(await alerts.count(), 0, 'a second question after Cancel');
        assert.equal(await text.inputValue(), typed);
        await clickSeen(button('Save'));
        const problem = alert('Encoding Problem');
        await problem.waitFor();
        assert.match(await problem.textContent(), /"Latin 1 \(ISO-8859-1\)" cannot hold/);
        await answer(problem, 'Cancel');
        await waitFor(async () => !(await alerts.count()), 'the encoding question answered', 10000);

        // Keep Text: Win-1252 is in force, and Save writes the text in it.
        await choose(s, 'WinLatin 1 (Win-1252)');
        ask = alert('Change Encoding?');
        await ask.waitFor();
        await onlyQuestion(page, alerts);
        await answer(ask, 'Keep Text');
        await page.waitForTimeout(1000 * timeScale);
        assert.equal(await alerts.count(), 0, 'a second question after Keep Text');
        await s.screen('win1252-kept');
        await clickSeen(button('Save'));
        await waitFor(() => fs.readFileSync(file).equals(Buffer.from('\x80 caf\xe9\n', 'latin1')),
          'the file saved in Win-1252', 10000);
      },
    });
  });

  test(`${profile}: text typed into an editor its encoding left blank is asked about, never replaced`, async (t) => {
    const original = 'caf\u00e9\n';
    let file = '';
    await session(t, {
      chromium, suite: 'editor-encodings', dir, viewport, env,
      prepare: async (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        file = path.join(home, 'Documents', 'Files', 'blank.txt');
        fs.writeFileSync(file, original);
      },
      run: async (s) => {
        const { page } = s;
        const { text, alerts, alert, answer, button } = handles(page, s.front);
        await openAndType(s, 'blank.txt', original, '', original);
        await choose(s, 'ASCII');
        await waitFor(async () => (await text.inputValue()) === '', 'the editor blank', 10000);
        await page.waitForTimeout(500 * timeScale);
        assert.equal(await alerts.count(), 0, 'asked with nothing typed');
        await clickSeen(text);
        await page.keyboard.type('TYPED IN BLANK');
        await waitFor(async () => (await text.inputValue()) === 'TYPED IN BLANK', 'the typed text');
        await waitFor(() => keptTextNow(s.home) === 'TYPED IN BLANK', 'the typed text kept', 10000);

        await choose(s, 'Unicode (UTF-8)');
        const ask = alert('Change Encoding?');
        await ask.waitFor();
        assert.match(await ask.textContent(),
          /The text typed here is not the file's text, which read in "Unicode \(UTF-8\)" would take its place\./);
        await onlyQuestion(page, alerts);
        await s.screen('blank-asked');
        await answer(ask, 'Cancel');
        await waitFor(async () => !(await alerts.count()), 'the question answered', 10000);
        assert.equal(await text.inputValue(), 'TYPED IN BLANK', 'the file took the typed text\'s place');
        assert.equal(keptTextNow(s.home), 'TYPED IN BLANK');

        await choose(s, 'Unicode (UTF-8)');
        const again = alert('Change Encoding?');
        await again.waitFor();
        await answer(again, 'Keep Text');
        await waitFor(async () => !(await alerts.count()), 'the question answered', 10000);
        assert.equal(await text.inputValue(), 'TYPED IN BLANK');
        await s.screen('blank-kept');
        await clickSeen(button('Save'));
        await waitFor(() => fs.readFileSync(file, 'utf8') === 'TYPED IN BLANK', 'the typed text saved', 10000);
      },
    });
  });
}

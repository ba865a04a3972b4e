// The text editor writes what was typed where it was typed, as a person meets it in the page with
// the mouse and the keyboard only (each click checked to land on what lies there), phone and
// tablet, on files of Saved Files:
// - files whose line ends the page shows otherwise than the file holds them (CR LF in UTF-16LE
//   with its mark, mixed line ends, characters beyond the first plane before the caret, lone CRs):
//   the first click into the freshly opened editor leaves the caret where it clicked, Ctrl+End
//   goes to the end, and Save writes the typed bytes there and changes no other byte than the
//   line ends of a file that had CR LF, which is saved with CR LF throughout;
// - a plain ASCII file of mixed line ends that gains one accented letter is saved so too;
// - a file that grew past what the editor takes after it was listed is refused when Edit is
//   pressed (the person is told) and is never read.
// Screenshots go to $RENDERER_ARTEFACTS/editor-text-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { openInEditor, samplePage } from '../support/editor_page.mjs';
import {
  artefacts, clickSeen, profiles, session, waitFor, whatLiesAt, fileNow, scaled,
} from '../support/person.mjs';

// Where line `k` (from 0) of the raw text ends, before its line end (CR LF, CR or LF).
function endOfLine(raw, k) {
  const ends = /\r\n|\r|\n/g;
  for (let line = 0; line < k; line++) ends.exec(raw);
  const m = ends.exec(raw);
  return m ? m.index : raw.length;
}

const encode = (raw, encoding) => (encoding === 'utf16le'
  ? Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from(raw, 'utf16le')])
  : Buffer.from(raw, 'utf8'));

// Each file is clicked at the end of its fourth line (below the editor's first tip) and gets the
// key "#" of the editor's row of keys there (the program puts it where the page said the caret
// is; the page shows it where the program put it), "Y" typed after it, then Ctrl+End and `typed`.
const files = [
  { name: 'utf16-crlf.txt', raw: 'BEGIN\r\nmiddle one\r\nmiddle two\r\nmiddle three\r\nEND', encoding: 'utf16le', typed: ' X' },
  { name: 'mixed.txt', raw: 'one\r\ntwo\nthree\r\nfour\nfive\r\nEND', encoding: 'utf8', typed: ' X' },
  { name: 'faces.txt', raw: '\u{1F600} one\r\n\u{1F600} two\r\n\u{1F600} three\r\n\u{1F600} four\r\nEND', encoding: 'utf8', typed: ' X \u{1F642}' },
  { name: 'old-mac.txt', raw: 'one\rtwo\rthree\r\nfour\r\nEND', encoding: 'utf8', typed: ' X' },
  { name: 'gains-accent.txt', raw: 'one\r\ntwo\nthree\r\nfour\nEND', encoding: 'utf8', typed: '\u00e9' },
];
const clickedLine = 3;

function expectedBytes(f) {
  const at = endOfLine(f.raw, clickedLine);
  const text = `${f.raw.slice(0, at)}#Y${f.raw.slice(at)}${f.typed}`;
  // "Keep" line ends ("CarriageControl" 0): a file that had CR LF gets it at every line feed.
  return encode(f.raw.includes('\r\n') ? text.replace(/(?<!\r)\n/g, '\r\n') : text, f.encoding);
}

// A click beside the end of line `k` of the text view (its lines short enough not to wrap),
// checked to land on the text view itself.
async function clickLineEnd(page, text, k) {
  const { x, y } = await text.evaluate((el, line) => {
    const box = el.getBoundingClientRect();
    const scale = box.width / el.offsetWidth;
    const style = getComputedStyle(el);
    const measure = Object.assign(document.createElement('div'), { textContent: 'X' });
    Object.assign(measure.style, { position: 'absolute', visibility: 'hidden', font: style.font, lineHeight: style.lineHeight });
    document.body.append(measure);
    const lineHeight = measure.getBoundingClientRect().height;
    measure.remove();
    const top = parseFloat(style.paddingTop) + parseFloat(style.borderTopWidth);
    return { x: box.right - 24 * scale, y: box.top + (top + (line + 0.5) * lineHeight) * scale };
  }, k);
  const hit = await text.evaluate((el, [px, py]) => document.elementFromPoint(px, py) === el, [x, y]);
  assert.ok(hit, `the end of line ${k + 1} is not the text: ${await whatLiesAt(page, x, y)}`);
  await page.mouse.click(x, y);
}


for (const [profile, viewport, env] of profiles) {
  test(`${profile}: typed text lands where the caret stands, and nothing else of the file changes but line ends`, async (t) => {
    await session(t, {
      chromium, suite: 'editor-text', dir: path.join(artefacts, `editor-text-${profile}`), viewport, env,
      prepare: async (home) => {
        const folder = path.join(home, 'Documents', 'Files');
        fs.mkdirSync(folder, { recursive: true });
        for (const f of files) fs.writeFileSync(path.join(folder, f.name), encode(f.raw, f.encoding));
      },
      run: async (s) => {
        const { page } = s;
        const save = page.getByRole('button', { name: 'Save', exact: true }).filter({ visible: true });
        for (const f of files) {
          const file = path.join(s.home, 'Documents', 'Files', f.name);
          const text = await openInEditor(s, f.name);
          // The page shows each line end as one line feed.
          assert.equal(await text.inputValue(), f.raw.replace(/\r\n?/g, '\n'), f.name);
          await clickLineEnd(page, text, clickedLine);
          await clickSeen(page.getByRole('button', { name: 'Key #', exact: true }));
          await waitFor(async () => (await text.inputValue()).includes('#\n'), `# at the caret of ${f.name}`);
          await page.keyboard.type('Y');
          await page.keyboard.press('Control+End');
          await page.keyboard.type(f.typed);
          await waitFor(async () => (await text.inputValue()).endsWith(`END${f.typed}`), `${f.typed} at the end of ${f.name}`);
          await s.screen(f.name.replace(/\.txt$/, ''));
          await clickSeen(save);
          const expected = expectedBytes(f);
          await waitFor(() => fileNow(file)?.equals(expected), `${f.name} saved`, 10000).catch(() => {});
          assert.equal(fs.readFileSync(file).toString('hex'), expected.toString('hex'), f.name);
        }
      },
    });
  });
}

test('phone: a file grown past what the editor takes since it was listed is refused, never read', async (t) => {
  const [, viewport, env] = profiles[0];
  let file = '';
  // As big as the file a person met: 2.5 GiB (a sparse file, so it takes no room on the disk).
  const grown = 2.5 * 1024 ** 3;
  await session(t, {
    chromium, suite: 'editor-text', dir: path.join(artefacts, 'editor-text-phone'), viewport, env,
    prepare: async (home) => {
      fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
      file = path.join(home, 'Documents', 'Files', 'server.log');
      fs.writeFileSync(file, 'small at first\n');
    },
    run: async (s) => {
      const { page } = s;
      await s.tab('Saved Files');
      await clickSeen(s.row('server.log'));
      await s.button('Edit').waitFor();
      fs.truncateSync(file, grown);
      await clickSeen(s.button('Edit'));
      const alert = page.locator('.alert', { hasText: 'The Full File is Too Big to Edit' });
      await alert.waitFor({ timeout: scaled(10000) });
      assert.match(await alert.textContent(), /"server\.log"/);
      await s.screen('too-big');
      await clickSeen(alert.getByRole('button', { name: 'OK', exact: true }));
      await alert.waitFor({ state: 'detached' });
      assert.equal(await page.locator('#screen textarea').filter({ visible: true }).count(), 0, 'no editor opened');
      assert.equal(fs.statSync(file).size, grown, 'the file is as it was');
      assert.equal(s.app.child.exitCode, null, 'the program runs on');
    },
  });
});


// The page's inputs show some line ends otherwise than the model holds them; each position of the
// page is the model's position of the same place, and back (the page's own counting, as it runs).
test('the page counts positions as the program does, whatever the input shows of line ends', async (t) => {
  const page = await samplePage(t, chromium);
  const cases = [
    { input: 'TEXTAREA', model: 'E\r\nND', shown: 'E\nND', toModel: [0, 1, 3, 4, 5] },
    { input: 'TEXTAREA', model: 'a\rb\r\n\r\nc', shown: 'a\nb\n\nc', toModel: [0, 1, 2, 3, 5, 7, 8] },
    { input: 'TEXTAREA', model: '\u{1F600}\r\nx', shown: '\u{1F600}\nx', toModel: [0, 1, 2, 4, 5] },
    { input: 'TEXTAREA', model: 'no line ends \u00e9', shown: 'no line ends \u00e9', toModel: [...Array(15).keys()] },
    { input: 'INPUT', model: 'a\nb\r\nc', shown: 'abc', toModel: [0, 1, 3, 6] },
    { input: 'INPUT', model: 'p\nw', shown: '\u2022\u2022\u2022', secure: true, toModel: [0, 1, 2, 3] },
  ];
  for (const c of cases) {
    const got = await page.evaluate((k) => {
      const el = { tagName: k.input, dataset: k.secure ? { secure: '1' } : {} };
      const pagePositions = [...Array(shownForm(el, k.model).length + 1).keys()];
      return {
        shown: shownForm(el, k.model),
        toModel: pagePositions.map((p) => toModel(el, k.model, p)),
        back: pagePositions.map((p) => toPage(el, k.model, toModel(el, k.model, p))),
      };
    }, c);
    const what = JSON.stringify(c.model);
    assert.equal(got.shown, c.shown, what);
    assert.deepEqual(got.toModel, c.toModel, what);
    assert.deepEqual(got.back, got.toModel.map((_, p) => p), `${what}: back to the page`);
  }
});

// After an edit the page counts positions in the edited text as it would in that text afresh,
// whether it carried its counting over the edit or counted again (an edit by the model's
// positions: at, length removed, text put in).
test('the page counts positions in an edited text as in the same text afresh', async (t) => {
  const page = await samplePage(t, chromium);
  const cases = [
    { model: 'one\r\ntwo\r\nthree', edits: [[5, 0, 'k'], [6, 0, 'k'], [16, 0, 'end']] },
    { model: 'one\r\ntwo\r\nthree', edits: [[1, 1, ''], [0, 2, 'xyz'], [4, 0, '\n']] },
    { model: 'a\r\r\nb\r\n', edits: [[1, 0, 'q'], [7, 0, 'z']] },
    { model: 'a\rX\nb\r\nc', edits: [[2, 1, '']] }, // a lone CR and an LF joined
    { model: 'a\r\nb', edits: [[1, 0, 'q'], [2, 0, 'r'], [5, 1, '']] },
  ];
  for (const c of cases) {
    const got = await page.evaluate(({ model, edits }) => {
      const el = { tagName: 'TEXTAREA', dataset: {} };
      const fresh = { tagName: 'TEXTAREA', dataset: {} };
      let text = model;
      drops(el, text);
      for (const [at, length, put] of edits) {
        const next = text.slice(0, at) + put + text.slice(at + length);
        el.shown = next;
        keepDrops(el, text, at, at + length, put);
        text = next;
      }
      const positions = [...Array(shownForm(el, text).length + 1).keys()];
      return { kept: positions.map((p) => toModel(el, text, p)), afresh: positions.map((p) => toModel(fresh, text, p)) };
    }, c);
    assert.deepEqual(got.kept, got.afresh, JSON.stringify(c));
  }
});

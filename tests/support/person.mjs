// A person at the browser front end, for the browser suites: the real program on loopback, a
// local FTP server, clicks at an element's centre and typing only, and the checks every screen
// passes (every control is what a click at its centre reaches, every row's own text shows inside
// its row, no request fails, no console error). Playwright objects come from the suite.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { onClaimedPort, serves } from './ports.mjs';

// Where the suites keep their screenshots, and the two devices each suite runs on: the phone in a
// phone-sized window and the tablet in a laptop's.
export const artefacts = process.env.RENDERER_ARTEFACTS || path.join(os.tmpdir(), 'ferrowen-renderer');
export const profiles = [
  ['phone', { width: 390, height: 844 }, {}],
  ['tablet', { width: 1280, height: 800 }, { FERROWEN_DEVICE: 'ipad' }],
];

// A build that runs everything slower (ThreadSanitizer) makes every wait of the suites longer.
export const timeScale = Math.max(1, Number(process.env.FERROWEN_TEST_TIME_SCALE) || 1);
// A wait's limit in ms, scaled: every fixed limit a suite waits to goes through it.
export const scaled = (ms) => ms * timeScale;

// How every suite launches Debian's Chromium, as a person's browser runs: a sandboxed frame (every
// web view's page is one) in a process of its own, so a big page loading in it never stalls the
// program's page.
export const browserLaunch = { executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] };
// The same with sandboxed frames kept in their page's process, for a suite whose browser tab loads
// its address twice in quick succession (a phone tab opens it again just after it opened): a frame
// changing process while the driver attaches to it may be lost to the driver while it is drawn, and
// a wait for what it shows would never end.
export const sameProcessFrames = {
  ...browserLaunch,
  args: [...browserLaunch.args, '--disable-features=IsolateSandboxedIframes'],
};

// A new page of `browser` whose own waits (Playwright's, 30 s at most) follow `timeScale`.
export async function newPage(browser, options) {
  const page = await browser.newPage(options);
  page.setDefaultTimeout(30000 * timeScale);
  return page;
}

// Makes the waits of `page` end on what they wait for, however long a loaded machine takes: a
// wait that never ends is ended by the test's own time limit (CTest's, which follows the suite's
// time scale). For tasks whose every step waits on a program and a page under heavy work.
export function waitsWithoutLimit(page) {
  page.setDefaultTimeout(0);
  page.setDefaultNavigationTimeout(0);
  return page;
}

// Polls `check` until it gives a true value, for at most `limit` ms (scaled; Infinity: until it
// does).
export async function waitFor(check, what, limit = 20000) {
  for (const end = Date.now() + limit * timeScale; Date.now() < end; await new Promise((r) => setTimeout(r, 50))) {
    const value = await check();
    if (value) return value;
  }
  throw new Error(`timed out waiting for ${what}`);
}

// Whether the web view's page shown (the first visible frame) is done: its document is that of
// the view's latest load, at least its `loads`-th (the load the program last sent for it; the
// frame's document says which load it was served for in its address), `selector` is in it, and
// the status bar's network activity indicator is off. The page may draw a view that loads twice
// in a row (a new browser tab does) at either load first.
export async function webPageDone(page, selector, loads = 1) {
  if (await page.locator('.statusbar .netact').count()) return false;
  const frame = page.locator('iframe[data-web]:visible').first();
  const drawn = await frame.evaluate((f) => ({ id: f.dataset.web, revision: f.dataset.revision })).catch(() => null);
  if (!drawn || Number(drawn.revision) < loads) return false;
  const latest = await page.evaluate((id) => (state && state.web[id] ? String(state.web[id].revision) : ''), drawn.id);
  const shown = await page.frameLocator('iframe[data-web]:visible').first().locator(selector)
    .evaluate(() => location.pathname.split('/')[3]).catch(() => null);
  return latest === drawn.revision && shown === drawn.revision;
}

// What a file holds now, or null while it is not there: a save may move the file in place aside
// for a moment before the new one stands, and a wait that reads it must not end on that.
export function fileNow(file, encoding) {
  try {
    return fs.readFileSync(file, encoding);
  } catch (e) {
    if (e.code === 'ENOENT') return null;
    throw e;
  }
}

// Ends a child and waits for it: a program still writing into its home while that home is
// removed makes the removal fail. A child that does not end in 10 s is killed.
export async function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const ended = new Promise((resolve) => child.once('exit', resolve));
  child.kill('SIGTERM');
  const timer = setTimeout(() => child.kill('SIGKILL'), scaled(10000));
  await ended;
  clearTimeout(timer);
}

export function stopOnExit(t, child) {
  t.after(() => stopChild(child));
}

// A small file system mounted over `folder` (made if missing) for the rest of the test: a disk of
// `bytes` that a test fills (`fill`: a file takes every byte left) and empties again (`unfill`).
// Mounting needs root: without it the test fails where peers are required (CI), and is skipped
// elsewhere, with the reason. Null when skipped.
export function smallDisk(t, folder, bytes) {
  fs.mkdirSync(folder, { recursive: true });
  let why = process.getuid() === 0 ? '' : 'mounting a small disk needs root';
  if (!why) {
    try {
      execFileSync('mount', ['-t', 'tmpfs', '-o', `size=${bytes},mode=0700`, 'tmpfs', folder], { stdio: 'pipe' });
    } catch (e) {
      why = `no small disk: ${String(e.stderr || e.message).trim()}`;
    }
  }
  if (why) {
    if (process.env.FERROWEN_REQUIRE_PEERS && process.env.FERROWEN_REQUIRE_PEERS !== '0') throw new Error(why);
    t.skip(why);
    return null;
  }
  // Detached, not just unmounted: the program may still hold a file of it open.
  t.after(() => execFileSync('umount', ['-l', folder]));
  const filler = path.join(folder, 'filler');
  return {
    fill() {
      const fd = fs.openSync(filler, 'w');
      try {
        for (const block = Buffer.alloc(1 << 16); ;) fs.writeSync(fd, block);
      } catch (e) {
        if (e.code !== 'ENOSPC') throw e;
      } finally {
        fs.closeSync(fd);
      }
    },
    unfill() { fs.rmSync(filler, { force: true }); },
  };
}

// The ferrowen program with a fresh FERROWEN_HOME; resolves once it printed the address to open.
// The programs started on a data folder, so that the folder goes only once each has ended (one
// started again on it registers its stop after the folder's removal was registered).
const programs = new Map();
function programsOn(home) {
  if (!programs.has(home)) programs.set(home, []);
  return programs.get(home);
}

export async function startProgram(t, env = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-person-'));
  const child = spawn(process.env.FERROWEN_PROGRAM, [], {
    // The photo library is a pictures folder inside the program's home, never the user's own.
    env: {
      ...process.env, FERROWEN_HOME: home, FERROWEN_PORT_OVERRIDES: '2121=0,8080=0',
      XDG_PICTURES_DIR: path.join(env.FERROWEN_HOME || home, 'Pictures'), ...env,
    },
  });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { out += d; });
  stopOnExit(t, child);
  if (env.FERROWEN_HOME) programsOn(env.FERROWEN_HOME).push(child);
  t.after(() => fs.rmSync(home, { recursive: true, force: true }));
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const address = (await waitFor(() => /^Open (\S+)$/m.exec(out), 'the address to open')).at(1);
  return { child, home, address, exited, output: () => out };
}

// pyftpdlib serving `root` anonymously on 127.0.0.1 (or, given `login` { user, password }, to that
// one user), sending at most `bytesPerSecond` per transfer so a download lasts long enough to be
// watched, and taking at most `uploadBytesPerSecond` (0: as fast as it comes) of an upload.
export async function startFtpServer(t, root, bytesPerSecond, login, uploadBytesPerSecond = 0) {
  return (await startFtpServerAt(t, root, bytesPerSecond, login, 0, uploadBytesPerSecond)).port;
}

// The same on `port` (0: a claimed one, `options` as onClaimedPort's); `stop` ends it before the
// test does (a server that went down), and it may be started again on its port.
export async function startFtpServerAt(t, root, bytesPerSecond, login, port = 0, uploadBytesPerSecond = 0, options = {}) {
  const script = [
    'import sys',
    'from pyftpdlib.authorizers import DummyAuthorizer',
    'from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler',
    'from pyftpdlib.servers import FTPServer',
    'auth = DummyAuthorizer()',
    'if len(sys.argv) > 6:',
    "    auth.add_user(sys.argv[5], sys.argv[6], sys.argv[1], perm='elradfmwMT')",
    'else:',
    "    auth.add_anonymous(sys.argv[1], perm='elradfmwMT')",
    'class Data(ThrottledDTPHandler):',
    '    write_limit = int(sys.argv[2])',
    '    read_limit = int(sys.argv[3])',
    'class Control(FTPHandler):',
    '    authorizer = auth',
    '    dtp_handler = Data',
    "server = FTPServer(('127.0.0.1', int(sys.argv[4])), Control)",
    'print(server.socket.getsockname()[1], flush=True)',
    'server.serve_forever()',
  ].join('\n');
  const launch = async (at) => {
    const child = spawn('/usr/bin/python3', ['-c', script, root, String(bytesPerSecond),
      String(uploadBytesPerSecond), String(at), ...(login ? [login.user, login.password] : [])]);
    let out = '';
    let errors = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', (d) => { errors += d; });
    stopOnExit(t, child);
    await serves(child, () => /^(\d+)$/m.test(out), () => errors, 'the FTP server');
    return { port: at, stop: () => stopChild(child) };
  };
  // A port of its own below the ephemeral range: one the system picks may be taken by another
  // program's connection while the server is down, and it could not start again there.
  return port ? launch(port) : onClaimedPort(launch, options);
}

// The small web site of tests/support/web_peer.py on 127.0.0.1 (a port of its own): `url(path)`
// gives its addresses and `requests()` the paths it was asked for, in order.
export async function startWebPeer(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-web-peer-'));
  const log = path.join(dir, 'requests.log');
  fs.writeFileSync(log, '');
  const child = spawn('/usr/bin/python3', [path.join(import.meta.dirname, 'web_peer.py'), '0', log]);
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', () => {});
  stopOnExit(t, child);
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const port = Number((await waitFor(() => /^(\d+)$/m.exec(out), 'the web site')).at(1));
  return {
    url: (p) => `http://127.0.0.1:${port}${p}`,
    requests: () => fs.readFileSync(log, 'utf8').split('\n').filter(Boolean),
  };
}

// The web view a frame's address names (/web/ID/REVISION), or null for any other address.
function webViewOf(url) {
  try {
    const m = /^\/web\/(\d+)\/\d+(?:\/raw)?$/.exec(new URL(url).pathname);
    return m ? m[1] : null;
  } catch {
    return null;
  }
}

// Console errors and failed requests of the page, kept for the end of the test.
export function watch(page, problems) {
  // A web view's frame the page asked for just as the program dropped the view (its screen left
  // while a new load of it was being drawn) is answered "No such page"; the page's next drawing
  // takes the frame away, so no person sees it. Such an answer counts only while the page still
  // shows a frame of that view a while after (a view the program still shows is never excused).
  const unlessDropped = (url, problem) => {
    problems.push(problem);
    const id = webViewOf(url);
    if (!id) return;
    (async () => {
      for (const end = Date.now() + scaled(5000); Date.now() < end; await new Promise((r) => setTimeout(r, 50))) {
        const shown = await page.locator(`iframe[data-web="${id}"]`).count().catch(() => null);
        if (shown === null) return;
        if (shown === 0) {
          const at = problems.indexOf(problem);
          if (at >= 0) problems.splice(at, 1);
          return;
        }
      }
    })();
  };
  page.on('console', (m) => {
    if (m.type() === 'error') unlessDropped(m.location().url || '', `console: ${m.text()}`);
  });
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('requestfailed', (r) => {
    // A drawing or picture replaced by a newer one before it arrived is no failure.
    if (r.failure() && r.failure().errorText === 'net::ERR_ABORTED') return;
    problems.push(`request failed: ${r.url()} ${r.failure() && r.failure().errorText}`);
  });
  page.on('response', (r) => {
    if (r.status() === 404) unlessDropped(r.url(), `${r.status()}: ${r.url()}`);
    else if (r.status() >= 400) problems.push(`${r.status()}: ${r.url()}`);
  });
}

// A mouse click at the centre of the first element the locator finds, once it is drawn.
export async function click(locator) {
  const el = locator.first();
  await el.waitFor({ state: 'visible' });
  // A person waits until the control is enabled (the model answers a tap before it).
  await waitFor(() => el.isEnabled(), 'an enabled control');
  const box = await waitFor(async () => {
    const b = await el.boundingBox();
    return b && b.width > 0 && b.height > 0 && b;
  }, 'a drawn element');
  await el.page().mouse.click(box.x + box.width / 2, box.y + box.height / 2);
}

// Clicks the locator until `arrived` answers true, as a person clicks again when a click did not
// take (at most three clicks, each given ten seconds to show its effect).
export async function clickUntil(locator, arrived, what) {
  for (let tries = 1; ; tries++) {
    await click(locator);
    try {
      return await waitFor(arrived, what, 10000);
    } catch (e) {
      if (tries === 3 || (await arrived())) throw e;
    }
  }
}

// The controls and rows of the front layer that a person cannot reach or read.
export function screenProblems(page) {
  return page.evaluate(() => {
    const screen = document.getElementById('screen');
    const layers = screen.querySelector('.layers');
    const front = layers && layers.lastElementChild;
    if (!front) return ['nothing is drawn'];
    const area = screen.getBoundingClientRect();
    const problems = [];
    const named = (el) => (el.getAttribute('aria-label') || el.textContent || el.className || el.tagName).trim().slice(0, 40);
    // Inside every scrolling or clipping box around it: a row scrolled out of view is not shown.
    const shownAt = (el, x, y) => {
      for (let a = el.parentElement; a && a !== screen; a = a.parentElement) {
        const s = getComputedStyle(a);
        if (s.overflowX === 'visible' && s.overflowY === 'visible') continue;
        const b = a.getBoundingClientRect();
        if (x < b.left || x > b.right || y < b.top || y > b.bottom) return false;
      }
      return true;
    };
    const controls = 'button, input, textarea, [role=switch], [role=tab], [role=img], .cell, [data-ev]';
    for (const el of front.querySelectorAll(controls)) {
      if (el.classList.contains('dim') || el.closest('[hidden]')) continue;
      const b = el.getBoundingClientRect();
      if (b.width < 1 || b.height < 1 || getComputedStyle(el).visibility === 'hidden') continue;
      const x = b.left + b.width / 2;
      const y = b.top + b.height / 2;
      if (!shownAt(el, x, y)) continue;
      if (x < area.left || x > area.right || y < area.top || y > area.bottom) {
        problems.push(`"${named(el)}" lies off the screen`);
        continue;
      }
      // A point below or beside the window (a device drawn at its actual size on a small
      // window) is judged where a person scrolls it to.
      const scroller = document.scrollingElement;
      const [left, top] = [scroller.scrollLeft, scroller.scrollTop];
      if (y < 0 || y >= innerHeight || x < 0 || x >= innerWidth) {
        scroller.scrollTop += y - innerHeight / 2;
        scroller.scrollLeft += x - innerWidth / 2;
      }
      const moved = [left - scroller.scrollLeft, top - scroller.scrollTop];
      const hit = document.elementFromPoint(x + moved[0], y + moved[1]);
      [scroller.scrollLeft, scroller.scrollTop] = [left, top];
      if (!hit || (hit !== el && !el.contains(hit)))
        problems.push(`"${named(el)}" is covered by "${hit ? named(hit) : 'nothing'}"`);
    }
    // A text is cut when it needs more room than its box gives: a one-line text wider than its
    // box (an ellipsis), one of more lines taller. (Rounding may give a pixel.)
    const cut = (el) => {
      const s = getComputedStyle(el);
      return s.whiteSpace === 'nowrap' ? el.scrollWidth > el.clientWidth + 1 : el.scrollHeight > el.clientHeight + 1;
    };
    // Every label shown outside the rows (the rows' own are judged with their row): a title, a
    // hint, the views above and below a table's sections.
    for (const label of front.querySelectorAll('.v-label')) {
      const b = label.getBoundingClientRect();
      if (b.width < 1 || b.height < 1 || !label.textContent.trim() || label.closest('.cell')) continue;
      if (shownAt(label, b.left + b.width / 2, b.top + b.height / 2) && cut(label))
        problems.push(`the label "${label.textContent.trim()}" is cut`);
    }
    // A table with rows shows some of them where it has room (not an empty stretch above or
    // below the rows the model made for another offset).
    for (const t of front.querySelectorAll('.v-table')) {
      const b = t.getBoundingClientRect();
      if (b.width < 1 || b.height < 1 || !shownAt(t, b.left + b.width / 2, b.top + b.height / 2)) continue;
      const cells = [...t.querySelectorAll(':scope > .tcontent > .cell')];
      if (cells.length && !cells.some((c) => { const r = c.getBoundingClientRect(); return r.bottom > b.top && r.top < b.bottom; }))
        problems.push(`the table of "${named(cells[0])}" shows none of its rows`);
    }
    for (const row of front.querySelectorAll('.cell')) {
      const r = row.getBoundingClientRect();
      // A row of a tab or screen not shown now (no box at all) is not what a person meets.
      if (r.width < 1 || r.height < 1 || row.closest('[hidden]')) continue;
      if (!shownAt(row, r.left + r.width / 2, r.top + r.height / 2)) continue;
      const inside = (b) => b.width > 0 && b.height > 0 && b.left >= r.left - 1 && b.right <= r.right + 1 &&
        b.top >= r.top - 1 && b.bottom <= r.bottom + 1;
      for (const text of row.querySelectorAll('.text, .detail, .v-label')) {
        if (!text.textContent.trim()) continue;
        const b = text.getBoundingClientRect();
        if (!inside(b) || getComputedStyle(text).visibility === 'hidden' || getComputedStyle(text).opacity === '0')
          problems.push(`the text "${text.textContent.trim()}" of a row is not inside it`);
        else if (cut(text)) problems.push(`the text "${text.textContent.trim()}" of a row is cut`);
      }
      for (const drawn of row.querySelectorAll('img.drawn')) {
        const b = drawn.getBoundingClientRect();
        if (!drawn.complete || !drawn.naturalWidth) problems.push(`the drawing of "${named(drawn.parentElement)}" is missing`);
        else if (b.left < r.left - 1 || b.top < r.top - 1 || b.bottom > r.bottom + 1) problems.push(`the drawing of "${named(drawn.parentElement)}" leaves its row`);
      }
      const label = row.getAttribute('aria-label');
      const own = [...row.querySelectorAll('.text, .v-label, [role=img][aria-label]')]
        .some((e) => (e.textContent.trim() || e.getAttribute('aria-label')));
      if (label && !own) problems.push(`the row "${label}" shows none of its text`);
    }
    return problems;
  });
}

// Checks the screen as it is now and keeps its screenshot; the problems go to `problems`.
export async function checkScreen(page, name, problems, artefacts) {
  // Pictures still on their way are waited for, so the screenshot is what a person sees.
  // Only those drawn now: a picture in a hidden tab may never be fetched.
  // The page may still be redrawing what just changed (a new drawing on its way): a person judges
  // the screen once it settles, so a problem must outlast a few looks to count.
  let found = [];
  for (let look = 0; look < 4; look++) {
    if (look) await page.waitForTimeout(500);
    await page.waitForFunction(() => [...document.images].every((i) => i.complete || !i.getClientRects().length),
      null, { timeout: scaled(10000) }).catch(() => {});
    found = await screenProblems(page);
    if (!found.length) break;
  }
  for (const p of found) problems.push(`${name}: ${p}`);
  fs.mkdirSync(artefacts, { recursive: true });
  await page.screenshot({ path: path.join(artefacts, `${name}.png`) });
}

// Brings an element into the window as a person does when the page is bigger than the window
// (the device drawn at its actual size, or a tablet in a phone's window): the mouse wheel over
// the page beside the device, down or up, then sideways.
export async function bringIntoView(locator) {
  const page = locator.page();
  const viewport = page.viewportSize();
  const step = (after, before) => (after > 0 ? Math.min(after + 20, 300) : before > 0 ? -Math.min(before + 20, 300) : 0);
  for (let tries = 0; tries < 40; tries++) {
    const b = await locator.boundingBox();
    if (!b) return;
    // (Of an element bigger than the window, its top left part.)
    const down = step(b.y + Math.min(b.height, viewport.height) - viewport.height, -b.y);
    const across = down ? 0 : step(b.x + Math.min(b.width, viewport.width) - viewport.width, -b.x);
    if (!down && !across) return;
    await page.mouse.move(2, viewport.height / 2);
    await page.mouse.wheel(across, down);
    await page.waitForTimeout(50);
  }
}

// Scrolls the front screen's table with the mouse wheel until the row is there, uncovered (not
// under the tab bar) and at rest: a person clicks a row once the table has stopped moving. Down
// first; at the end of the table, up again (a row that appeared late, above what the wheel had
// passed, comes back into view).
export async function revealRow(front, target, name) {
  const page = target.page();
  const el = target.first();
  let step = 200;
  let still = 0;
  for (let y = 0; ; y += 200) {
    if (await el.count()) {
      await el.scrollIntoViewIfNeeded({ timeout: scaled(1000) }).catch(() => {});
      let last = null;
      const box = await waitFor(async () => {
        const b = await el.boundingBox({ timeout: scaled(1000) }).catch(() => null);
        const still = b && last && b.x === last.x && b.y === last.y;
        last = b;
        return still && b;
      }, `the row ${name} at rest`, 10000).catch(() => null);
      const uncovered = box && await el.evaluate((e, [px, py]) => {
        const at = document.elementFromPoint(px, py);
        return Boolean(at && (at === e || e.contains(at)));
      }, [box.x + box.width / 2, box.y + box.height / 2]).catch(() => false);
      if (uncovered) return;
    }
    if (y >= 12000) throw new Error(`the row ${name} never came into view`);
    // Scrolled with the mouse wheel over the table, as a person scrolls.
    // The table shown now (a screen leaving may still hold one), once it has its box.
    const table = front().locator('.v-table:visible').first();
    const tableBox = await waitFor(() => table.boundingBox(), 'the table to be drawn');
    const [cx, cy] = [tableBox.x + tableBox.width / 2, tableBox.y + tableBox.height / 2];
    // The offset of the table the wheel turns (the one under the mouse).
    const offset = () => page.evaluate(([px, py]) => {
      const under = document.elementFromPoint(px, py);
      const t = under && under.closest('.v-table');
      return t ? t.scrollTop : -1;
    }, [cx, cy]);
    const before = await offset();
    await page.mouse.move(cx, cy);
    await page.mouse.wheel(0, step);
    await page.waitForTimeout(200);
    // Three turns that moved nothing: the end of the table.
    still = (await offset()) === before ? still + 1 : 0;
    if (step > 0 && still >= 3) step = -200;
  }
}

// Connects the session's connect screen to an FTP server on loopback as "anonymous", typing
// into the fields, and waits for a row of the folder.
export async function connectAnonymousFtp(s, port, firstRow) {
  await clickSeen(s.front().getByLabel('Server'));
  await s.page.keyboard.type(`127.0.0.1:${port}`);
  await clickSeen(s.front().getByLabel('User Name'));
  await s.page.keyboard.type('anonymous');
  await clickSeen(s.button('Connect'));
  await s.row(firstRow).waitFor();
}

// Saved Files' picture `name` opened in the image editor: its Picture and the picture drawn in it.
export async function openImageEditor(s, name) {
  await s.tab('Saved Files');
  await clickSeen(s.row(name).locator('.accessory'));
  await clickSeen(s.sheetButton('Edit Image'));
  const picture = s.front().locator('[aria-label="Picture"]').first();
  return { picture, drawn: picture.locator('img').first() };
}

// Saved Files' picture `name` opened in the image editor and its Save pressed: the dialog's
// 'Save to "Saved Files"' button, once it is shown.
export async function openImageSave(s, name) {
  await openImageEditor(s, name);
  await clickSeen(s.front().getByLabel('Save', { exact: true }).filter({ visible: true }));
  const save = s.page.getByRole('button', { name: 'Save to "Saved Files"', exact: true }).filter({ visible: true });
  await save.waitFor();
  return save;
}

// The labels of the front screen's rows drawn checked: the blue bar on the left edge of the row's
// drawing (`front` gives the screen's locator).
export function checkedRows(front) {
  return front().locator('.cell[aria-label]').evaluateAll((cells) => cells.filter((cell) => {
    const im = cell.querySelector('img.drawn');
    if (!im || !im.complete || !im.naturalWidth) return false;
    const c = document.createElement('canvas');
    c.width = im.naturalWidth;
    c.height = im.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(im, 0, 0);
    const [r, gr, b, a] = g.getImageData(1, Math.floor(c.height / 2), 1, 1).data;
    return a > 200 && b > r + 60 && b > gr + 30;
  }).map((cell) => cell.getAttribute('aria-label')));
}

// The box of what an overlay picture draws (its pixels that are nearly opaque), in points of the
// picture's element, with the element's size: null while the drawing is still on its way.
export function overlayBox(overlay) {
  return overlay.evaluate((im) => {
    if (!im.complete || !im.naturalWidth) return null;
    const c = document.createElement('canvas');
    [c.width, c.height] = [im.naturalWidth, im.naturalHeight];
    const g = c.getContext('2d');
    g.drawImage(im, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    let [x0, y0, x1, y1] = [Infinity, Infinity, -1, -1];
    for (let y = 0; y < c.height; y++) {
      for (let x = 0; x < c.width; x++) {
        if (d[(y * c.width + x) * 4 + 3] < 200) continue;
        x0 = Math.min(x0, x); x1 = Math.max(x1, x); y0 = Math.min(y0, y); y1 = Math.max(y1, y);
      }
    }
    const k = im.naturalWidth / im.offsetWidth;
    return { left: x0 / k, top: y0 / k, right: (x1 + 1) / k, bottom: (y1 + 1) / k, width: im.offsetWidth, height: im.offsetHeight };
  });
}

// The colours ([r, g, b]) of a screenshot's pixels (a PNG), decoded by the page itself: those
// inside `box` (CSS pixels of the window) or, without one, all of them.
export function screenshotPixels(page, png, box) {
  return page.evaluate(async ([b64, b]) => {
    const img = new Image();
    img.src = `data:image/png;base64,${b64}`;
    await img.decode();
    const c = document.createElement('canvas');
    [c.width, c.height] = [img.naturalWidth, img.naturalHeight];
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    const k = img.naturalWidth / innerWidth;
    const [x, y, w, h] = b ? [b.x, b.y, b.width, b.height].map((n) => Math.max(1, Math.round(n * k))) : [0, 0, c.width, c.height];
    const d = g.getImageData(x, y, w, h).data;
    const out = [];
    for (let i = 0; i < d.length; i += 4) out.push([d[i], d[i + 1], d[i + 2]]);
    return out;
  }, [png.toString('base64'), box]);
}

// The mean colour of a screenshot (a PNG), read by the page itself.
export async function meanColour(page, png) {
  const pixels = await screenshotPixels(page, png);
  const sum = [0, 0, 0];
  for (const p of pixels) for (let k = 0; k < 3; k++) sum[k] += p[k];
  return sum.map((v) => v / pixels.length);
}

// What lies at a point of the window, as a short description (for messages).
export function whatLiesAt(page, x, y) {
  return page.evaluate(([px, py]) => {
    const e = document.elementFromPoint(px, py);
    if (!e) return 'nothing';
    const named = e.closest('[aria-label]');
    return `${e.tagName.toLowerCase()}${e.className ? `.${String(e.className).split(' ').join('.')}` : ''}` +
      (named ? ` in "${named.getAttribute('aria-label')}"` : '') + ` "${(e.textContent || '').trim().slice(0, 30)}"`;
  }, [x, y]);
}

// What the page shows, in short: its layers (screens, sheets, alerts), the rows each table of the
// front layer draws, where it is scrolled to and where the program has it. A page that redraws
// the same (the clock, say) keeps it.
function whatIsShown(page) {
  return page.evaluate(() => {
    const layers = document.querySelector('#screen .layers');
    if (!layers) return 'nothing is drawn';
    const kinds = [...layers.children].map((l) => l.className).join(' | ');
    const front = layers.lastElementChild;
    const tables = [...front.querySelectorAll('.v-table')].map((t) => {
      const rows = [...t.querySelectorAll(':scope > .tcontent > .cell')].map((c) => c.getAttribute('aria-label'));
      return `a table scrolled to ${Math.round(t.scrollTop)} of ${Math.round(t.scrollHeight - t.clientHeight)} ` +
        `(the program's offset ${t.dataset.offset}) drawing ${rows.length ? `the rows ${rows[0]} .. ${rows.at(-1)}` : 'no row'}`;
    });
    // The program's answer to the last event the page sent, and a refusal it showed.
    const toast = document.getElementById('toast');
    const told = toast && !toast.hidden && toast.textContent ? `; it says "${toast.textContent}"` : '';
    return `layers ${kinds}; ${tables.join('; ') || 'no table in front'}; the last answer ` +
      `"${document.body.dataset.lastResult || 'none'}"${told}`;
  }).catch((e) => `(the page could not be read: ${e.message})`);
}

// Ends the waits of a page whose waits have no limit once it has shown the same for `still` ms
// (scaled): a step that cannot go on then fails within minutes, saying what the page shows,
// instead of waiting until the test's own time runs out. The page is photographed into `dir` and
// closed (which ends every wait on it); `stalled()` gives the reason, `stop()` ends the watch.
export function watchForStall(page, dir, still = 60000) {
  let reason = '';
  let timer = null;
  let shown = '';
  let since = Date.now();
  const look = async () => {
    const now = await whatIsShown(page);
    if (now !== shown) {
      [shown, since] = [now, Date.now()];
    } else if (Date.now() - since > scaled(still)) {
      reason = `for ${Math.round((Date.now() - since) / 1000)} s the page showed the same: ${now}`;
      fs.mkdirSync(dir, { recursive: true });
      await page.screenshot({ path: path.join(dir, 'at-failure.png') }).catch(() => {});
      await page.close().catch(() => {});
      return;
    }
    if (timer !== 0) timer = setTimeout(look, 1000);
  };
  timer = setTimeout(look, 1000);
  return {
    stalled: () => reason,
    stop: () => { clearTimeout(timer); timer = 0; },
  };
}

// Waits until the first element of the locator is drawn. However long the program takes, the wait
// goes on while what the page shows changes; a page that showed the same for `still` ms (scaled)
// without drawing it ends the wait, saying what it shows instead.
export async function drawnOrSay(locator, what, still = 30000) {
  const el = locator.first();
  let shown = await whatIsShown(el.page());
  let since = Date.now();
  for (;;) {
    if (await el.isVisible().catch(() => false)) return;
    const now = await whatIsShown(el.page());
    if (now !== shown) {
      shown = now;
      since = Date.now();
    } else if (Date.now() - since > still * timeScale) {
      throw new Error(`${what} was not drawn; for ${Math.round((Date.now() - since) / 1000)} s the page ` +
        `showed the same: ${now}`);
    }
    await new Promise((r) => setTimeout(r, 100));
  }
}

// A click at the centre of an element once it is in the window, after checking that the element
// is what lies there (nothing covers it, nothing stands in its place).
export async function clickSeen(locator) {
  const el = locator.first();
  await drawnOrSay(el, String(locator));
  await waitFor(() => el.isEnabled(), 'an enabled control');
  await bringIntoView(el);
  // Measured again on each look: what is laid over it while the page redraws (a prompt coming
  // in, a sheet going) is not yet a fault, and a prompt may still be moving into its place; a
  // control that stays covered is.
  let x = 0;
  let y = 0;
  const there = await waitFor(async () => {
    const b = await el.boundingBox();
    if (!b || b.width <= 0 || b.height <= 0) return false;
    x = b.x + b.width / 2;
    y = b.y + b.height / 2;
    return el.evaluate((e, [px, py]) => {
      const hit = document.elementFromPoint(px, py);
      return Boolean(hit && (hit === e || e.contains(hit)));
    }, [x, y]);
  }, 'the control drawn and uncovered', 5000).catch(() => false);
  if (!there) {
    // (The control may have gone meanwhile: its name is read without waiting for it.)
    const quick = { timeout: scaled(1000) };
    const label = (await el.getAttribute('aria-label', quick).catch(() => '')) ||
      (await el.textContent(quick).catch(() => '')) || '';
    throw new Error(`"${label.trim().slice(0, 40)}" is not what lies at its centre: ${await whatLiesAt(el.page(), x, y)}`);
  }
  await el.page().mouse.click(x, y);
}

// Types `text` over what a field holds, as a person does: a click into it, everything selected,
// the text typed. A field that did not take it (the focus still on its way when the keys came)
// is typed into again, at most three times. A secure field shows one dot for each character.
export async function typeInto(field, text) {
  const secure = (await field.first().getAttribute('data-secure').catch(() => null)) !== null;
  const shown = secure ? '\u2022'.repeat(text.length) : text;
  for (let tries = 1; ; tries++) {
    await clickSeen(field);
    await field.page().keyboard.press('Control+A');
    await field.page().keyboard.type(text);
    try {
      return await waitFor(async () => (await field.inputValue()) === shown, `"${text}" in the field`, 5000);
    } catch (e) {
      if (tries === 3) throw new Error(`${e.message}; it holds "${await field.inputValue().catch(() => '?')}"`);
    }
  }
}

// The width and height of a PNG or JPEG file.
export function pictureSize(file) {
  const b = fs.readFileSync(file);
  if (b.subarray(1, 4).toString() === 'PNG') return [b.readUInt32BE(16), b.readUInt32BE(20)];
  for (let at = 2; at + 9 < b.length;) {
    if (b[at] !== 0xff) throw new Error(`${file}: not a JPEG`);
    const marker = b[at + 1];
    // A start of frame (not DHT, JPG or DAC, which share the range) holds the size.
    if (marker >= 0xc0 && marker <= 0xcf && ![0xc4, 0xc8, 0xcc].includes(marker))
      return [b.readUInt16BE(at + 7), b.readUInt16BE(at + 5)];
    at += 2 + b.readUInt16BE(at + 2);
  }
  throw new Error(`${file}: no size found`);
}

// A PNG of `width` x `height` opaque pixels: a colour of its own in each quarter, so a picture
// cut or stretched shows. `extra` bytes after its end make the file as big as a test needs.
export function writePicture(file, width, height, extra = 0) {
  const row = Buffer.alloc(1 + width * 3);
  const rows = [];
  for (let y = 0; y < height; y++) {
    row[0] = 0;
    for (let x = 0; x < width; x++) {
      const q = (x < width / 2 ? 0 : 1) + (y < height / 2 ? 0 : 2);
      [row[1 + x * 3], row[2 + x * 3], row[3 + x * 3]] = [[200, 40, 40], [40, 160, 40], [40, 40, 200], [220, 200, 40]][q];
    }
    rows.push(Buffer.from(row));
  }
  const chunk = (type, data) => {
    const head = Buffer.alloc(8);
    head.writeUInt32BE(data.length, 0);
    head.write(type, 4, 'latin1');
    const crc = Buffer.alloc(4);
    crc.writeUInt32BE(zlib.crc32(Buffer.concat([head.subarray(4), data])) >>> 0, 0);
    return Buffer.concat([head, data, crc]);
  };
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr.set([8, 2, 0, 0, 0], 8);
  fs.writeFileSync(file, Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', ihdr),
    chunk('IDAT', zlib.deflateSync(Buffer.concat(rows))), chunk('IEND', Buffer.alloc(0)), Buffer.alloc(extra)]));
}

// The program (a fresh home that `prepare` may fill first) and a browser on its page, past the
// welcome; `run` does the task with the handles below. What a person meets (failed requests,
// console errors, screen checks) fails the test; the page at a failed step is kept as a
// screenshot in `dir`. `chromium` comes from the suite (Playwright is the suite's own).
export async function session(t, { chromium, suite, dir, viewport, env, prepare, run, withoutLimit,
  launch = browserLaunch }) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), `ferrowen-${suite}-`));
  fs.writeFileSync(path.join(home, 'Preferences.json'), JSON.stringify({ ShownWebHelp: '1', WebViewURL: '' }));
  if (prepare) await prepare(home);
  const app = await startProgram(t, { ...env, FERROWEN_HOME: home });
  // Removed once every program started on it has ended.
  t.after(async () => {
    await Promise.all(programsOn(home).map(stopChild));
    programs.delete(home);
    fs.rmSync(home, { recursive: true, force: true, maxRetries: 5 });
  });
  const browser = await chromium.launch(launch);
  t.after(() => browser.close());
  const page = await newPage(browser, { viewport });
  if (withoutLimit) waitsWithoutLimit(page);
  const problems = [];
  watch(page, problems);
  const front = () => page.locator('#screen .layers > :last-child');
  const tab = (name) => page.locator(`.tab[aria-label="${name}"]`);
  const s = {
    page, app, home, front,
    screen: (name) => checkScreen(page, name, problems, dir),
    tab: (name) => clickSeen(tab(name)),
    // The tab tapped and drawn in front: taps go to the program one after another, and the
    // screen of the tab before may still be drawn (or drawn for a moment) until its answer.
    shownTab: async (name) => {
      await clickSeen(tab(name));
      await tab(name).and(page.locator('.selected')).waitFor();
    },
    button: (name) => front().getByRole('button', { name, exact: true }),
    row: (name) => front().locator(`.cell[aria-label="${name}"]`),
    sheet: page.locator('.actionsheet'),
    sheetButton: (name) => page.locator('.actionsheet button', { hasText: name }),
  };
  // Waits without a limit still end when the page stops changing.
  const stall = withoutLimit ? watchForStall(page, dir) : null;
  try {
    await page.goto(app.address);
    await page.locator('.alert').waitFor();
    await clickSeen(page.locator('.alert button', { hasText: 'Skip' }));
    await page.locator('.alert').waitFor({ state: 'detached' });
    await run(s);
  } catch (e) {
    if (stall && stall.stalled()) throw new Error(`the task could not go on: ${stall.stalled()}\n(${e.message})`);
    fs.mkdirSync(dir, { recursive: true });
    await page.screenshot({ path: path.join(dir, 'at-failure.png') }).catch(() => {});
    throw e;
  } finally {
    if (stall) stall.stop();
  }
  const distinct = [...new Set(problems.map((p) => p.replace(/\?t=[0-9a-f]+/, '')))];
  if (distinct.length) throw new Error(`what a person meets:\n${distinct.join('\n')}`);
}

// The program killed where it stands (nothing of it runs after), then started again on the same
// data, on a new page of the same browser: the next start's page, and where it is.
export async function killAndStartAgain(t, s, env, viewport) {
  const browser = s.page.context().browser();
  const ended = new Promise((resolve) => s.app.child.once('exit', resolve));
  s.app.child.kill('SIGKILL');
  await ended;
  await s.page.goto('about:blank');
  const again = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
  const page = await newPage(browser, { viewport });
  const problems = [];
  watch(page, problems);
  t.after(() => page.close().catch(() => {}));
  await page.goto(again.address);
  return { page, app: again, problems };
}

// The text a person typed, as the edit record's working copy keeps it now (none: no record).
export function keptTextNow(home) {
  const settings = JSON.parse(fs.readFileSync(path.join(home, 'Preferences.json'), 'utf8'));
  const working = Object.entries(settings).find(([key, value]) => /EditingFTPFile$/.test(key) && value);
  return working && fs.existsSync(working[1]) ? fs.readFileSync(working[1], 'utf8') : null;
}

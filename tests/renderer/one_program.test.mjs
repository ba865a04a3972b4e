// One program on one data folder, and Saved Files not shared behind the start-up lock, as a
// person meets them in the browser front end: a passcode set in Settings; started again, the page
// asks for it and neither sharing server listens until it is typed; a second `ferrowen` started
// with a file while the first runs hands the file over (it shows in Saved Files) and ends, and one
// started with nothing says the folder is taken. Screenshots go to $RENDERER_ARTEFACTS/one_program.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  artefacts, clickSeen, revealRow, session, startProgram, stopChild, typeInto, waitFor, scaled,
} from '../support/person.mjs';
import { claimedPort } from '../support/ports.mjs';

const dir = path.join(artefacts, 'one_program');

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// `ferrowen` started again on the data folder; its exit code and what it wrote.
function startAgain(home, env, args) {
  return new Promise((resolve) => {
    const child = spawn(process.env.FERROWEN_PROGRAM, args, { env: { ...process.env, ...env, FERROWEN_HOME: home } });
    let out = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', (d) => { out += d; });
    const timer = setTimeout(() => child.kill('SIGKILL'), scaled(30000));
    child.on('exit', (code) => { clearTimeout(timer); resolve({ code, out }); });
  });
}

test('a locked start shares nothing, and a second start hands its file to the running program', async (t) => {
  const ports = { web: await claimedPort(), ftp: await claimedPort() };
  const env = { FERROWEN_PORT_OVERRIDES: `2121=${ports.ftp},8080=${ports.web}` };
  const serving = async () => (await accepts(ports.web)) && (await accepts(ports.ftp));
  await session(t, {
    chromium, suite: 'one-program', dir, viewport: { width: 390, height: 844 }, env,
    prepare: (home) => {
      const file = path.join(home, 'Preferences.json');
      const settings = JSON.parse(fs.readFileSync(file, 'utf8'));
      fs.writeFileSync(file, JSON.stringify({ ...settings, WebServer: '1', FTPServer: '1' }));
    },
    run: async (s) => {
      const { page, front } = s;
      await waitFor(serving, 'the sharing servers', 20000);

      // The passcode, typed twice in Settings.
      await s.tab('Settings');
      await revealRow(front, s.row('Startup Lock'), 'Startup Lock');
      await clickSeen(s.row('Startup Lock'));
      await typeInto(front().getByLabel('Passcode', { exact: true }), '2468');
      await typeInto(front().getByLabel('Repeat Passcode', { exact: true }), '2468');
      await clickSeen(front().locator('.navbar .back'));
      await front().locator('.navbar .center', { hasText: 'Settings' }).first().waitFor();

      // Started again: the lock is up and nothing is shared until the passcode is typed.
      await page.goto('about:blank');
      await stopChild(s.app.child);
      const again = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
      await page.goto(again.address);
      const field = page.getByLabel('Passcode', { exact: true });
      await page.getByText('Enter Passcode').waitFor({ timeout: scaled(30000) });
      await s.screen('locked');
      await page.waitForTimeout(500);
      assert.equal(await accepts(ports.web), false, 'the web server listens behind the lock');
      assert.equal(await accepts(ports.ftp), false, 'the FTP server listens behind the lock');
      await typeInto(field, '2468');
      await page.keyboard.press('Enter');
      await page.getByText('Enter Passcode').waitFor({ state: 'detached', timeout: scaled(10000) });
      await waitFor(serving, 'the sharing servers after the passcode', 20000);

      // A second start with a file hands it over and ends; the file shows in Saved Files.
      const note = path.join(s.home, '..', `${path.basename(s.home)}-note.txt`);
      fs.writeFileSync(note, 'handed over');
      t.after(() => fs.rmSync(note, { force: true }));
      const handed = await startAgain(s.home, env, [note]);
      assert.equal(handed.code, 0, handed.out);
      await front().locator(`.cell[aria-label="${path.basename(note)}"]`).waitFor({ timeout: scaled(10000) });
      await s.screen('handed-over');
      // One started with nothing to hand over says why it does not start.
      const bare = await startAgain(s.home, env, []);
      assert.equal(bare.code, 1, bare.out);
      assert.match(bare.out, /already runs/);
      assert.equal(again.child.exitCode, null, 'the running program runs on');
    },
  });
});

// An ftp address handed to the running program: the connect screen shows it at once, it stays
// through another tab and a reload of the page, and it is what the settings hold after the
// program stops and starts again. One whose port is out of range is refused with the reason and
// changes nothing.
test('a second start hands an ftp address to the connect screen, which keeps it', async (t) => {
  const env = {};
  await session(t, {
    chromium, suite: 'one-program-address', dir, viewport: { width: 390, height: 844 }, env,
    prepare: (home) => {
      const file = path.join(home, 'Preferences.json');
      const settings = JSON.parse(fs.readFileSync(file, 'utf8'));
      fs.writeFileSync(file, JSON.stringify({ ...settings, ServerAddress: 'old.example.org', UserName: 'olduser' }));
    },
    run: async (s) => {
      const { page, front } = s;
      const field = (name) => front().getByLabel(name, { exact: true });
      // What the fields show (what a person reads in them).
      const shown = async () => [await field('Server').inputValue(), await field('User Name').inputValue()];
      const showsHanded = async (when) => {
        await field('Server').waitFor();
        await waitFor(async () => {
          const [server, user] = await shown();
          return server === '127.0.0.1:54098/docs/' && user === 'bob';
        }, `the handed address in the fields ${when} (they show ${JSON.stringify(await shown())})`, 10000);
      };
      await field('Server').waitFor();
      assert.deepEqual(await shown(), ['old.example.org', 'olduser']);

      const handed = await startAgain(s.home, env, ['ftp://bob@127.0.0.1:54098/docs/']);
      assert.equal(handed.code, 0, handed.out);
      await showsHanded('once handed over');
      await s.screen('address-handed');
      await s.shownTab('Saved Files');
      await s.shownTab('FTP');
      await showsHanded('after another tab');
      await page.reload();
      await showsHanded('after the page was loaded again');

      // A port out of range: refused with the reason, the fields as they were.
      for (const port of ['70000', '0', '99999999999', '-1', 'ftp']) {
        const refused = await startAgain(s.home, env, [`ftp://eve@127.0.0.1:${port}/`]);
        assert.equal(refused.code, 2, refused.out);
        assert.match(refused.out, /The port must be a number from 1 to 65535\./);
      }
      await page.waitForTimeout(300);
      await showsHanded('after addresses with bad ports');

      // Stopped and started again: the settings and the fields hold the handed address.
      await page.goto('about:blank');
      await stopChild(s.app.child);
      const saved = JSON.parse(fs.readFileSync(path.join(s.home, 'Preferences.json'), 'utf8'));
      assert.equal(saved.ServerAddress, '127.0.0.1:54098/docs/');
      assert.equal(saved.UserName, 'bob');
      const again = await startProgram(t, { ...env, FERROWEN_HOME: s.home });
      await page.goto(again.address);
      await showsHanded('after a restart');
      await s.screen('address-after-restart');
    },
  });
});

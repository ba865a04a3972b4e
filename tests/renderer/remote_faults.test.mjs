// What a person meets connecting and browsing when a server says no, on the phone and on the
// tablet, with the mouse and the keyboard only (each click checked to land on what lies there),
// against OpenSSH's sshd and pyftpdlib on loopback:
// - the server's host keys were made anew and the person turns the new key down: under the
//   question the folder screen says in a few words what it waits for, and "Cancel" leads back to
//   the connect screen, from which the person goes on;
// - the SSH server stopped: the refusal is explained as a refusal, not as a server that did not
//   answer in time;
// - a row's (...) button makes its row the checked one and opens its menu; left, the row stays
//   checked with its button, and the next click on the row takes the mark away (a remote folder
//   and Saved Files);
// - the beginning of a file too big to open whole, shown over SFTP, opens without Save: saved, the
//   part would take the whole file's place on the server.
// - "Delete All Files" asked in an FTP folder that holds no files: after "Delete All" the folder's
//   bar is back, not a spinner for good.
// - an FTP file moved into a folder that holds a file of its name: "File Name Error", as Rename
//   says, and both files stay as they were.
// - over FTP, "trail.txt " beside "trail.txt" (and " lead.txt" beside "lead.txt"): each is a row
//   of its own, a click checks the one row, and Delete removes that row's file alone;
// - over SFTP: a name holding a line feed is a row (the byte reads as U+FFFD); a folder that holds
//   a file is not deleted, and the person is told why as FTP tells it, the row staying; a file the
//   server will not open ends its Transfers row with "Error Downloading File!" and the server's
//   answer (a Latin-1 name on the phone, an ASCII one on the tablet).
// - a folder's permissions saved and the folder listed again: one click on its row opens it
//   (an ASCII name over FTP, a Latin-1 one over SFTP).
// The account is made for the test and removed after it. Screenshots go to
// $RENDERER_ARTEFACTS/remote-<profile>.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { checkedRows, clickSeen, clickUntil, connectAnonymousFtp, session, startFtpServer, typeInto, waitFor, artefacts, profiles, scaled } from '../support/person.mjs';
import { makeAccount, removeAccount, startSshd } from '../support/sshd.mjs';

const account = makeAccount('ferrowen-r');
after(() => removeAccount(account));

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: "Delete All Files" in an FTP folder without files gives the folder toolbar back`, async (t) => {
    const ftpRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-ftp-'));
    t.after(() => fs.rmSync(ftpRoot, { recursive: true, force: true }));
    fs.mkdirSync(path.join(ftpRoot, 'only-a-folder'));
    const ftpPort = await startFtpServer(t, ftpRoot, 1 << 24);
    await session(t, {
      chromium, suite: 'remote', dir: path.join(artefacts, `remote-${profile}`), viewport, env,
      run: async (s) => {
        const { page, front, row } = s;
        await connectAnonymousFtp(s, ftpPort, 'only-a-folder');
        // The folder screen's own bar (the tablet draws another screen's bar beside it).
        const folderButton = (name) => front().locator('.cell[aria-label="only-a-folder"]')
          .locator(`xpath=ancestor::*[.//button[@aria-label="${name}"]][1]`)
          .getByRole('button', { name, exact: true });
        await clickSeen(folderButton('Menu'));
        await clickSeen(s.sheetButton('Delete All Files'));
        const alert = page.locator('.alert[aria-label="Confirm Delete All Files"]');
        await alert.waitFor();
        assert.match(await alert.textContent(), /This will delete 0 files in the folder!\s+Continue\?/);
        await s.screen('delete-all-without-files');
        await clickSeen(alert.locator('button', { hasText: 'Delete All' }));
        await alert.waitFor({ state: 'detached' });
        // The folder's bar is back, every button of it where a click lands, and it works.
        for (const name of ['Refresh', 'Sort', 'Download', 'Menu'])
          await waitFor(() => folderButton(name).isVisible(), `${name} back on the folder's bar`, 20000);
        await s.screen('delete-all-without-files-done');
        await clickSeen(folderButton('Refresh'));
        await row('only-a-folder').waitFor();
        // The row was there before the listing came back: a click on Menu while the program still
        // lists (its bar shows the work, the page may not yet) does nothing, and is made again.
        await clickUntil(folderButton('Menu'), () => s.sheetButton('Delete All Files').isVisible(), 'the folder menu');
        if (await s.sheetButton('Cancel').count()) await clickSeen(s.sheetButton('Cancel'));
        else await page.keyboard.press('Escape'); // the tablet's menu by its button has no Cancel
        await s.sheet.waitFor({ state: 'detached' });
        assert.ok(fs.existsSync(path.join(ftpRoot, 'only-a-folder')));
      },
    });
  });

  // Permissions of a folder saved, the folder listed again (Refresh): one click on the folder's
  // row opens it, for an ASCII name over FTP (pyftpdlib) as for a Latin-1 name over SFTP (sshd).
  test(`${profile}: after Permissions and a Refresh one click on the folder opens it`, async (t) => {
    const ftpRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-ftp-'));
    const served = fs.mkdtempSync('/tmp/r-');
    const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-keys-'));
    t.after(() => {
      for (const d of [ftpRoot, served, keysDir]) fs.rmSync(d, { recursive: true, force: true });
    });
    fs.chmodSync(served, 0o777);
    const folders = [
      { root: ftpRoot, bytes: Buffer.from('pics'), label: '[aria-label="pics"]', inside: 'in-pics.txt', first: 'top.txt' },
      { root: served, bytes: Buffer.from('caf\u00e9', 'latin1'), label: '[aria-label^="caf"]', inside: 'in-cafe.txt', first: 'notes.txt', sftp: true },
    ];
    const folderPath = (f) => Buffer.concat([Buffer.from(`${f.root}/`), f.bytes]);
    for (const f of folders) {
      fs.writeFileSync(path.join(f.root, f.first), 'top\n');
      fs.mkdirSync(folderPath(f));
      fs.chmodSync(folderPath(f), 0o755);
      fs.writeFileSync(Buffer.concat([folderPath(f), Buffer.from(`/${f.inside}`)]), 'inside\n');
      // The SFTP account changes the mode of its own folder only.
      if (f.sftp) {
        const [uid, gid] = ['-u', '-g'].map((o) => Number(execFileSync('id', [o, account.name]).toString()));
        for (const p of [folderPath(f), Buffer.concat([folderPath(f), Buffer.from(`/${f.inside}`)])]) fs.chownSync(p, uid, gid);
      }
    }
    const sshd = await startSshd(t, keysDir);
    const ftpPort = await startFtpServer(t, ftpRoot, 1 << 24);
    await session(t, {
      chromium, suite: 'remote', dir: path.join(artefacts, `remote-${profile}`), viewport, env,
      run: async (s) => {
        const { page, front } = s;
        const field = (name) => front().getByLabel(name, { exact: true });
        for (const [i, f] of folders.entries()) {
          if (f.sftp) {
            await clickSeen(s.button('Disconnect'));
            await field('Server').waitFor();
            await clickSeen(front().locator('[role=tablist] button.seg', { hasText: /^SFTP$/ }));
            for (const [name, text] of [['Server', `127.0.0.1:${sshd.port}${served}`], ['User Name', account.name], ['Password', account.password]])
              await typeInto(field(name), text);
            await clickSeen(s.button('Connect'));
            await s.row(f.first).waitFor({ timeout: scaled(60000) });
          } else {
            await connectAnonymousFtp(s, ftpPort, f.first);
          }
          const row = front().locator(`.cell${f.label}`);
          await row.waitFor();
          await clickSeen(row.locator('.accessory'));
          await clickSeen(s.sheetButton('Permissions (CHMOD)'));
          const toggle = front().getByRole('button', { name: 'Group Write', exact: true });
          await toggle.waitFor();
          await clickSeen(toggle);
          await clickSeen(s.button('Save'));
          await waitFor(() => (fs.statSync(folderPath(f)).mode & 0o777) === 0o775, 'the mode 775 on the server', 20000);
          // The folder's bar back, Refresh, and its bar back again.
          const refresh = s.button('Refresh').filter({ visible: true }).first();
          await refresh.waitFor();
          await clickSeen(refresh);
          await waitFor(async () => (await s.button('Refresh').filter({ visible: true }).count()) > 0 &&
            !(await front().locator('.v-label', { hasText: /Directory|Connecting/ }).filter({ visible: true }).count()),
          'the folder listed again, its bar back');
          await row.waitFor();
          await s.screen(`permissions-saved-${i}`);
          // One click: the folder opens.
          await clickSeen(row);
          await s.row(f.inside).waitFor({ timeout: scaled(10000) });
          await s.screen(`opened-at-first-click-${i}`);
          await clickSeen(front().locator('.navbar .back'));
          await s.row(f.first).waitFor();
        }
        assert.equal(await page.locator('.alert').count(), 0);
      },
    });
  });

  test(`${profile}: an FTP file moved onto a name the other folder holds stays, and "File Name Error" says why`, async (t) => {
    const ftpRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-ftp-'));
    t.after(() => fs.rmSync(ftpRoot, { recursive: true, force: true }));
    fs.mkdirSync(path.join(ftpRoot, 'sub'));
    fs.writeFileSync(path.join(ftpRoot, 'x.txt'), 'mine\n');
    fs.writeFileSync(path.join(ftpRoot, 'sub', 'x.txt'), 'theirs, which nothing may replace unasked\n');
    const ftpPort = await startFtpServer(t, ftpRoot, 1 << 24);
    await session(t, {
      chromium, suite: 'remote', dir: path.join(artefacts, `remote-${profile}`), viewport, env,
      run: async (s) => {
        const { page, row } = s;
        await connectAnonymousFtp(s, ftpPort, 'x.txt');
        await clickSeen(row('x.txt').locator('.accessory'));
        await clickSeen(s.sheetButton('Move File'));
        // The folder chosen, the chooser is left: the move is made then.
        await clickSeen(row('sub'));
        await clickSeen(s.front().locator('.navbar .back'));
        const alert = page.locator('.alert[aria-label="File Name Error"]');
        await alert.waitFor();
        assert.match(await alert.textContent(), /A file with that name already exists in the folder\./);
        await s.screen('ftp-move-onto-taken-name');
        await clickSeen(alert.locator('button', { hasText: 'OK' }));
        await alert.waitFor({ state: 'detached' });
        await row('x.txt').waitFor();
        assert.equal(fs.readFileSync(path.join(ftpRoot, 'x.txt'), 'utf8'), 'mine\n');
        assert.equal(fs.readFileSync(path.join(ftpRoot, 'sub', 'x.txt'), 'utf8'),
          'theirs, which nothing may replace unasked\n');
      },
    });
  });

  test(`${profile}: a new host key turned down, a refusing server, and a row's menu button`, async (t) => {
    const served = fs.mkdtempSync('/tmp/r-');
    const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-keys-'));
    const ftpRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-ftp-'));
    t.after(() => {
      for (const d of [served, keysDir, ftpRoot]) fs.rmSync(d, { recursive: true, force: true });
    });
    fs.chmodSync(served, 0o777);
    fs.writeFileSync(path.join(served, 'notes.txt'), 'notes\n');
    for (const name of ['b.txt', 'c.txt']) fs.writeFileSync(path.join(ftpRoot, name), `${name}\n`);
    const sshd = await startSshd(t, keysDir);
    const ftpPort = await startFtpServer(t, ftpRoot, 1 << 24);
    const dir = path.join(artefacts, `remote-${profile}`);
    await session(t, {
      chromium, suite: 'remote', dir, viewport, env,
      prepare: (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        fs.writeFileSync(path.join(home, 'Documents', 'Files', 'kept.txt'), 'kept\n');
      },
      run: async ({ page, front, screen, button, row, tab, sheet, sheetButton }) => {
        const field = (name) => front().getByLabel(name, { exact: true });
        const onConnectScreen = async () => (await field('Server').count()) > 0 && (await field('Server').isVisible());
        const connectSeen = () => waitFor(onConnectScreen, 'the connect screen', 30000);
        const disconnectShown = async () => (await button('Disconnect').count()) > 0 && (await button('Disconnect').isVisible());

        // Over SFTP once: the server's key is remembered.
        for (const [name, text] of [['Server', `sftp://127.0.0.1:${sshd.port}${served}`], ['User Name', account.name], ['Password', account.password]])
          await typeInto(field(name), text);
        await clickSeen(button('Connect'));
        await row('notes.txt').waitFor({ timeout: scaled(60000) });
        await clickSeen(button('Disconnect'));
        await connectSeen();

        // The server made its keys anew; the person is asked, and turns the new key down.
        await sshd.renew();
        await clickSeen(button('Connect'));
        const alert = page.locator('.alert[aria-label="Host Key Changed"]');
        await alert.waitFor({ timeout: scaled(60000) });
        // Under the question the folder screen's status is a few words, whole, not the question
        // cut to one line.
        const status = page.locator('#screen .v-label', { hasText: 'Host key changed' }).filter({ visible: true }).first();
        await status.waitFor({ timeout: scaled(20000) });
        const shown = await status.evaluate((el) => ({
          text: el.textContent.trim(),
          cut: el.scrollWidth > el.clientWidth + 1 || el.scrollHeight > el.clientHeight + 1,
        }));
        assert.equal(shown.text, 'Host key changed');
        assert.ok(!shown.cut, 'the status under the question is cut');
        assert.equal(await page.locator('#screen .v-label', { hasText: 'The host key of' }).filter({ visible: true }).count(), 0,
          'the question is repeated in the status line');
        await screen('host-key-asked');
        await clickSeen(alert.locator('button', { hasText: 'Cancel' }));
        await alert.waitFor({ state: 'detached' });
        // Nothing was connected: the connect screen, with its fields and Connect, and no empty
        // folder screen left behind.
        await connectSeen();
        await waitFor(async () => !(await disconnectShown()), 'no Disconnect once back');
        assert.equal(await row('notes.txt').count(), 0);
        await screen('host-key-turned-down');

        // The SSH server stopped: the port refuses at once, and the help page says so.
        await sshd.stop();
        await clickSeen(button('Connect'));
        const help = page.frameLocator('iframe[data-web][title$="/error-sftp-refused.html"]');
        await help.locator('h1', { hasText: 'The SFTP server refused the connection' }).waitFor({ timeout: scaled(30000) });
        assert.equal(await page.locator('iframe[data-web][title$="/error-sftp-timeout.html"]').count(), 0);
        await screen('refused-explained');
        await clickSeen(button('Done'));
        await connectSeen();

        // A row's menu button over FTP: the row becomes the checked one (b.txt was) and its menu
        // opens; left, the row stays checked, and the next click on it takes the mark away.
        await clickSeen(front().locator('[role=tablist] button.seg', { hasText: /^FTP$/ }));
        for (const [name, text] of [['Server', `127.0.0.1:${ftpPort}`], ['User Name', 'anonymous'], ['Password', 'guest']])
          await typeInto(field(name), text);
        await clickSeen(button('Connect'));
        await row('c.txt').waitFor({ timeout: scaled(60000) });
        await clickSeen(row('b.txt'));
        await waitFor(async () => JSON.stringify(await checkedRows(front)) === '["b.txt"]', 'b.txt checked');
        const leaveMenuOf = async (name, entry) => {
          await clickSeen(row(name).locator('.accessory'));
          await sheetButton(entry).waitFor();
          await screen(`menu-of-${name}`);
          if (await sheetButton('Cancel').count()) await clickSeen(sheetButton('Cancel'));
          else await page.keyboard.press('Escape'); // the tablet's menu by its row has no Cancel
          await sheet.waitFor({ state: 'detached' });
        };
        await leaveMenuOf('c.txt', 'Rename File');
        await waitFor(async () => JSON.stringify(await checkedRows(front)) === '["c.txt"]', 'c.txt checked by its menu button');
        await button('Edit').waitFor(); // the button of the checked file
        await screen('checked-after-menu');
        await clickSeen(row('c.txt'));
        await waitFor(async () => JSON.stringify(await checkedRows(front)) === '[]', 'the mark taken away by the next click');
        // The menu's move list shows its pictures; left as it opened, it moves nothing.
        await clickSeen(row('c.txt').locator('.accessory'));
        await clickSeen(sheetButton('Move File'));
        await front().locator('.navbar', { hasText: 'Move c.txt' }).waitFor();
        await screen('move-list');
        await clickSeen(front().locator('.navbar .back'));
        await row('c.txt').waitFor();
        assert.ok(fs.existsSync(path.join(ftpRoot, 'c.txt')), 'c.txt moved');
        await clickSeen(button('Disconnect'));
        await connectSeen();

        // The same in Saved Files.
        await tab('Saved Files');
        await row('kept.txt').waitFor({ timeout: scaled(20000) });
        await leaveMenuOf('kept.txt', 'Rename File');
        await waitFor(async () => JSON.stringify(await checkedRows(front)) === '["kept.txt"]', 'kept.txt checked by its menu button');
        await button('Edit').waitFor();
        await screen('saved-files-checked-after-menu');
        await clickSeen(row('kept.txt'));
        await waitFor(async () => JSON.stringify(await checkedRows(front)) === '[]', 'the mark taken away by the next click');
      },
    });
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: the beginning of a big file over SFTP is shown, never saved back`, async (t) => {
    const served = fs.mkdtempSync('/tmp/r-');
    const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-keys-'));
    t.after(() => {
      for (const d of [served, keysDir]) fs.rmSync(d, { recursive: true, force: true });
    });
    fs.chmodSync(served, 0o777);
    const big = '0123456789abcdef\n'.repeat(1 << 17); // 2 MiB: over every device's limit
    fs.writeFileSync(path.join(served, 'big.txt'), big);
    const sshd = await startSshd(t, keysDir);
    await session(t, {
      chromium, suite: 'remote-head', dir: path.join(artefacts, `remote-${profile}`), viewport, env,
      run: async ({ page, front, screen, button, row, sheetButton }) => {
        const field = (name) => front().getByLabel(name, { exact: true });
        for (const [name, text] of [['Server', `sftp://127.0.0.1:${sshd.port}${served}`], ['User Name', account.name], ['Password', account.password]])
          await typeInto(field(name), text);
        await clickSeen(button('Connect'));
        await row('big.txt').waitFor({ timeout: scaled(60000) });
        // A click checks the row (a second one takes the mark away): clicked until View shows.
        for (let tries = 0; tries < 3 && !(await button('View').count()); tries++) {
          await clickSeen(row('big.txt'));
          await waitFor(async () => (await button('View').count()) > 0, 'the View button', 3000).catch(() => {});
        }
        await clickSeen(button('View'));
        await clickSeen(sheetButton('View Beginning (Head)'));
        const text = page.locator('#screen textarea').filter({ visible: true }).first();
        await waitFor(async () => (await text.count()) && (await text.inputValue()).startsWith('0123456789abcdef\n'),
          'the beginning in the editor', 60000);
        assert.ok((await text.inputValue()).length < big.length, 'the whole file was shown');
        // The phone offers no Save for it; the tablet's bar ends with Save, which cannot be used.
        const save = page.locator('#screen').getByRole('button', { name: 'Save', exact: true });
        if (profile === 'phone') {
          assert.equal(await save.count(), 0, 'the part of the file can be saved over the whole');
        } else {
          assert.equal(await save.count(), 1, 'the tablet\'s bar without its Save button');
          assert.ok(await save.isDisabled(), 'the part of the file can be saved over the whole');
          const last = await save.evaluate((b) => b === b.parentElement.lastElementChild);
          assert.ok(last, 'Save is not the last item of the bar');
        }
        await screen('sftp-head-view');
        assert.equal(fs.readFileSync(path.join(served, 'big.txt'), 'utf8'), big);
      },
    });
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: over SFTP a name with a line feed is a row, a refused folder delete says why, a refused download says so on its row`, async (t) => {
    const served = fs.mkdtempSync('/tmp/r-');
    const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-keys-'));
    t.after(() => {
      for (const d of [served, keysDir]) fs.rmSync(d, { recursive: true, force: true });
    });
    fs.chmodSync(served, 0o777);
    fs.mkdirSync(path.join(served, 'full'));
    fs.writeFileSync(path.join(served, 'full', 'inside.txt'), 'inside\n');
    fs.writeFileSync(Buffer.from(`${served}/new\nline.txt`), 'with a line feed\n');
    // The file the login may not read: a Latin-1 name on the phone, an ASCII one on the tablet.
    const refused = profile === 'phone' ? Buffer.from('caf\u00e9.txt', 'latin1') : Buffer.from('secret.txt');
    const refusedRow = profile === 'phone' ? 'caf\u00e9.txt' : 'secret.txt';
    fs.writeFileSync(Buffer.concat([Buffer.from(`${served}/`), refused]), 'not yours\n');
    fs.chmodSync(Buffer.concat([Buffer.from(`${served}/`), refused]), 0);
    const sshd = await startSshd(t, keysDir);
    await session(t, {
      chromium, suite: 'remote-refusals', dir: path.join(artefacts, `remote-${profile}`), viewport, env,
      run: async ({ page, front, screen, button, row, tab, sheetButton }) => {
        const field = (name) => front().getByLabel(name, { exact: true });
        for (const [name, text] of [['Server', `sftp://127.0.0.1:${sshd.port}${served}`], ['User Name', account.name], ['Password', account.password]])
          await typeInto(field(name), text);
        await clickSeen(button('Connect'));
        await row('full').waitFor({ timeout: scaled(60000) });
        // The line feed reads as U+FFFD, as any byte the screens cannot show.
        await row('new\ufffdline.txt').waitFor({ timeout: scaled(20000) });
        await screen('sftp-control-byte-row');

        // A folder that holds a file: the server refuses, and the person is told why.
        await clickSeen(row('full').locator('.accessory'));
        await clickSeen(sheetButton('Delete Folder'));
        const confirm = page.locator('.alert[aria-label="Confirm Folder Delete"]');
        await clickSeen(confirm.locator('button', { hasText: 'Delete' }));
        const refusal = page.locator('.alert[aria-label="Error from FTP Server"]');
        await refusal.waitFor({ timeout: scaled(30000) });
        const said = await refusal.textContent();
        assert.ok(said.includes('Error Deleting Directory!'), said);
        assert.ok(said.includes('(You may need to delete files in this folder before deleting the folder.)'), said);
        await screen('sftp-folder-delete-refused');
        await clickSeen(refusal.locator('button', { hasText: 'OK' }));
        await refusal.waitFor({ state: 'detached' });
        await row('full').waitFor({ timeout: scaled(30000) });
        assert.ok(fs.existsSync(path.join(served, 'full', 'inside.txt')), 'the folder lost its file');
        await screen('sftp-folder-kept');

        // The download the server will not open: its row in Transfers ends saying so.
        await clickUntil(row(refusedRow), async () => (await button('Download').count()) > 0, 'the Download button');
        await clickSeen(button('Download'));
        await tab('Transfers');
        const queued = front().locator(`.cell[aria-label="${refusedRow}"]`);
        const line = queued.locator('.v-label', { hasText: 'Error Downloading File! Permission denied.' });
        await line.waitFor({ state: 'visible', timeout: scaled(60000) });
        assert.equal(await queued.locator('.v-label', { hasText: 'Downloading...' }).filter({ visible: true }).count(), 0);
        await screen('sftp-download-refused');
      },
    });
  });
}

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: over FTP a name with a blank at its end is a row of its own, checked and deleted alone`, async (t) => {
    const ftpRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-remote-ftp-'));
    t.after(() => fs.rmSync(ftpRoot, { recursive: true, force: true }));
    const files = { 'trail.txt ': 'twenty bytes of it.\n', 'trail.txt': 'twenty-three bytes here\n', ' lead.txt': 'the one with a blank\n', 'lead.txt': 'the one without a blank\n' };
    for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(ftpRoot, name), text);
    const ftpPort = await startFtpServer(t, ftpRoot, 1 << 24);
    await session(t, {
      chromium, suite: 'remote-blanks', dir: path.join(artefacts, `remote-${profile}`), viewport, env,
      run: async (s) => {
        const { page, front, row } = s;
        await connectAnonymousFtp(s, ftpPort, 'trail.txt');
        for (const name of Object.keys(files)) assert.equal(await row(name).count(), 1, `one row "${name}"`);
        // A click checks the one row, not the one that reads alike.
        await clickUntil(row('trail.txt '), async () => JSON.stringify(await checkedRows(front)) === '["trail.txt "]', 'the row "trail.txt " checked');
        await s.screen('ftp-blank-checked');
        await clickSeen(row('trail.txt ').locator('.accessory'));
        await clickSeen(s.sheetButton('Delete File'));
        const confirm = page.locator('.alert[aria-label="Confirm File Delete"]');
        await clickSeen(confirm.locator('button', { hasText: 'Delete' }));
        await waitFor(() => !fs.existsSync(path.join(ftpRoot, 'trail.txt ')), 'the file "trail.txt " deleted', 30000);
        await row('trail.txt ').waitFor({ state: 'detached', timeout: scaled(30000) });
        await s.screen('ftp-blank-deleted');
        assert.deepEqual(fs.readdirSync(ftpRoot).sort(), ['trail.txt', ' lead.txt', 'lead.txt'].sort());
        for (const name of ['trail.txt', ' lead.txt', 'lead.txt']) assert.equal(fs.readFileSync(path.join(ftpRoot, name), 'utf8'), files[name]);
        // The folder is listed again after the delete: the other name's row is drawn once more.
        await waitFor(async () => (await row('trail.txt').count()) === 1, 'the row "trail.txt" listed again', 30000);
        assert.equal(await row('trail.txt ').count(), 0);
      },
    });
  });
}

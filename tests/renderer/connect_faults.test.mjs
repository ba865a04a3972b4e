// What a person meets at the connect screen when a connection goes otherwise than planned, on the
// phone and on the tablet, with the mouse and the keyboard only (each click checked to land on
// what lies there), against OpenSSH's sshd (Debian's host keys: RSA, ECDSA, Ed25519) and pyftpdlib:
// - the server's host keys were made anew: "Host Key Changed" shows the remembered and the new
//   fingerprint whole, each inside the alert, and after "Accept New Key" the folder is listed;
// - Connect double-clicked, over SFTP and over FTP: one folder screen, which one "Disconnect"
//   leaves for the connect screen.
// The account is made for the test and removed after it. Screenshots go to
// $RENDERER_ARTEFACTS/connect-<profile>.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { clickSeen, session, startFtpServer, typeInto, waitFor, whatLiesAt, artefacts, profiles, scaled } from '../support/person.mjs';
import { makeAccount, removeAccount, startSshd } from '../support/sshd.mjs';

const account = makeAccount();
after(() => removeAccount(account));

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: a changed host key shown whole and accepted, and Connect double-clicked`, async (t) => {
    const served = fs.mkdtempSync('/tmp/c-');
    const keysDir = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-connect-keys-'));
    const ftpRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'ferrowen-connect-ftp-'));
    t.after(() => {
      for (const d of [served, keysDir, ftpRoot]) fs.rmSync(d, { recursive: true, force: true });
    });
    fs.chmodSync(served, 0o777);
    fs.writeFileSync(path.join(served, 'notes.txt'), 'notes\n');
    fs.writeFileSync(path.join(ftpRoot, 'plain.txt'), 'plain\n');
    const sshd = await startSshd(t, keysDir);
    const ftpPort = await startFtpServer(t, ftpRoot, 1 << 24);
    const dir = path.join(artefacts, `connect-${profile}`);
    await session(t, {
      chromium, suite: 'connect', dir, viewport, env,
      run: async ({ page, home, front, screen, button, row }) => {
        const field = (name) => front().getByLabel(name, { exact: true });
        const onConnectScreen = async () => (await field('Server').count()) > 0 && (await field('Server').isVisible());
        const disconnect = async () => {
          await clickSeen(button('Disconnect'));
          await waitFor(onConnectScreen, 'the connect screen');
        };
        // A double click at the centre of Connect, once nothing covers it.
        const doubleClickConnect = async () => {
          const connect = button('Connect');
          await connect.waitFor();
          const b = await connect.boundingBox();
          const [x, y] = [b.x + b.width / 2, b.y + b.height / 2];
          assert.ok(await connect.evaluate((e, [px, py]) => e.contains(document.elementFromPoint(px, py)), [x, y]),
            `Connect is not what lies at its centre: ${await whatLiesAt(page, x, y)}`);
          await page.mouse.dblclick(x, y);
        };
        // The second click of a double click may reach the page after the model has put the
        // folder screen in front: the page then tells of a refused click for a moment (its own
        // way with any click on what has gone), which is waited out before the screen is judged.
        const refusalGone = () => waitFor(() => page.locator('#toast').isHidden(), 'the refusal note gone', 10000);

        // Over SFTP once: the server's key is remembered.
        for (const [name, text] of [['Server', `sftp://127.0.0.1:${sshd.port}${served}`], ['User Name', account.name], ['Password', account.password]])
          await typeInto(field(name), text);
        await clickSeen(button('Connect'));
        await row('notes.txt').waitFor({ timeout: scaled(60000) });
        await disconnect();
        const settings = () => JSON.parse(fs.readFileSync(path.join(home, 'Preferences.json'), 'utf8'));
        const remembered = settings()[`SSH-hostkey-127.0.0.1:${sshd.port}`];
        assert.match(remembered || '', /^ssh-\S+ \d+ [0-9a-f:]+$/);

        // The server made its keys anew: the question, with both keys whole.
        await sshd.renew();
        await clickSeen(button('Connect'));
        const alert = page.locator('.alert[aria-label="Host Key Changed"]');
        await alert.waitFor({ timeout: scaled(60000) });
        const message = await alert.locator('.message').textContent();
        const lines = message.split('\n');
        const now = lines[lines.indexOf('Now:') + 1];
        assert.equal(lines[lines.indexOf('Remembered:') + 1], remembered, message);
        // The new one is one of the server's new keys ("ssh-ed25519 256 aa:bb:...").
        const [type, , md5] = now.split(' ');
        const kind = type.startsWith('ecdsa') ? 'ecdsa' : type.replace(/^ssh-/, '');
        assert.equal(md5, sshd.md5(kind), message);
        // Every line box of each fingerprint lies inside the message and the alert, nothing of it
        // scrolled or cut off to the side.
        const placement = await alert.evaluate((box, prints) => {
          const text = box.querySelector('.message');
          // The message's text, which may lie in several nodes (a fingerprint is set apart).
          const nodes = [];
          const walker = document.createTreeWalker(text, NodeFilter.SHOW_TEXT);
          while (walker.nextNode()) nodes.push(walker.currentNode);
          const whole = nodes.map((n) => n.data).join('');
          const place = (offset) => {
            for (const n of nodes) {
              if (offset <= n.data.length) return [n, offset];
              offset -= n.data.length;
            }
            return [nodes[nodes.length - 1], nodes[nodes.length - 1].data.length];
          };
          const outer = box.getBoundingClientRect();
          const inner = text.getBoundingClientRect();
          const out = [];
          if (text.scrollWidth > text.clientWidth + 1) out.push(`the message is ${text.scrollWidth} wide in ${text.clientWidth}`);
          if (box.scrollWidth > box.clientWidth + 1) out.push(`the alert is ${box.scrollWidth} wide in ${box.clientWidth}`);
          for (const print of prints) {
            const at = whole.indexOf(print);
            if (at < 0) { out.push(`"${print}" is not in the message`); continue; }
            const range = document.createRange();
            range.setStart(...place(at));
            range.setEnd(...place(at + print.length));
            for (const r of range.getClientRects()) {
              if (r.width < 0.5) continue;
              if (r.left < inner.left - 0.5 || r.right > inner.right + 0.5 || r.left < outer.left || r.right > outer.right ||
                  r.top < outer.top || r.bottom > outer.bottom)
                out.push(`part of "${print}" lies at ${Math.round(r.left)}..${Math.round(r.right)} x ${Math.round(r.top)}..${Math.round(r.bottom)}, outside the alert ${Math.round(outer.left)}..${Math.round(outer.right)} x ${Math.round(outer.top)}..${Math.round(outer.bottom)}`);
            }
          }
          return out;
        }, [remembered, now]);
        assert.deepEqual(placement, [], `the fingerprints cannot be read whole:\n${placement.join('\n')}`);
        await screen('host-key-changed');
        await clickSeen(alert.locator('button', { hasText: 'Accept New Key' }));
        // Listed at once, with no Refresh.
        await row('notes.txt').waitFor({ timeout: scaled(60000) });
        await screen('accepted-and-listed');
        assert.equal(settings()[`SSH-hostkey-127.0.0.1:${sshd.port}`], now);
        await disconnect();

        // Connect double-clicked over SFTP: one folder screen.
        await doubleClickConnect();
        await row('notes.txt').waitFor({ timeout: scaled(60000) });
        await disconnect();

        // And over FTP, the first FTP connection of the program (made on a thread of its own).
        await clickSeen(front().locator('[role=tablist] button.seg', { hasText: /^FTP$/ }));
        for (const [name, text] of [['Server', `127.0.0.1:${ftpPort}`], ['User Name', 'anonymous'], ['Password', 'guest']])
          await typeInto(field(name), text);
        await doubleClickConnect();
        await row('plain.txt').waitFor({ timeout: scaled(60000) });
        await refusalGone();
        await screen('ftp-listed-after-double-click');
        await disconnect();
        await screen('back-on-the-connect-screen');
      },
    });
  });
}

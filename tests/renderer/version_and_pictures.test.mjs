// What a person meets on the phone, mouse and keyboard only:
// - on a system older than 4.0, SFTP asked for (by the segment, or by "sftp://" in the address) is
//   refused with an alert that names the system's version and the device, and answered with OK the
//   connect screen is as it was;
// - a large upright picture picked into Cloud Files is stored whole.
// Screenshots go to $RENDERER_ARTEFACTS/version-and-pictures.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { clickSeen, pictureSize, session, typeInto, waitFor, writePicture, scaled } from '../support/person.mjs';

const artefacts = process.env.RENDERER_ARTEFACTS || path.join(os.tmpdir(), 'ferrowen-renderer');
const dir = path.join(artefacts, 'version-and-pictures');
const phone = { chromium, suite: 'version-and-pictures', dir, viewport: { width: 390, height: 844 } };

test('phone on system 3.1.3: SFTP is refused with the version and the device named', async (t) => {
  await session(t, {
    ...phone,
    env: { FERROWEN_SYSTEM_VERSION: '3.1.3', FERROWEN_MODEL: 'iPod touch' },
    run: async (s) => {
      const { page, front, button } = s;
      const server = front().getByLabel('Server');
      const refused = async (name) => {
        await clickSeen(button('Connect'));
        const alert = page.locator('.alert[aria-label="Higher iOS Version Needed"]');
        await alert.waitFor({ timeout: scaled(20000) });
        assert.equal(await alert.locator('.message').textContent(),
          'The SFTP connection type requires iOS 4.0 or higher.\n(You have version 3.1.3).\n\n' +
          'Please update the iOS version on your iPod touch.');
        await s.screen(name);
        await clickSeen(page.locator('.alert button', { hasText: 'OK' }));
        await page.locator('.alert').waitFor({ state: 'detached' });
        // Still the connect screen, its fields as typed: nothing connected.
        await button('Connect').waitFor();
        assert.equal(await button('Disconnect').count(), 0);
      };
      // The segment.
      await typeInto(server, '127.0.0.1');
      await clickSeen(front().getByRole('tab', { name: 'SFTP', exact: true }));
      await refused('sftp-segment-refused');
      assert.equal(await server.inputValue(), '127.0.0.1');
      // The address, with FTP chosen.
      await clickSeen(front().getByRole('tab', { name: 'FTP', exact: true }));
      await typeInto(server, 'sftp://127.0.0.1');
      await refused('sftp-address-refused');
      assert.equal(await server.inputValue(), 'sftp://127.0.0.1');
      await s.screen('connect-after');
    },
  });
});

test('phone: a large upright picture picked into Cloud Files is stored whole', async (t) => {
  await session(t, {
    ...phone,
    prepare: (home) => {
      fs.mkdirSync(path.join(home, 'Pictures', 'Holidays'), { recursive: true });
      writePicture(path.join(home, 'Pictures', 'Holidays', 'wide.png'), 3200, 40);
    },
    run: async (s) => {
      const { home, front, row, button } = s;
      await s.tab('Saved Files');
      await clickSeen(row('Cloud Files'));
      await front().locator('.navbar', { hasText: 'Cloud Files' }).waitFor();
      await clickSeen(button('Menu'));
      await clickSeen(s.sheetButton('Import Picture/Video'));
      await clickSeen(front().locator('.cell[aria-label="Holidays"]'));
      await front().locator('.navbar', { hasText: 'Holidays' }).waitFor();
      await clickSeen(front().locator('.cell[aria-label="wide.png"]'));
      const name = front().getByLabel('File Name:');
      await typeInto(name, 'wide');
      await clickSeen(front().getByRole('tab', { name: 'PNG', exact: true }));
      await clickSeen(button('Done'));
      await row('wide.png').waitFor({ timeout: scaled(20000) });
      const stored = path.join(home, 'Cloud', 'wide.png');
      await waitFor(() => fs.existsSync(stored), 'the picture in the cloud folder');
      assert.deepEqual(pictureSize(stored), [3200, 40]);
      await s.screen('cloud-files');
    },
  });
});

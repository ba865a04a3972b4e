// The image editor's canvas zooms as a person zooms in the browser, on the phone (390x844) and on
// the tablet (1280x800): Ctrl + wheel (a trackpad's pinch reaches the page as one) makes the
// picture drawn on the screen larger or smaller, between a fifth and twice its pixels; larger than
// the canvas, the picture scrolls (the wheel brings its other corner into view); and a crop made
// after zooming keeps the part of the picture its rectangle covered. Screenshots go to
// $RENDERER_ARTEFACTS/image-zoom-<profile>.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import {
  clickSeen, meanColour, openImageEditor, overlayBox, pictureSize, session, waitFor, writePicture, artefacts, profiles, scaled,
} from '../support/person.mjs';

// The quarters' colours of the picture that writePicture makes.
const red = [200, 40, 40];
const yellow = [220, 200, 40];
const near = (a, b) => a.every((v, i) => Math.abs(v - b[i]) < 30);

for (const [profile, viewport, env] of profiles) {
  test(`${profile}: Ctrl + wheel zooms the image editor's picture, which scrolls and crops where it was`, async (t) => {
    const [pw, ph] = [1600, 1200];
    await session(t, {
      chromium, suite: 'image-zoom', dir: path.join(artefacts, `image-zoom-${profile}`), viewport, env,
      prepare: (home) => {
        fs.mkdirSync(path.join(home, 'Documents', 'Files'), { recursive: true });
        writePicture(path.join(home, 'Documents', 'Files', 'picture.png'), pw, ph);
      },
      run: async (s) => {
        const { page, front } = s;
        const { picture, drawn } = await openImageEditor(s, 'picture.png');
        await waitFor(() => drawn.evaluate((i) => i.complete && i.naturalWidth > 0), 'the picture drawn');
        const canvas = picture.locator('xpath=ancestor::*[contains(concat(" ", @class, " "), " v-scroll ")][1]');
        const area = await canvas.boundingBox();
        // The device's points on the screen: the page draws the device scaled.
        const scale = Number(await page.evaluate(() => document.body.dataset.scale));
        // How many of the picture's pixels one point of the screen shows: the drawn picture's
        // width on the screen against the picture's.
        const zoomShown = async () => (await drawn.boundingBox()).width / scale / pw;
        const opened = await zoomShown();
        const fit = Math.min(1, area.width / scale / pw, area.height / scale / ph);
        assert.ok(Math.abs(opened - Math.max(0.2, fit)) < 0.01, `opened at ${opened}, not the fit ${fit}`);

        // Ctrl + wheel over the middle of the canvas.
        const centre = { x: area.x + area.width / 2, y: area.y + area.height / 2 };
        const zoomWheel = async (deltaY, times) => {
          await page.mouse.move(centre.x, centre.y);
          await page.keyboard.down('Control');
          for (let i = 0; i < times; i++) {
            await page.mouse.wheel(0, deltaY);
            await page.waitForTimeout(40);
          }
          await page.keyboard.up('Control');
        };
        await zoomWheel(-100, 2);
        const larger = await waitFor(async () => { const z = await zoomShown(); return z > opened * 1.3 && z; },
          `the picture drawn larger (${await zoomShown()} of its pixels a point)`);
        await s.screen('zoomed-in');
        // At most twice its pixels.
        await zoomWheel(-100, 20);
        await waitFor(async () => Math.abs((await zoomShown()) - 2) < 0.02, `zoomed to twice the pixels, not ${await zoomShown()}`);
        await page.waitForTimeout(300);
        assert.ok(Math.abs((await zoomShown()) - 2) < 0.02, 'no further than twice the pixels');
        assert.ok(larger < 2);

        // Larger than the canvas, it scrolls: the middle of the canvas shows the picture, and the
        // wheel brings its bottom-right (yellow) quarter to the canvas' corner, where its
        // top-left (red) quarter showed at the top left.
        const colourAt = async (x, y) => meanColour(page, await page.screenshot({ clip: { x: x - 3, y: y - 3, width: 6, height: 6 } }));
        const inside = 12 * scale;
        const hit = await page.evaluate(([x, y]) => document.elementFromPoint(x, y).closest('[aria-label]')?.getAttribute('aria-label'), [centre.x, centre.y]);
        assert.equal(hit, 'Picture');
        await page.mouse.move(centre.x, centre.y);
        for (let i = 0; i < 40; i++) await page.mouse.wheel(-400, -400);
        await waitFor(async () => near(await colourAt(area.x + inside, area.y + inside), red), 'the top-left quarter at the top left');
        await s.screen('zoomed-top-left');
        const cornerBefore = await colourAt(area.x + area.width - inside, area.y + area.height - inside);
        assert.ok(!near(cornerBefore, yellow), `the bottom-right quarter shows before scrolling: ${cornerBefore}`);
        for (let i = 0; i < 40; i++) await page.mouse.wheel(400, 400);
        await waitFor(async () => near(await colourAt(area.x + area.width - inside, area.y + area.height - inside), yellow),
          'the bottom-right quarter scrolled to the corner');
        await s.screen('zoomed-bottom-right');
        // The page loaded again shows the same zoom and the same part of the picture.
        await page.reload();
        await drawn.waitFor();
        await waitFor(async () => Math.abs((await zoomShown()) - 2) < 0.02, 'the zoom kept after a reload');
        await waitFor(async () => near(await colourAt(area.x + area.width - inside, area.y + area.height - inside), yellow),
          'the part shown kept after a reload');

        // At least a fifth of its pixels.
        await zoomWheel(100, 40);
        await waitFor(async () => Math.abs((await zoomShown()) - 0.2) < 0.01, `zoomed out to a fifth, not ${await zoomShown()}`);
        await s.screen('zoomed-out');

        // Zoomed in again, then cropped with the rectangle the crop starts with: the picture kept
        // is the part under that rectangle, where the crop area shows the whole picture fitted.
        await zoomWheel(-100, 6);
        await waitFor(async () => (await zoomShown()) > 0.5, 'zoomed in again');
        await clickSeen(s.button('Crop'));
        const crop = front().locator('[aria-label="Crop Area"]');
        const overlay = crop.locator('img').first();
        await waitFor(() => overlay.evaluate((i) => i.complete && i.naturalWidth > 0), 'the crop rectangle drawn');
        const drawnRect = await overlayBox(overlay);
        await s.screen('crop-after-zoom');
        // The handles reach beyond the rectangle by up to 16 points: it lies between the box drawn
        // and that box 16 points in, over the picture fitted in the area.
        const f = Math.min(drawnRect.width / pw, drawnRect.height / ph);
        const [ox, oy] = [(drawnRect.width - pw * f) / 2, (drawnRect.height - ph * f) / 2];
        const kept = (from, to, offset, most) => Math.min(most, Math.max(0, (to - offset) / f)) - Math.min(most, Math.max(0, (from - offset) / f));
        const wide = [kept(drawnRect.left + 16, drawnRect.right - 16, ox, pw), kept(drawnRect.left, drawnRect.right, ox, pw)];
        const high = [kept(drawnRect.top + 16, drawnRect.bottom - 16, oy, ph), kept(drawnRect.top, drawnRect.bottom, oy, ph)];
        await clickSeen(s.button('Crop To Rect'));
        await crop.waitFor({ state: 'detached', timeout: scaled(30000) });
        await clickSeen(s.button('Save'));
        await clickSeen(page.getByRole('button', { name: 'Save to "Saved Files"', exact: true }));
        const saved = path.join(s.home, 'Documents', 'Files', 'picture.jpg');
        await waitFor(() => fs.existsSync(saved), 'the cropped picture in Saved Files', 30000);
        const [w, h] = pictureSize(saved);
        assert.ok(w >= wide[0] - 2 && w <= wide[1] + 2 && h >= high[0] - 2 && h <= high[1] + 2,
          `the saved picture is ${w}x${h}; the rectangle held ${wide.map(Math.round).join('-')} x ${high.map(Math.round).join('-')}`);
      },
    });
  });
}

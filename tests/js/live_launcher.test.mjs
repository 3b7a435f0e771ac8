// Live tests: the real page in Chromium, linked through the fake WebView2
// runtime to the real Veltrune.exe under Wine, patching from a loopback
// server a game published with veltrune-publish. The tests click as a
// player would and check what the page shows and what the launcher did.
// Each leaves a screenshot of the state it reached in build/screenshots/live/.
//
// Needs the Windows and native builds and a Wine prefix and display, as
// scripts/test.sh provides them; without them the tests are skipped.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { launchBrowser } from '../support/js/browser.mjs';
import { openLinkedPage } from '../support/js/page_link.mjs';
import {
  BIG_FILE, LiveLauncher, ROOT, liveParts, makeGame, publish, startPatchServer, waitFor,
} from '../support/js/live_launcher.mjs';

const parts = liveParts();
const skip = parts.missing.length ? `needs ${parts.missing.join(', ')}` : false;
const WORK = path.join(ROOT, 'build/live');
const SHOTS = path.join(ROOT, 'build/screenshots/live');

let browser;
let served = 0;

// One scenario's world: a published game, its server, a launcher started
// against it and the linked page.
async function setUp(name, { maintenance = 'off', beforeStart } = {}) {
  const base = path.join(WORK, name);
  const game = path.join(base, 'game-src');
  const files = makeGame(game, ++served);
  const out = path.join(base, 'served/Patch');
  publish(parts, game, out, { maintenance });
  const server = await startPatchServer(path.join(base, 'served'));
  const launcher = new LiveLauncher(parts, path.join(base, 'launcher'), server.url('/Patch/'));
  if (beforeStart) beforeStart(server);
  launcher.start();
  let link;
  try {
    link = await openLinkedPage(browser, launcher.portFile, { alive: () => launcher.alive() });
  } catch (e) {
    await launcher.stop();
    await server.close();
    e.message += ` (exit code ${launcher.exitCode}; see ${launcher.folder})`;
    throw e;
  }
  const world = {
    base, game, files, out, server, launcher, link, page: link.page,
    publish: (options) => publish(parts, game, out, options),
    async shot(file) {
      fs.mkdirSync(SHOTS, { recursive: true });
      await link.page.screenshot({ path: path.join(SHOTS, file) });
    },
    async tearDown() {
      await launcher.stop();
      await link.close();
      await server.close();
      assert.deepEqual(link.errors, [], 'errors in the page');
    },
  };
  return world;
}

const playEnabled = (page) => page.waitForFunction(() => !document.getElementById('play').disabled, null, { timeout: 60000 });
const shown = (page, selector) => page.locator(selector).waitFor({ state: 'visible', timeout: 60000 });

// Every published file is in the game folder with the published bytes.
function assertGameCurrent(w) {
  for (const [rel, body] of Object.entries(w.files)) {
    const file = path.join(w.launcher.folder, rel);
    assert.ok(fs.existsSync(file), `${rel} was not downloaded`);
    assert.ok(fs.readFileSync(file).equals(body), `${rel} differs from the published game`);
  }
}

async function closeByButton(w) {
  await w.page.click('#win-close');
  assert.equal(await w.launcher.waitExit(), 0, 'exit code after the close button');
  assert.equal(w.launcher.logLines().at(-1), 'Veltrune exiting');
}

describe('live: the page on Veltrune.exe', { skip, timeout: 600000 }, () => {
  before(async () => {
    fs.rmSync(WORK, { recursive: true, force: true });
    browser = await launchBrowser();
  });
  after(async () => {
    await browser?.close();
  });

  test('a full pass shows the download, ends ready, and Play with two clients starts two', { timeout: 120000 }, async () => {
    let stall;
    const w = await setUp('play', { beforeStart: (s) => { stall = s.stall(`/Patch/${BIG_FILE}.gz`, 400000); } });
    try {
      const { page } = w;
      // The page's own address passed the launcher's origin check.
      await waitFor(() => w.link.events.some((e) => e.evt === 'init'), 'init');
      assert.ok(!w.launcher.logLines().some((l) => l.includes('untrusted origin')), 'a page message was refused');
      await stall.reached;
      await waitFor(() => page.locator('#file-name').textContent().then((t) => t.includes('deep.bin')), 'the big file on show');
      assert.equal(await page.locator('#phase').textContent(), 'Downloading');
      assert.ok(await page.locator('#cancel').isVisible(), 'no Cancel while patching');
      assert.ok(await page.locator('#play').isDisabled(), 'Play offered while patching');
      await w.shot('patching.png');
      stall.release();

      await playEnabled(page);
      assert.equal(await page.locator('#phase').textContent(), 'Ready');
      assertGameCurrent(w);
      await w.shot('ready.png');

      await page.click('#clients-inc');
      assert.equal(await page.locator('#clients-value').textContent(), '2');
      await page.click('#play');
      await w.shot('play.png');
      assert.equal(await w.launcher.waitExit(), 0, 'exit code after Play');
      const starts = w.launcher.starts();
      assert.equal(starts.length, 2, 'client starts');
      for (const s of starts) assert.equal(s.cwd.toLowerCase(), `z:${w.launcher.folder.replace(/\//g, '\\')}`.toLowerCase());
    } finally {
      await w.tearDown();
    }
  });

  test('Cancel stops the download and Resume finishes it', { timeout: 120000 }, async () => {
    let stall;
    const w = await setUp('cancel', { beforeStart: (s) => { stall = s.stall(`/Patch/${BIG_FILE}.gz`, 300000); } });
    try {
      const { page } = w;
      await stall.reached;
      await shown(page, '#cancel');
      await page.click('#cancel');
      await shown(page, '#resume');
      // The body goes on only once the launcher has the cancel request.
      await waitFor(() => w.link.delivered.some((c) => c.cmd === 'patch.cancel'), 'the cancel request handled');
      stall.release();
      // The cancelled download leaves no partial file behind.
      const big = path.join(w.launcher.folder, BIG_FILE);
      await waitFor(() => !fs.existsSync(big), 'the partial file to go');
      assert.ok(await page.locator('#resume').isVisible(), 'a late event left the stopped state');
      assert.ok(await page.locator('#play').isDisabled(), 'Play offered after a cancelled pass');
      await w.shot('cancelled.png');

      // A start sent while the cancelled pass still winds down is ignored;
      // the page then offers Resume again, and the player presses it again.
      for (let tries = 0; tries < 3 && !(await page.locator('#play').isEnabled()); tries++) {
        await page.click('#resume');
        await page.locator('#resume').waitFor({ state: 'hidden', timeout: 10000 });
        await page.waitForFunction(() => !document.getElementById('play').disabled || !document.getElementById('resume').hidden,
          null, { timeout: 60000 });
      }
      await playEnabled(page);
      assertGameCurrent(w);
      assert.ok(await page.locator('#resume').isHidden(), 'Resume still offered');
      await w.shot('resumed.png');
      await closeByButton(w);
    } finally {
      await w.tearDown();
    }
  });

  // A reloaded page only hears what the launcher re-sends on "ui.ready";
  // without the current state it would stay at "connecting" with Play off.
  test('a reload after success still offers Play, and Play starts the client',
    { timeout: 120000 }, async () => {
    const w = await setUp('reload');
    try {
      const { page } = w;
      await playEnabled(page);
      await page.reload();
      await playEnabled(page);
      assert.equal(await page.locator('#phase').textContent(), 'Ready');
      await w.shot('reloaded.png');
      await page.click('#play');
      assert.equal(await w.launcher.waitExit(), 0, 'exit code after Play');
      assert.equal(w.launcher.starts().length, 1, 'client starts');
    } finally {
      await w.tearDown();
    }
  });

  test('maintenance on withholds Play; once off, the pass runs and Play is offered', { timeout: 120000 }, async () => {
    const w = await setUp('maintenance', { maintenance: 'on' });
    try {
      const { page } = w;
      await shown(page, '#maintenance');
      // Two cycles, so the flag was asked for again and still held.
      await waitFor(() => w.link.events.filter((e) => e.evt === 'maintenance').length >= 2, 'a second maintenance check');
      assert.ok(await page.locator('#play').isDisabled(), 'Play offered during maintenance');
      assert.equal(w.server.requests.filter((r) => r === '/Patch/list.txt.gz').length, 0, 'list fetched during maintenance');
      await w.shot('maintenance.png');

      w.publish({ maintenance: 'off' });
      await playEnabled(page);
      assert.ok(await page.locator('#maintenance').isHidden(), 'maintenance still shown');
      assertGameCurrent(w);
      await w.shot('maintenance-over.png');
      await closeByButton(w);
    } finally {
      await w.tearDown();
    }
  });

  test('a file missing on the server shows the error; Retry after the fix finishes the pass', { timeout: 120000 }, async () => {
    const w = await setUp('missing', { beforeStart: (s) => s.status.set('/Patch/readme.txt.gz', 404) });
    try {
      const { page } = w;
      await shown(page, '#error-panel');
      assert.equal(await page.locator('#error-message').textContent(),
        `A required file was not found on the server:\n${w.server.url('/Patch/readme.txt.gz')}`);
      assert.ok(await page.locator('#retry').isVisible(), 'no Retry on the error');
      assert.ok(await page.locator('#play').isDisabled(), 'Play offered after a failed pass');
      await w.shot('error.png');

      w.server.status.delete('/Patch/readme.txt.gz');
      await page.click('#retry');
      await playEnabled(page);
      assert.ok(await page.locator('#error-panel').isHidden(), 'the error stays after a good retry');
      assertGameCurrent(w);
      await w.shot('retried.png');
      await closeByButton(w);
    } finally {
      await w.tearDown();
    }
  });

  test('the options dialog writes the game settings file; the client count reaches the preferences', { timeout: 120000 }, async () => {
    const w = await setUp('options');
    try {
      const { page } = w;
      await playEnabled(page);
      await page.click('#clients-inc');
      await page.click('#clients-inc');
      await waitFor(() => /ClientCount=3/.test(readOr(w, 'PatcherSettings.ini')), 'the client count in PatcherSettings.ini');

      await page.click('#open-options');
      await page.waitForFunction(() => !document.getElementById('options-save').disabled, null, { timeout: 30000 });
      await page.locator('#opt-detail').fill('4');
      await page.locator('#opt-shadow').fill('0');
      await page.click('label[for="opt-fullscreen"]');
      assert.ok(await page.locator('#opt-fullscreen').isChecked(), 'the switch did not turn on');
      const resolution = await page.locator('#opt-resolution option').last().getAttribute('value');
      await page.locator('#opt-resolution').selectOption(resolution);
      await w.shot('options.png');
      await page.click('#options-save');
      const [resW, resH] = resolution.split('x');
      // Each option's line is replaced in place; the game's other lines stay.
      const expected = `detail 4\r\ndistant 2\r\nview 2\r\nshadow 0\r\nfullscreen 1\r\nresolution ${resW} ${resH}\r\nsound 1\r\n`;
      await waitFor(() => readOr(w, 'Config/Settings.ini') === expected, 'the saved game settings', 30000);

      // The dialog reads back what was saved.
      await page.click('#open-options');
      await page.waitForFunction(() => !document.getElementById('options-save').disabled, null, { timeout: 30000 });
      assert.equal(await page.locator('#opt-detail').inputValue(), '4');
      assert.ok(await page.locator('#opt-fullscreen').isChecked(), 'fullscreen not read back');
      await page.click('#options-cancel');

      // The title bar's buttons act on the real host window.
      const WS_MINIMIZE = 0x20000000;
      const before = w.launcher.hostWindow();
      assert.match(before.style || '', /^0x/, `the probe saw no host window: ${JSON.stringify(before)}`);
      assert.equal(Number(before.style) & WS_MINIMIZE, 0, 'minimised before the button');
      await page.click('#win-min');
      await waitFor(() => Number(w.launcher.hostWindow().style) & WS_MINIMIZE, 'the host window minimised', 30000);
      await closeByButton(w);
    } finally {
      await w.tearDown();
    }
  });
});

function readOr(w, rel) {
  try {
    return w.launcher.read(rel);
  } catch {
    return '';
  }
}

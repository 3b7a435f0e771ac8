// The launcher page in Chromium, driven through a stand-in for the web
// view's message channel: the page's commands are recorded, the launcher's
// events are delivered as message events.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startServer } from '../support/js/server.mjs';
import { launchBrowser } from '../support/js/browser.mjs';
import { createLauncherHarness, INIT, findOverflow } from '../support/js/launcher_page.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const shots = path.join(root, 'build/screenshots');

const LONG_FILE = 'data\\world\\maps\\northern_reaches_of_the_frostbound_kingdom\\terrain_lod0_high_quality_streaming_tiles.pak';
const MISSING = 'A required file was not found on the server:\nhttps://patch.game.example/files/data/world/maps/northern_reaches_of_the_frostbound_kingdom/terrain_lod0_high_quality_streaming_tiles.pak.gz';
const WIDGET = {
  id: '1234567890123456789',
  name: 'Veltrune Official',
  instant_invite: null,
  channels: [],
  presence_count: 1284,
  members: [
    { id: '0', username: 'Aldric', status: 'online', game: { name: 'Veltrune' } },
    { id: '1', username: 'Mirelle', status: 'idle' },
    { id: '2', username: 'Thorne the Unyielding Guardian of the Northern Gate', status: 'dnd' },
    { id: '4', username: 'Kestrel', status: 'online', game: { name: 'Veltrune' } },
    { id: '5', username: 'Sable', status: 'idle' },
    { id: '6', username: 'Brannoc', status: 'online', game: { name: 'Veltrune' } },
    { id: '7', username: 'Oriel', status: 'online' },
  ],
};

const HOSTILE = { id: '9', username: '<img src=x onerror="window.injected=1">', status: 'online' };

const ev = {
  maintenance: (active) => ({ evt: 'maintenance', active }),
  phase: (phase) => ({ evt: 'phase', phase, text: '' }),
  status: (text) => ({ evt: 'status', text }),
  filecount: (fileCount) => ({ evt: 'filecount', fileCount }),
  block: (filePercent, speed, doneMb, file, fileIndex, fileCount) => ({
    evt: 'progress', filePercent, speed, doneMb, file, fileIndex, fileCount,
    totalPercent: fileCount ? Math.trunc((fileIndex * 100) / fileCount) : 0,
  }),
  filesDone: (fileIndex, fileCount) => ({
    evt: 'progress', fileIndex, fileCount, totalPercent: fileCount ? Math.trunc((fileIndex * 100) / fileCount) : 0,
  }),
  ready: (canPlay) => ({ evt: 'ready', canPlay }),
  error: (message) => ({ evt: 'error', message }),
  launch: (active, started) => (active ? { evt: 'launch', active } : { evt: 'launch', active, started }),
};

let server;
let browser;
let harness;

before(async () => {
  fs.mkdirSync(shots, { recursive: true });
  server = await startServer(root);
  browser = await launchBrowser();
  harness = await createLauncherHarness(browser, server.base);
});

after(async () => {
  await harness?.close();
  await browser?.close();
  await server?.close();
});

// Opens the page, runs the scenario and insists that nothing went wrong in
// the console along the way.
async function scenario(fn, options) {
  const lp = await harness.open(options);
  await fn(lp);
  assert.deepEqual(lp.errors, [], 'console errors');
}

async function shot(lp, name) {
  await lp.page.waitForTimeout(250); // let the bar's short transition settle
  await lp.page.screenshot({ path: path.join(shots, `${name}.png`) });
  assert.deepEqual(await findOverflow(lp.page), [], `text overflow in the ${name} state`);
}

async function newsRect(page) {
  return page.evaluate(() => {
    const r = document.getElementById('news-area').getBoundingClientRect();
    return { x: Math.round(r.left), y: Math.round(r.top), w: Math.round(r.width), h: Math.round(r.height) };
  });
}

async function lastRect(lp) {
  const rects = await lp.commands('news.rect');
  return rects.at(-1);
}

function isEnabled(lp, selector) {
  return lp.page.locator(selector).isEnabled();
}

function isShown(lp, selector) {
  return lp.page.locator(selector).isVisible();
}

async function toDownloading(lp) {
  await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.status('Selecting the fastest server…'),
    ev.filecount(7), ev.phase('downloading'), ev.block(64, 8.42, 212.5, LONG_FILE, 3, 7));
}

describe('start-up', () => {
  it('announces itself once its listener is installed, reports the news area and fills in init', async () => {
    await scenario(async (lp) => {
      const posts = await lp.rawPosts();
      assert.ok(posts.every((p) => p.type === 'object'), 'commands are posted as objects, never as strings');
      const ready = posts.filter((p) => JSON.parse(p.json).cmd === 'ui.ready');
      assert.equal(ready.length, 1);
      assert.equal(ready[0].listeners, 1, 'listener installed before ui.ready');

      const rect = await lastRect(lp);
      const box = await newsRect(lp.page);
      assert.deepEqual(rect, { cmd: 'news.rect', visible: true, ...box });
      assert.ok(rect.x >= 0 && rect.y > 44 && rect.w > 400 && rect.h > 250, JSON.stringify(rect));
      assert.ok(rect.x + rect.w <= 1224 && rect.y + rect.h <= 772, JSON.stringify(rect));

      await lp.emit(INIT);
      assert.equal(await lp.text('#version'), 'v1.0.0');
      assert.equal(await lp.text('#clients-value'), '2');
      assert.equal(await isShown(lp, '#register-card'), true);
      assert.equal(await isShown(lp, '#discord-join'), true);
      assert.equal(await isShown(lp, '#link-youtube'), true);
      assert.equal(await isShown(lp, '#link-facebook'), false, 'empty link hides its button');
      assert.equal(await isEnabled(lp, '#play'), false);
      await lp.emit({ evt: 'discord', json: JSON.stringify(WIDGET) });
      await shot(lp, 'idle');

      // A reload announces the page again.
      await lp.page.reload();
      await lp.page.waitForFunction(() => window.__host.posted.some((p) => p.json.includes('"ui.ready"')));
      assert.equal((await lp.commands('ui.ready')).length, 1, 'fresh page, fresh recorder, one announcement');
    });
  });

  it('reports the news area again when the window is resized', async () => {
    await scenario(async (lp) => {
      const before = await lastRect(lp);
      await lp.page.setViewportSize({ width: 1100, height: 700 });
      await lp.page.waitForFunction((w) => window.__host.posted.some((p) => {
        const c = JSON.parse(p.json);
        return c.cmd === 'news.rect' && c.w !== w;
      }), before.w);
      const after = await lastRect(lp);
      assert.deepEqual(after, { cmd: 'news.rect', visible: true, ...(await newsRect(lp.page)) });
      assert.ok(after.w < before.w && after.h < before.h);
    });
  });
});

describe('patching', () => {
  it('runs the happy path to Play with the chosen client count', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, { evt: 'discord', json: JSON.stringify(WIDGET) }, ev.maintenance(false), ev.phase('checking'));
      assert.equal(await lp.text('#phase'), 'CHECKING');
      assert.equal(await isShown(lp, '#cancel'), true);
      await lp.emit(ev.status('Selecting the fastest server…'));
      assert.equal(await lp.text('#status'), 'Selecting the fastest server…');

      await lp.emit(ev.filecount(7), ev.phase('downloading'), ev.block(0, 0, 0, LONG_FILE, 0, 7), ev.block(64, 8.42, 212.5, LONG_FILE, 3, 7));
      assert.equal(await lp.text('#file-name'), LONG_FILE);
      assert.equal(await lp.text('#file-percent'), '64%');
      assert.equal(await lp.text('#file-speed'), '8.4 MiB/s');
      assert.equal(await lp.text('#file-done'), '212.5 MiB');
      assert.equal(await lp.text('#overall-percent'), '42%');
      assert.equal(await lp.text('#overall-files'), '3 of 7 files');
      const clipped = await lp.page.$eval('#file-name', (e) => e.scrollWidth > e.clientWidth && getComputedStyle(e).textOverflow === 'ellipsis');
      assert.ok(clipped, 'long file names are ellipsised');
      assert.equal(await isEnabled(lp, '#play'), false);
      await shot(lp, 'patching');

      // The per-file form carries no file fields; the line keeps the last file.
      await lp.emit(ev.filesDone(4, 7));
      assert.equal(await lp.text('#overall-files'), '4 of 7 files');
      assert.equal(await lp.text('#overall-percent'), '57%');
      assert.equal(await lp.text('#file-name'), LONG_FILE);

      await lp.emit(ev.block(100, 9.1, 300, 'bin/game.exe', 6, 7), ev.filesDone(7, 7), ev.phase('finished'), ev.ready(true));
      assert.equal(await isEnabled(lp, '#play'), true);
      assert.equal(await isShown(lp, '#cancel'), false);
      assert.equal(await isShown(lp, '#file-line'), false);
      assert.equal(await lp.text('#overall-percent'), '100%');
      assert.equal(await lp.text('#phase'), 'READY');
      await shot(lp, 'ready');

      // Play is withdrawn by a later "ready" false.
      await lp.emit(ev.ready(false));
      assert.equal(await isEnabled(lp, '#play'), false);
      await lp.emit(ev.ready(true));

      await lp.click('#clients-inc');
      await lp.click('#play');
      assert.deepEqual(await lp.commands('game.play'), [{ cmd: 'game.play', clients: 3 }]);
      assert.equal(await isEnabled(lp, '#play'), false, 'no second launch while starting');
      await lp.click('#play', { force: true });
      assert.equal((await lp.commands('game.play')).length, 1);
    });
  });

  it('shows maintenance, withdraws Play and shrinks the news area while it lasts', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.phase('finished'), ev.ready(true));
      const open = await lastRect(lp);
      await lp.emit(ev.maintenance(true), ev.ready(false));
      assert.equal(await isShown(lp, '#maintenance'), true);
      assert.equal(await isEnabled(lp, '#play'), false);
      assert.equal(await lp.text('#phase'), 'MAINTENANCE');
      await lp.page.waitForFunction((h) => {
        const rects = window.__host.posted.map((p) => JSON.parse(p.json)).filter((c) => c.cmd === 'news.rect');
        return rects.at(-1).h < h;
      }, open.h);
      const shrunk = await lastRect(lp);
      assert.deepEqual(shrunk, { cmd: 'news.rect', visible: true, ...(await newsRect(lp.page)) });
      await shot(lp, 'maintenance');

      // Polling repeats the pair; the page stays put.
      await lp.emit(ev.maintenance(true), ev.ready(false));
      assert.equal(await isShown(lp, '#maintenance'), true);

      await lp.emit(ev.maintenance(false));
      assert.equal(await isShown(lp, '#maintenance'), false);
      assert.equal(await isEnabled(lp, '#play'), false, 'files are checked again first');
      await lp.page.waitForFunction((h) => {
        const rects = window.__host.posted.map((p) => JSON.parse(p.json)).filter((c) => c.cmd === 'news.rect');
        return rects.at(-1).h === h;
      }, open.h);
      await lp.emit(ev.phase('checking'), ev.phase('finished'), ev.ready(true));
      assert.equal(await isEnabled(lp, '#play'), true);
    });
  });

  it('shows an error with its line breaks and retries on request', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.filecount(2), ev.phase('downloading'),
        ev.block(10, 1, 1, 'data/a.pak', 0, 2), ev.ready(false), ev.error(MISSING));
      assert.equal(await isShown(lp, '#error-panel'), true);
      assert.equal(await isShown(lp, '#patch-progress'), false);
      assert.equal(await isShown(lp, '#cancel'), false);
      assert.equal(await isEnabled(lp, '#play'), false);
      const shown = await lp.text('#error-message');
      assert.equal(shown.split('\n')[0], 'A required file was not found on the server:');
      assert.ok(shown.split('\n')[1].startsWith('https://patch.game.example/'), shown);
      await shot(lp, 'error');

      await lp.clearCommands();
      await lp.click('#retry');
      assert.deepEqual(await lp.commands('patch.retry'), [{ cmd: 'patch.retry' }]);
      await lp.frame();
      assert.equal(await isShown(lp, '#error-panel'), false);
      assert.equal(await isShown(lp, '#retry'), false);

      await lp.emit(ev.maintenance(false), ev.phase('checking'));
      assert.equal(await lp.text('#phase'), 'CHECKING');
      assert.equal(await isShown(lp, '#cancel'), true);

      // The connection failure text is shown as well.
      await lp.emit(ev.ready(false), ev.error('Could not connect to the patch server. Please check your internet connection.'));
      assert.equal(await lp.text('#error-message'), 'Could not connect to the patch server. Please check your internet connection.');
    });
  });
});

// Timers on Playwright's clock: the scenarios below outwait the page's
// fallbacks without waiting in real time.
describe('where players got stuck', () => {
  let clocked;
  before(async () => { clocked = await createLauncherHarness(browser, server.base, { clock: true }); });
  after(async () => { await clocked?.close(); });

  async function clockScenario(fn) {
    const lp = await clocked.open();
    await fn(lp);
    assert.deepEqual(lp.errors, [], 'console errors');
  }

  async function toReady(lp) {
    await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.phase('finished'), ev.ready(true));
  }

  it('keeps Play disabled until the launch ends, also on a page reloaded meanwhile', async () => {
    await clockScenario(async (lp) => {
      await toReady(lp);
      await lp.click('#clients-inc');
      await lp.click('#play');
      assert.deepEqual(await lp.commands('game.play'), [{ cmd: 'game.play', clients: 3 }]);
      await lp.emit(ev.launch(true));
      // Three clients may take 25 s to start.
      await lp.page.clock.fastForward(30000);
      await lp.frame();
      assert.equal(await isEnabled(lp, '#play'), false);
      assert.equal(await lp.text('#phase'), 'STARTING');
      await lp.click('#play', { force: true });
      assert.equal((await lp.commands('game.play')).length, 1);
      await lp.emit(ev.launch(false, 3));
      assert.equal(await isEnabled(lp, '#play'), true);

      // A page loaded while a launch runs hears of it with the current state.
      await lp.page.reload();
      await lp.page.waitForFunction(() => window.__host.posted.some((p) => p.json.includes('"ui.ready"')));
      await lp.emit(INIT, ev.maintenance(false), ev.ready(true), ev.launch(true));
      assert.equal(await isEnabled(lp, '#play'), false);
      assert.equal(await lp.text('#phase'), 'STARTING');
      await lp.emit(ev.launch(false, 2));
      assert.equal(await isEnabled(lp, '#play'), true);
      assert.equal(await lp.text('#phase'), 'READY');

      // A Play that crossed the start of maintenance is refused without a
      // launch; the withdrawal of play ends the wait for it.
      await lp.click('#play');
      await lp.emit(ev.maintenance(true), ev.ready(false));
      await lp.emit(ev.maintenance(false), ev.phase('checking'), ev.phase('finished'), ev.ready(true));
      assert.equal(await isEnabled(lp, '#play'), true);
      assert.equal(await lp.text('#phase'), 'READY');
    });
  });

  it('ignores the late events of a cancelled pass until the next pass starts', async () => {
    await clockScenario(async (lp) => {
      await toDownloading(lp);
      await lp.click('#cancel');
      assert.deepEqual(await lp.commands('patch.cancel'), [{ cmd: 'patch.cancel' }]);
      assert.equal(await lp.page.evaluate(() => document.activeElement.id), 'resume', 'focus does not fall to the body');
      // Blocks and a phase that were on their way when the pass stopped.
      await lp.emit(ev.block(70, 8.5, 215, LONG_FILE, 3, 7), ev.phase('downloading'), ev.filesDone(4, 7));
      assert.equal(await lp.text('#phase'), 'STOPPED');
      assert.equal(await isShown(lp, '#resume'), true);
      assert.equal(await isShown(lp, '#cancel'), false);
      assert.equal(await isShown(lp, '#file-line'), false);

      await lp.click('#resume');
      assert.deepEqual(await lp.commands('patch.start'), [{ cmd: 'patch.start' }]);
      await lp.emit(ev.block(75, 8.5, 216, LONG_FILE, 4, 7));
      assert.equal(await lp.text('#phase'), 'STARTING', 'a late block is no answer to Resume');
      assert.equal(await isShown(lp, '#resume'), false);

      // The launcher ignores a start while the cancelled pass winds down and
      // says nothing: the stop is offered again.
      await lp.page.clock.fastForward(4100);
      await lp.frame();
      assert.equal(await lp.text('#phase'), 'STOPPED');
      assert.equal(await isShown(lp, '#resume'), true);

      await lp.click('#resume');
      await lp.emit(ev.maintenance(false), ev.phase('checking'));
      assert.equal(await lp.text('#phase'), 'CHECKING');
      assert.equal(await isShown(lp, '#cancel'), true);
      assert.equal(await isShown(lp, '#resume'), false);
      await lp.emit(ev.phase('finished'), ev.ready(true));
      assert.equal(await isEnabled(lp, '#play'), true);
    });
  });

  it('says nothing of a cancel when a Retry gets no answer, and still takes a late one', async () => {
    await clockScenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.ready(false),
        ev.error('Could not connect to the patch server. Please check your internet connection.'));
      await lp.click('#retry');
      assert.deepEqual(await lp.commands('patch.retry'), [{ cmd: 'patch.retry' }]);
      await lp.page.clock.fastForward(4100);
      await lp.frame();
      assert.notEqual(await lp.text('#phase'), 'STOPPED');
      assert.doesNotMatch(await lp.text('#status'), /cancel/i);
      assert.equal(await isShown(lp, '#retry'), true);
      assert.equal(await isShown(lp, '#resume'), false);
      await shot(lp, 'no-answer');

      await lp.emit(ev.maintenance(false), ev.phase('checking'));
      assert.equal(await lp.text('#phase'), 'CHECKING');
      assert.equal(await isShown(lp, '#retry'), false);
    });
  });
});

describe('options dialog', () => {
  it('loads, shows the stored resolution, saves the choices and hides the news view meanwhile', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT);
      await lp.clearCommands();
      await lp.click('#open-options');
      assert.deepEqual(await lp.commands('options.load'), [{ cmd: 'options.load' }]);
      const hidden = await lastRect(lp);
      assert.equal(hidden.visible, false);
      assert.equal(await isEnabled(lp, '#options-save'), false, 'nothing to save before the options arrive');

      await lp.emit({
        evt: 'options', detail: 3, distant: 1, view: 4, shadow: 0, fullscreen: true, resW: 1600, resH: 900,
        resolutions: [{ w: 1024, h: 768 }, { w: 1280, h: 720 }, { w: 1920, h: 1080 }], maxKiBps: 0,
      });
      assert.equal(await lp.page.inputValue('#opt-detail'), '3');
      assert.equal(await lp.page.inputValue('#opt-distant'), '1');
      assert.equal(await lp.page.inputValue('#opt-view'), '4');
      assert.equal(await lp.page.inputValue('#opt-shadow'), '0');
      assert.equal(await lp.text('#out-view'), 'Highest');
      assert.equal(await lp.page.isChecked('#opt-fullscreen'), true);
      assert.equal(await lp.page.inputValue('#opt-resolution'), '1600x900');
      const labels = await lp.page.$$eval('#opt-resolution option', (o) => o.map((x) => x.textContent));
      assert.deepEqual(labels, ['1600 × 900 (current)', '1024 × 768', '1280 × 720', '1920 × 1080']);
      await shot(lp, 'options');

      await lp.page.focus('#opt-detail');
      await lp.page.keyboard.press('ArrowLeft');
      assert.equal(await lp.text('#out-detail'), 'Medium');
      await lp.page.selectOption('#opt-resolution', '1920x1080');
      await lp.click('.switch');
      await lp.click('#options-save');
      assert.deepEqual(await lp.commands('options.save'), [{
        cmd: 'options.save', detail: 2, distant: 1, view: 4, shadow: 0, fullscreen: false, resW: 1920, resH: 1080,
      }]);
      assert.equal(await lp.page.$eval('#options-dialog', (d) => d.open), false);
      await lp.frame();
      assert.deepEqual(await lastRect(lp), { cmd: 'news.rect', visible: true, ...(await newsRect(lp.page)) });

      // Escape closes without saving and shows the news view again.
      await lp.click('#open-options');
      await lp.emit({ evt: 'options', detail: 0, distant: 0, view: 0, shadow: 0, fullscreen: false, resW: 1024, resH: 768, resolutions: [] });
      assert.equal(await lp.page.inputValue('#opt-resolution'), '1024x768');
      await lp.page.keyboard.press('Escape');
      await lp.frame();
      assert.equal((await lp.commands('options.save')).length, 1);
      assert.equal((await lastRect(lp)).visible, true);
      assert.deepEqual(await lp.commands('settings.setMaxKiBps'), [], 'an unchanged limit is not saved');
    });
  });

  it('offers the download speed limit, keeps a hand-set one and saves only a change', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT);
      await lp.click('#open-options');
      await lp.emit({ evt: 'options', detail: 2, distant: 2, view: 2, shadow: 2, fullscreen: false, resW: 1024, resH: 768, resolutions: [], maxKiBps: 300 });
      const labels = await lp.page.$$eval('#opt-maxkibps option', (o) => o.map((x) => x.textContent));
      assert.deepEqual(labels, ['No limit', '300 KiB/s', '512 KiB/s', '1 MiB/s', '2 MiB/s', '5 MiB/s', '10 MiB/s']);
      assert.equal(await lp.page.inputValue('#opt-maxkibps'), '300');
      await lp.page.selectOption('#opt-maxkibps', '1024');
      await lp.click('#options-save');
      assert.deepEqual(await lp.commands('settings.setMaxKiBps'), [{ cmd: 'settings.setMaxKiBps', maxKiBps: 1024 }]);

      await lp.click('#open-options');
      await lp.emit({ evt: 'options', detail: 2, distant: 2, view: 2, shadow: 2, fullscreen: false, resW: 1024, resH: 768, resolutions: [], maxKiBps: 1024 });
      await lp.page.selectOption('#opt-maxkibps', '0');
      await lp.click('#options-save');
      assert.deepEqual((await lp.commands('settings.setMaxKiBps')).at(-1), { cmd: 'settings.setMaxKiBps', maxKiBps: 0 });
      assert.equal((await lp.commands('settings.setMaxKiBps')).length, 2);
    });
  });
});

describe('repair', () => {
  it('Verify game files asks for a repair, closes the dialog and shows the files and MiB checked', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.phase('finished'), { evt: 'ready', canPlay: true });
      await lp.click('#open-options');
      await lp.emit({ evt: 'options', detail: 2, distant: 2, view: 2, shadow: 2, fullscreen: false, resW: 1024, resH: 768, resolutions: [] });
      await lp.clearCommands();
      await lp.click('#opt-verify');
      assert.deepEqual(await lp.commands('patch.verify'), [{ cmd: 'patch.verify' }]);
      assert.equal(await lp.page.$eval('#options-dialog', (d) => d.open), false);
      assert.equal((await lp.commands('options.save')).length, 0, 'a repair saves no options');

      await lp.emit(ev.maintenance(false), { evt: 'ready', canPlay: false }, ev.phase('checking'), ev.phase('verifying'),
        { evt: 'verify', files: 0, fileCount: 4, doneMb: 0, totalMb: 1024 },
        { evt: 'verify', files: 1, fileCount: 4, doneMb: 256, totalMb: 1024 });
      await lp.frame();
      assert.equal(await lp.text('#phase'), 'VERIFYING');
      assert.equal(await lp.text('#status'), 'Comparing every game file with the patch list…');
      assert.equal(await lp.text('#overall-percent'), '25%');
      assert.equal(await lp.text('#overall-files'), '1 of 4 files, 256.0 of 1024.0 MiB');
      assert.equal(await isEnabled(lp, '#play'), false);
      assert.equal(await isShown(lp, '#cancel'), true, 'a repair can be cancelled like any pass');
      await shot(lp, 'verifying');

      // Mismatches download as usual, and the bar is the download's again.
      await lp.emit(ev.filecount(1), ev.phase('downloading'), ev.block(50, 4, 10, 'Data/b.bin', 0, 1));
      await lp.frame();
      assert.equal(await lp.text('#phase'), 'DOWNLOADING');
      assert.equal(await lp.text('#overall-files'), '0 of 1 files');
    });
  });
});

describe('preferences', () => {
  it('keeps the client count within 1 to 8 and saves each change', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, clientCount: 0 });
      assert.equal(await lp.text('#clients-value'), '1');
      assert.equal(await isEnabled(lp, '#clients-dec'), false);
      for (let i = 0; i < 9; i++) await lp.click('#clients-inc', { force: true });
      assert.equal(await lp.text('#clients-value'), '8');
      assert.equal(await isEnabled(lp, '#clients-inc'), false);
      const saved = (await lp.commands('settings.setClientCount')).map((c) => c.count);
      assert.deepEqual(saved, [2, 3, 4, 5, 6, 7, 8]);
      await lp.click('#clients-dec');
      assert.deepEqual((await lp.commands('settings.setClientCount')).at(-1), { cmd: 'settings.setClientCount', count: 7 });

      await lp.emit({ ...INIT, clientCount: 12 });
      assert.equal(await lp.text('#clients-value'), '8');
    });
  });

  it('plays the background video from the assets host and saves the toggle', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, animatedBg: true });
      const video = await lp.page.$eval('#bg-video', (v) => ({ src: v.src, poster: v.poster, hidden: v.hidden }));
      assert.deepEqual(video, { src: 'https://client-assets/Background1.mp4', poster: 'https://client-assets/Background1.png', hidden: false });
      await lp.page.waitForFunction(() => document.getElementById('bg-video').currentTime > 0, null, { timeout: 10000 });
      assert.equal(await lp.page.getAttribute('#bg-toggle', 'aria-pressed'), 'true');

      await lp.click('#bg-toggle');
      assert.deepEqual(await lp.commands('settings.setAnimatedBg'), [{ cmd: 'settings.setAnimatedBg', enabled: false }]);
      assert.equal(await lp.page.$eval('#bg-video', (v) => v.hidden && v.paused), true);
      assert.equal(await lp.page.$eval('#bg-still', (i) => !i.hidden && i.src), 'https://client-assets/Background1.png');
      assert.equal(await lp.page.getAttribute('#bg-toggle', 'aria-pressed'), 'false');

      await lp.click('#bg-toggle');
      assert.deepEqual((await lp.commands('settings.setAnimatedBg')).at(-1), { cmd: 'settings.setAnimatedBg', enabled: true });
      assert.equal(await lp.page.$eval('#bg-video', (v) => v.hidden), false);

      // Without any background pair the locally drawn backdrop is all there is.
      await lp.emit({ ...INIT, animatedBg: true, backgrounds: [] });
      assert.equal(await lp.page.$eval('#bg-video', (v) => v.hidden), true);
      assert.equal(await lp.page.$eval('#bg-still', (i) => i.hidden), true);
      const backdrop = await lp.page.$eval('.backdrop', (b) => getComputedStyle(b).backgroundImage);
      assert.match(backdrop, /img\/backdrop\.svg/);
      assert.equal(await lp.page.$eval('body', (b) => getComputedStyle(b).backgroundColor), 'rgb(18, 18, 26)');
    });
  });

  it('shows the still picture instead of the video when reduced motion is asked for', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, animatedBg: true });
      assert.equal(await lp.page.$eval('#bg-video', (v) => v.hidden), true);
      assert.equal(await lp.page.$eval('#bg-still', (i) => !i.hidden && i.src), 'https://client-assets/Background1.png');
    }, { reducedMotion: 'reduce' });
  });

  it('takes a changed assets host name from the start page address', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, animatedBg: false });
      await lp.page.waitForFunction(() => document.getElementById('bg-still').complete);
      assert.equal(await lp.page.$eval('#bg-still', (i) => i.naturalWidth > 0 && i.src), 'https://game-assets.local/Background1.png');
    }, { assetsHost: 'game-assets.local' });
  });

  it('falls back to the picture when the video is missing, and to the drawn backdrop without either', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, animatedBg: true });
      await lp.page.waitForFunction(() => document.getElementById('bg-video').hidden, null, { timeout: 5000 });
      await lp.page.waitForFunction(() => document.getElementById('bg-still').complete);
      assert.equal(await lp.page.$eval('#bg-still', (i) => !i.hidden && i.naturalWidth > 0 && i.src), 'https://client-assets/Background1.png');

      await lp.emit({ ...INIT, animatedBg: true, backgrounds: ['NoSuchPair'] });
      await lp.page.waitForFunction(() => document.getElementById('bg-video').hidden && document.getElementById('bg-still').hidden, null, { timeout: 5000 });
    }, { missingAssets: ['Background1.mp4'], ignoreErrors: (text) => text.includes('404') });
  });
});

describe('community and links', () => {
  it('renders the Discord widget as text and falls back quietly on errors and non-JSON', async () => {
    await scenario(async (lp) => {
      const widget = { ...WIDGET, members: [...WIDGET.members, HOSTILE] };
      await lp.emit(INIT, { evt: 'discord', json: JSON.stringify(widget) });
      assert.equal(await lp.text('#discord-title'), 'Veltrune Official');
      assert.equal(await lp.text('#discord-online-text'), '1284 online');
      const names = await lp.page.$$eval('.member-name', (n) => n.map((x) => x.textContent));
      assert.deepEqual(names, widget.members.map((m) => m.username));
      assert.equal(await lp.page.$$eval('.member .dot-dnd', (d) => d.length), 1);
      assert.equal(await lp.page.$$eval('.member .dot-idle', (d) => d.length), 2);
      assert.equal(await lp.page.evaluate(() => window.injected === undefined && !document.querySelector('.members img')), true);
      assert.equal(await isShown(lp, '#discord-note'), false);

      await lp.emit({ evt: 'discord', error: true });
      assert.equal(await isShown(lp, '#discord-note'), true);
      assert.equal(await lp.page.$$eval('.member', (m) => m.length), 0);
      assert.equal(await lp.text('#discord-online-text'), 'Status unavailable');

      await lp.emit({ evt: 'discord', json: JSON.stringify(WIDGET) });
      await lp.emit({ evt: 'discord', json: '<html><body>502 Bad Gateway</body></html>' });
      assert.equal(await isShown(lp, '#discord-note'), true);
      assert.equal(await lp.page.$$eval('.member', (m) => m.length), 0);
      await lp.emit({ evt: 'discord', json: '"just a string"' });
      assert.equal(await isShown(lp, '#discord-note'), true);
    });
  });

  it('opens every link by its key and never by address', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, links: { register: 'https://r.example', discord: 'https://d.example', youtube: 'https://y.example', facebook: 'https://f.example' } });
      await lp.clearCommands();
      for (const key of ['register', 'discord', 'youtube', 'facebook', 'roadmap', 'gallery', 'wiki', 'faq']) {
        await lp.click(`[data-link="${key}"]`);
      }
      assert.deepEqual((await lp.commands()).filter((c) => c.cmd === 'openurl'), [
        'register', 'discord', 'youtube', 'facebook', 'roadmap', 'gallery', 'wiki', 'faq',
      ].map((target) => ({ cmd: 'openurl', target })));

      await lp.emit({ ...INIT, links: { register: '', discord: '', youtube: '', facebook: '' } });
      for (const sel of ['#register-card', '#discord-join', '#socials']) assert.equal(await isShown(lp, sel), false, sel);
    });
  });

  it('switches the news view between news and ranking by mouse and keyboard', async () => {
    await scenario(async (lp) => {
      await lp.clearCommands();
      await lp.click('#tab-ranking');
      await lp.page.keyboard.press('ArrowRight');
      assert.deepEqual(await lp.commands('news.navigate'), [
        { cmd: 'news.navigate', target: 'ranking' },
        { cmd: 'news.navigate', target: 'news' },
      ]);
      assert.equal(await lp.page.getAttribute('#tab-news', 'aria-selected'), 'true');
      assert.equal(await lp.page.evaluate(() => document.activeElement.id), 'tab-news');
    });
  });
});

describe('window and keyboard', () => {
  it('drags from the title bar only and posts minimize and close', async () => {
    await scenario(async (lp) => {
      await lp.clearCommands();
      const bar = await lp.page.locator('#titlebar').boundingBox();
      await lp.page.mouse.move(bar.x + bar.width / 2, bar.y + bar.height / 2);
      await lp.page.mouse.down();
      await lp.page.mouse.up();
      await lp.page.mouse.click(bar.x + bar.width / 2, bar.y + bar.height / 2, { button: 'right' });
      await lp.click('#win-min');
      await lp.click('#win-close');
      assert.deepEqual((await lp.commands()).map((c) => c.cmd), ['window.drag', 'window.minimize', 'window.close']);
    });
  });

  it('reaches Play with the keyboard and shows where the focus is', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.phase('checking'), ev.phase('finished'), ev.ready(true));
      let guard = 0;
      while ((await lp.page.evaluate(() => document.activeElement.id)) !== 'play' && guard++ < 40) {
        await lp.page.keyboard.press('Tab');
      }
      assert.equal(await lp.page.evaluate(() => document.activeElement.id), 'play');
      const ring = await lp.page.$eval('#play', (b) => getComputedStyle(b).boxShadow);
      assert.match(ring, /rgb\(240, 179, 90\)/, 'accent focus ring');
      await lp.page.keyboard.press('Enter');
      assert.deepEqual(await lp.commands('game.play'), [{ cmd: 'game.play', clients: 2 }]);
    });
  });
});

describe('progress stream', () => {
  it('stays responsive under 10,000 progress events and draws at most once per frame', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.filecount(40), ev.phase('downloading'));
      const burst = () => lp.page.evaluate(async () => {
        const longTasks = [];
        const po = new PerformanceObserver((list) => { for (const e of list.getEntries()) longTasks.push(e.duration); });
        po.observe({ type: 'longtask' });
        let textChanges = 0;
        const mo = new MutationObserver((m) => { textChanges += m.length; });
        mo.observe(document.getElementById('file-percent'), { childList: true, characterData: true, subtree: true });
        let frames = 0;
        let maxGap = 0;
        let last = performance.now();
        let running = true;
        (function tick(t) {
          if (!running) return;
          frames++;
          maxGap = Math.max(maxGap, t - last);
          last = t;
          requestAnimationFrame(tick);
        })(performance.now());

        // Each event is its own task, as the host delivers them.
        const N = 10000;
        const channel = new MessageChannel();
        let i = 0;
        const t0 = performance.now();
        await new Promise((resolve) => {
          channel.port1.onmessage = () => {
            const k = i++;
            const fileIndex = Math.floor(k / 250);
            window.__host.emit({
              evt: 'progress', filePercent: Math.floor(((k % 250) + 1) * 100 / 250), speed: 50 + (k % 7), doneMb: k * 0.25,
              file: `data/pack_${fileIndex}.pak`, fileIndex, fileCount: 40, totalPercent: Math.trunc(fileIndex * 100 / 40),
            });
            if (i < N) channel.port2.postMessage(0);
            else resolve();
          };
          channel.port2.postMessage(0);
        });
        const elapsed = performance.now() - t0;
        await new Promise((res) => requestAnimationFrame(() => requestAnimationFrame(res)));
        running = false;
        mo.disconnect();
        await new Promise((res) => setTimeout(res, 50));
        po.disconnect();
        return { elapsed, frames, maxGap, textChanges, longTasks };
      });
      // Long tasks are wall-clock time: on a shared machine the scheduler can
      // stall any single task. A fault of the page shows in every run, so
      // one clean run out of three is required.
      const runs = [];
      for (let attempt = 0; attempt < 3; attempt++) {
        const r = await burst();
        runs.push(r);
        assert.ok(r.elapsed < 20000, `burst took ${r.elapsed} ms`);
        assert.ok(r.textChanges <= r.frames + 2, `DOM written ${r.textChanges} times in ${r.frames} frames`);
        if (r.longTasks.every((d) => d <= 100)) break;
      }
      assert.ok(runs.some((r) => r.longTasks.every((d) => d <= 100)), JSON.stringify(runs));
      assert.equal(await lp.text('#file-percent'), '100%');
      assert.equal(await lp.text('#file-name'), 'data/pack_39.pak');
      assert.equal(await lp.text('#file-done'), `${(9999 * 0.25).toFixed(1)} MiB`);
      assert.equal(await lp.text('#overall-files'), '39 of 40 files');
    });
  });
});

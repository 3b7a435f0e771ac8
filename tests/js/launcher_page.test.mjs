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
const NO_CONNECTION = 'Could not connect to the patch server. Please check your internet connection.';
const WIDGET = {
  name: 'Veltrune Official',
  presence_count: 1284,
  members: [
    { id: '0', username: 'Aldric', status: 'online', game: { name: 'Veltrune' } },
    { id: '1', username: 'Mirelle', status: 'idle' },
    { id: '2', username: 'Thorne the Unyielding Guardian of the Northern Gate', status: 'dnd' },
    { id: '9', username: '<img src=x onerror="window.injected=1">', status: 'idle' },
  ],
};

const ev = {
  maintenance: (active) => ({ evt: 'maintenance', active }),
  phase: (phase) => ({ evt: 'phase', phase, text: '' }),
  status: (text) => ({ evt: 'status', text }),
  filecount: (fileCount) => ({ evt: 'filecount', fileCount }),
  block: (filePercent, speed, doneMb, file, fileIndex, fileCount) => ({
    evt: 'progress', filePercent, speed, doneMb, file, fileIndex, fileCount, totalPercent: Math.trunc((fileIndex * 100) / fileCount),
  }),
  filesDone: (fileIndex, fileCount) => ({ evt: 'progress', fileIndex, fileCount, totalPercent: Math.trunc((fileIndex * 100) / fileCount) }),
  ready: (canPlay) => ({ evt: 'ready', canPlay }),
  error: (message) => ({ evt: 'error', message }),
  launch: (active, started) => ({ evt: 'launch', active, started }),
  options: (values) => ({ evt: 'options', detail: 2, distant: 2, view: 2, shadow: 2, fullscreen: false, resW: 1024, resH: 768, resolutions: [], ...values }),
};

let server;
let browser;
let harness;
let clocked; // the page's timers on Playwright's clock, moved on instead of waited for

before(async () => {
  fs.mkdirSync(shots, { recursive: true });
  server = await startServer(root);
  browser = await launchBrowser();
  harness = await createLauncherHarness(browser, server.base);
  clocked = await createLauncherHarness(browser, server.base, { clock: true });
});

after(async () => {
  await clocked?.close();
  await harness?.close();
  await browser?.close();
  await server?.close();
});

// Opens the page, runs the scenario and insists on a quiet console.
async function scenario(fn, options, on = harness) {
  const lp = await on.open(options);
  await fn(lp);
  assert.deepEqual(lp.errors, [], 'console errors');
}

const expectPage = async (lp, want, when) => assert.deepEqual(await lp.look(Object.keys(want)), want, when);

// Keeps a screenshot of the state and insists that no text spills out of its box.
async function shot(lp, name) {
  await lp.page.waitForTimeout(250); // let the bar's short transition settle
  await lp.page.screenshot({ path: path.join(shots, `${name}.png`) });
  assert.deepEqual(await findOverflow(lp.page), [], `text overflow in the ${name} state`);
}

async function newsBox(page) {
  const r = await page.evaluate(() => document.getElementById('news-area').getBoundingClientRect().toJSON());
  return { cmd: 'news.rect', visible: true, x: Math.round(r.left), y: Math.round(r.top), w: Math.round(r.width), h: Math.round(r.height) };
}

const lastRect = async (lp) => (await lp.commands('news.rect')).at(-1);
// Waits for the page's last news.rect report to satisfy test.
async function rectSettles(lp, test) {
  for (let i = 0; i < 100 && !test(await lastRect(lp)); i++) await lp.frame();
  assert.ok(test(await lastRect(lp)), `news area reported as ${JSON.stringify(await lastRect(lp))}`);
}
const toReady = (lp) => lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.phase('finished'), ev.ready(true));

describe('launcher page', () => {
  it('announces itself once listening, reports the news area, fills in init, and again after a resize or reload', async () => {
    await scenario(async (lp) => {
      const posts = await lp.rawPosts();
      assert.ok(posts.every((p) => p.type === 'object'), 'commands are posted as objects, never as strings');
      assert.deepEqual(posts.filter((p) => JSON.parse(p.json).cmd === 'ui.ready').map((p) => p.listeners), [1],
        'one ui.ready, sent after the listener was installed');
      assert.deepEqual(await lastRect(lp), await newsBox(lp.page));

      await lp.emit(INIT, { evt: 'discord', json: JSON.stringify(WIDGET) });
      await expectPage(lp, { '#version': 'v1.0.0', '#clients-value': '2', '#register-card:shown': true, '#link-youtube:shown': true,
        '#link-facebook:shown': false, '#play:enabled': false }, 'after init (an empty link hides its button)');
      await shot(lp, 'idle');

      const wide = await lastRect(lp);
      await lp.page.setViewportSize({ width: 1100, height: 700 });
      await rectSettles(lp, (r) => r.w !== wide.w);
      assert.deepEqual(await lastRect(lp), await newsBox(lp.page));

      await lp.page.reload();
      await lp.page.waitForFunction(() => window.__host.posted.some((p) => p.json.includes('"ui.ready"')));
      assert.equal((await lp.commands('ui.ready')).length, 1, 'a reloaded page announces itself again');
    });
  });

  it('draws a pass from checking to Ready, and Play withdrawn by a later ready false', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.status('Selecting the fastest server…'));
      await expectPage(lp, { '#phase': 'CHECKING', '#status': 'Selecting the fastest server…', '#cancel:shown': true }, 'checking');
      await lp.emit(ev.filecount(7), ev.phase('downloading'), ev.block(0, 0, 0, LONG_FILE, 0, 7), ev.block(64, 8.42, 212.5, LONG_FILE, 3, 7));
      await expectPage(lp, { '#file-name': LONG_FILE, '#file-percent': '64%', '#file-speed': '8.4 MiB/s', '#file-done': '212.5 MiB',
        '#overall-percent': '42%', '#overall-files': '3 of 7 files', '#play:enabled': false }, 'downloading');
      assert.ok(await lp.page.$eval('#file-name', (e) => e.scrollWidth > e.clientWidth && getComputedStyle(e).textOverflow === 'ellipsis'),
        'long file names are ellipsised');
      await shot(lp, 'patching');
      // The per-file form carries no file fields; the line keeps the last file.
      await lp.emit(ev.filesDone(4, 7));
      await expectPage(lp, { '#overall-files': '4 of 7 files', '#overall-percent': '57%', '#file-name': LONG_FILE }, 'a file done');

      await lp.emit(ev.block(100, 9.1, 300, 'bin/game.exe', 6, 7), ev.filesDone(7, 7), ev.phase('finished'), ev.ready(true));
      await expectPage(lp, { '#phase': 'READY', '#overall-percent': '100%', '#play:enabled': true, '#cancel:shown': false,
        '#file-line:shown': false }, 'ready');
      await shot(lp, 'ready');
      await lp.emit(ev.ready(false));
      assert.equal(await lp.page.isEnabled('#play'), false, 'Play withdrawn');
    });
  });

  it('shows maintenance, withdraws Play and shrinks the news area while it lasts', async () => {
    await scenario(async (lp) => {
      await toReady(lp);
      const open = await lastRect(lp);
      await lp.emit(ev.maintenance(true), ev.ready(false));
      await expectPage(lp, { '#maintenance:shown': true, '#play:enabled': false, '#phase': 'MAINTENANCE' }, 'maintenance');
      await rectSettles(lp, (r) => r.h < open.h);
      assert.deepEqual(await lastRect(lp), await newsBox(lp.page));
      await shot(lp, 'maintenance');
      await lp.emit(ev.maintenance(false));
      await expectPage(lp, { '#maintenance:shown': false, '#play:enabled': false }, 'maintenance over: files are checked again first');
      await rectSettles(lp, (r) => r.h === open.h);
    });
  });

  it('holds Play until the launch ends, once however often it is pressed, also on a reloaded page', async () => {
    await scenario(async (lp) => {
      await toReady(lp);
      await lp.click('#clients-inc');
      // Both presses before the page redraws the button.
      await lp.page.$eval('#play', (b) => { b.click(); b.click(); });
      await lp.frame();
      assert.deepEqual(await lp.commands('game.play'), [{ cmd: 'game.play', clients: 3 }], 'Play pressed twice');
      await lp.emit(ev.launch(true));
      await lp.page.clock.fastForward(30000); // three clients may take 25 s to start
      await lp.frame();
      await expectPage(lp, { '#play:enabled': false, '#phase': 'STARTING' }, 'while the clients start');
      await lp.emit(ev.launch(false, 3));
      assert.equal(await lp.page.isEnabled('#play'), true, 'after the launch');

      // A page loaded while a launch runs hears of it with the current state.
      await lp.page.reload();
      await lp.page.waitForFunction(() => window.__host.posted.some((p) => p.json.includes('"ui.ready"')));
      await lp.emit(INIT, ev.maintenance(false), ev.ready(true), ev.launch(true));
      await expectPage(lp, { '#play:enabled': false, '#phase': 'STARTING' }, 'reloaded during a launch');
      await lp.emit(ev.launch(false, 2));

      // A Play that crossed the start of maintenance gets no launch; the
      // withdrawal of play ends the wait for it.
      await lp.click('#play');
      await lp.emit(ev.maintenance(true), ev.ready(false), ev.maintenance(false), ev.phase('checking'), ev.phase('finished'), ev.ready(true));
      await expectPage(lp, { '#play:enabled': true, '#phase': 'READY' }, 'after a refused Play');
    }, {}, clocked);
  });

  it('shows an error with its line break; a Retry without answer offers Retry again, never a cancel', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.filecount(2), ev.phase('downloading'),
        ev.block(10, 1, 1, 'data/a.pak', 0, 2), ev.ready(false), ev.error(MISSING));
      await expectPage(lp, { '#error-message': MISSING, '#error-panel:shown': true, '#patch-progress:shown': false, '#cancel:shown': false,
        '#play:enabled': false }, 'error');
      await shot(lp, 'error');

      await lp.click('#retry');
      assert.deepEqual(await lp.commands('patch.retry'), [{ cmd: 'patch.retry' }]);
      await expectPage(lp, { '#error-panel:shown': false, '#retry:shown': false }, 'retrying');
      await lp.page.clock.fastForward(4100);
      await lp.frame();
      await expectPage(lp, { '#phase': 'NO ANSWER', '#status': 'The launcher has not answered yet. Try again in a moment.',
        '#retry:shown': true, '#resume:shown': false }, 'no answer to Retry');
      await shot(lp, 'no-answer');

      await lp.emit(ev.maintenance(false), ev.phase('checking'));
      await expectPage(lp, { '#phase': 'CHECKING', '#retry:shown': false, '#cancel:shown': true }, 'a late answer');
      await lp.emit(ev.ready(false), ev.error(NO_CONNECTION));
      assert.equal(await lp.text('#error-message'), NO_CONNECTION);
    }, {}, clocked);
  });

  it('ignores the late events of a cancelled pass until the next pass starts', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.filecount(7), ev.phase('downloading'), ev.block(64, 8.42, 212.5, LONG_FILE, 3, 7));
      await lp.click('#cancel');
      assert.deepEqual(await lp.commands('patch.cancel'), [{ cmd: 'patch.cancel' }]);
      assert.equal(await lp.page.evaluate(() => document.activeElement.id), 'resume', 'focus does not fall to the body');
      const stopped = { '#phase': 'STOPPED', '#resume:shown': true, '#cancel:shown': false, '#file-line:shown': false };
      // Blocks and a phase that were on their way when the pass stopped.
      await lp.emit(ev.block(70, 8.5, 215, LONG_FILE, 3, 7), ev.phase('downloading'), ev.filesDone(4, 7));
      await expectPage(lp, stopped, 'late events after Cancel');

      await lp.click('#resume');
      assert.deepEqual(await lp.commands('patch.start'), [{ cmd: 'patch.start' }]);
      await lp.emit(ev.block(75, 8.5, 216, LONG_FILE, 4, 7));
      await expectPage(lp, { '#phase': 'STARTING', '#resume:shown': false }, 'a late block is no answer to Resume');
      // The launcher ignores a start while the cancelled pass winds down.
      await lp.page.clock.fastForward(4100);
      await lp.frame();
      await expectPage(lp, stopped, 'Resume without answer');

      await lp.click('#resume');
      await lp.emit(ev.maintenance(false), ev.phase('checking'));
      await expectPage(lp, { '#phase': 'CHECKING', '#cancel:shown': true, '#resume:shown': false }, 'the next pass');
      await lp.emit(ev.phase('finished'), ev.ready(true));
      assert.equal(await lp.page.isEnabled('#play'), true);
    }, {}, clocked);
  });

  it('options: loads, shows the stored values, saves the choices, the speed limit only when changed, and hides the news view meanwhile', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT);
      await lp.clearCommands();
      await lp.click('#open-options');
      assert.deepEqual(await lp.commands('options.load'), [{ cmd: 'options.load' }]);
      assert.equal((await lastRect(lp)).visible, false, 'the news view floats over the dialog');
      assert.equal(await lp.page.isEnabled('#options-save'), false, 'nothing to save before the options arrive');

      await lp.emit(ev.options({ detail: 3, distant: 1, view: 4, shadow: 0, fullscreen: true, resW: 1600, resH: 900,
        resolutions: [{ w: 1024, h: 768 }, { w: 1920, h: 1080 }], maxKiBps: 300 }));
      const shown = await lp.page.evaluate(() => ({
        levels: ['detail', 'distant', 'view', 'shadow'].map((n) => document.getElementById(`opt-${n}`).value),
        fullscreen: document.getElementById('opt-fullscreen').checked,
        resolutions: [...document.querySelectorAll('#opt-resolution option')].map((o) => o.textContent),
        resolution: document.getElementById('opt-resolution').value,
        limits: [...document.querySelectorAll('#opt-maxkibps option')].map((o) => o.textContent),
        limit: document.getElementById('opt-maxkibps').value,
      }));
      assert.deepEqual(shown, {
        levels: ['3', '1', '4', '0'], fullscreen: true,
        resolutions: ['1600 × 900 (current)', '1024 × 768', '1920 × 1080'], resolution: '1600x900',
        limits: ['No limit', '300 KiB/s', '512 KiB/s', '1 MiB/s', '2 MiB/s', '5 MiB/s', '10 MiB/s'], limit: '300',
      });
      assert.equal(await lp.text('#out-view'), 'Highest');
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
      assert.deepEqual(await lp.commands('settings.setMaxKiBps'), [], 'an unchanged limit is not saved');
      await lp.frame();
      assert.deepEqual(await lastRect(lp), await newsBox(lp.page), 'the news view is back after saving');

      await lp.click('#open-options');
      await lp.emit(ev.options({ maxKiBps: 300 }));
      await lp.page.selectOption('#opt-maxkibps', '0');
      await lp.click('#options-save');
      assert.deepEqual(await lp.commands('settings.setMaxKiBps'), [{ cmd: 'settings.setMaxKiBps', maxKiBps: 0 }]);

      // Escape closes without saving and shows the news view again.
      await lp.click('#open-options');
      await lp.emit(ev.options({}));
      await lp.page.keyboard.press('Escape');
      await lp.frame();
      assert.equal((await lp.commands('options.save')).length, 2);
      assert.equal((await lastRect(lp)).visible, true);
    });
  });

  it('Verify game files asks for a repair, closes the dialog and shows the files and MiB checked', async () => {
    await scenario(async (lp) => {
      await toReady(lp);
      await lp.click('#open-options');
      await lp.emit(ev.options({}));
      await lp.clearCommands();
      await lp.click('#opt-verify');
      assert.deepEqual(await lp.commands('patch.verify'), [{ cmd: 'patch.verify' }]);
      assert.equal((await lp.commands('options.save')).length, 0, 'a repair saves no options');
      assert.equal(await lp.page.$eval('#options-dialog', (d) => d.open), false);

      await lp.emit(ev.maintenance(false), ev.ready(false), ev.phase('checking'), ev.phase('verifying'),
        { evt: 'verify', files: 1, fileCount: 4, doneMb: 256, totalMb: 1024 });
      await expectPage(lp, { '#phase': 'VERIFYING', '#status': 'Comparing every game file with the patch list…', '#overall-percent': '25%',
        '#overall-files': '1 of 4 files, 256.0 of 1024.0 MiB', '#play:enabled': false, '#cancel:shown': true }, 'verifying');
      await shot(lp, 'verifying');
      // Mismatches download as usual, and the bar is the download's again.
      await lp.emit(ev.filecount(1), ev.phase('downloading'), ev.block(50, 4, 10, 'Data/b.bin', 0, 1));
      await expectPage(lp, { '#phase': 'DOWNLOADING', '#overall-files': '0 of 1 files' }, 'downloading after the check');
    });
  });

  it('keeps the client count within 1 to 8 and saves each change', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, clientCount: 0 });
      await expectPage(lp, { '#clients-value': '1', '#clients-dec:enabled': false }, 'a stored 0');
      for (let i = 0; i < 9; i++) await lp.click('#clients-inc', { force: true });
      await expectPage(lp, { '#clients-value': '8', '#clients-inc:enabled': false }, 'nine presses');
      await lp.click('#clients-dec');
      assert.deepEqual((await lp.commands('settings.setClientCount')).map((c) => c.count), [2, 3, 4, 5, 6, 7, 8, 7]);
      await lp.emit({ ...INIT, clientCount: 12 });
      assert.equal(await lp.text('#clients-value'), '8');
    });
  });

  // video: its source when shown ('paused' when it does not play); still:
  // the picture's source when shown and loaded.
  const BACKGROUNDS = [
    { name: 'video', init: { animatedBg: true }, want: { video: 'https://client-assets/Background1.mp4', still: null } },
    { name: 'reduced motion', open: { reducedMotion: 'reduce' }, init: { animatedBg: true }, want: { video: null, still: 'https://client-assets/Background1.png' } },
    { name: 'assets host from the address', open: { assetsHost: 'game-assets.local' }, init: {}, want: { video: null, still: 'https://game-assets.local/Background1.png' } },
    { name: 'missing video', open: { missingAssets: ['Background1.mp4'] }, init: { animatedBg: true }, want: { video: null, still: 'https://client-assets/Background1.png' } },
    { name: 'missing pair', open: {}, init: { animatedBg: true, backgrounds: ['NoSuchPair'] }, want: { video: null, still: null } },
    { name: 'no pair', init: { animatedBg: true, backgrounds: [] }, want: { video: null, still: null } },
  ];
  for (const row of BACKGROUNDS) {
    it(`background: ${row.name}`, async () => {
      await scenario(async (lp) => {
        await lp.emit({ ...INIT, ...row.init });
        const read = () => lp.page.evaluate(() => {
          const v = document.getElementById('bg-video');
          const s = document.getElementById('bg-still');
          return { video: v.hidden ? null : `${v.currentTime > 0 ? '' : 'paused '}${v.src}`.trim(), still: s.hidden ? null : s.naturalWidth > 0 && s.src };
        });
        await lp.page.waitForFunction((want) => {
          const v = document.getElementById('bg-video');
          const s = document.getElementById('bg-still');
          return (v.hidden ? null : v.currentTime > 0 && v.src) === want.video && (s.hidden ? null : s.naturalWidth > 0 && s.src) === want.still;
        }, row.want, { timeout: 10000 }).catch(() => {});
        assert.deepEqual(await read(), row.want);
      }, { ...row.open, ignoreErrors: (text) => text.includes('404') });
    });
  }

  it('background toggle: saves the choice and swaps the video for the picture', async () => {
    await scenario(async (lp) => {
      await lp.emit({ ...INIT, animatedBg: true });
      await lp.click('#bg-toggle');
      assert.deepEqual(await lp.commands('settings.setAnimatedBg'), [{ cmd: 'settings.setAnimatedBg', enabled: false }]);
      assert.deepEqual(await lp.page.evaluate(() => ({ video: document.getElementById('bg-video').hidden && document.getElementById('bg-video').paused,
        still: !document.getElementById('bg-still').hidden, pressed: document.getElementById('bg-toggle').getAttribute('aria-pressed') })),
      { video: true, still: true, pressed: 'false' });
      await lp.click('#bg-toggle');
      assert.deepEqual((await lp.commands('settings.setAnimatedBg')).at(-1), { cmd: 'settings.setAnimatedBg', enabled: true });
      assert.equal(await lp.page.$eval('#bg-video', (v) => v.hidden), false);
    });
  });

  it('renders the Discord widget as text and falls back quietly on errors and non-JSON', async () => {
    await scenario(async (lp) => {
      const fallback = { '#discord-note:shown': true, '#discord-online-text': 'Status unavailable', '#discord-members': '' };
      await lp.emit(INIT, { evt: 'discord', json: JSON.stringify(WIDGET) });
      await expectPage(lp, { '#discord-title': 'Veltrune Official', '#discord-online-text': '1284 online', '#discord-note:shown': false }, 'widget');
      assert.deepEqual(await lp.page.$$eval('.member-name', (n) => n.map((x) => x.textContent)), WIDGET.members.map((m) => m.username));
      assert.deepEqual(await lp.page.evaluate(() => [document.querySelectorAll('.member .dot-dnd').length, document.querySelectorAll('.member .dot-idle').length]), [1, 2]);
      assert.equal(await lp.page.evaluate(() => window.injected === undefined && !document.querySelector('.members img')), true, 'a name is text, never markup');
      for (const bad of [{ error: true }, { json: '<html><body>502 Bad Gateway</body></html>' }, { json: '"just a string"' }]) {
        await lp.emit({ evt: 'discord', json: JSON.stringify(WIDGET) }, { evt: 'discord', ...bad });
        await expectPage(lp, fallback, JSON.stringify(bad));
      }
    });
  });

  it('posts what the player asks for: links by key, news tabs by mouse and keyboard, the window buttons', async () => {
    await scenario(async (lp) => {
      const keys = ['register', 'discord', 'youtube', 'facebook', 'roadmap', 'gallery', 'wiki', 'faq'];
      await lp.emit({ ...INIT, links: Object.fromEntries(keys.slice(0, 4).map((k) => [k, `https://${k}.example`])) });
      const bar = await lp.page.locator('#titlebar').boundingBox();
      const ROWS = [
        ['links open by key, never by address', async () => { for (const key of keys) await lp.click(`[data-link="${key}"]`); },
          keys.map((target) => ({ cmd: 'openurl', target }))],
        ['news tabs', async () => {
          await lp.click('#tab-ranking');
          await lp.page.keyboard.press('ArrowRight');
          assert.equal(await lp.page.evaluate(() => document.activeElement.id), 'tab-news', 'the arrow key moves the focus');
        },
          [{ cmd: 'news.navigate', target: 'ranking' }, { cmd: 'news.navigate', target: 'news' }]],
        ['title bar: drags with the left button only', async () => {
          await lp.page.mouse.click(bar.x + bar.width / 2, bar.y + bar.height / 2);
          await lp.page.mouse.click(bar.x + bar.width / 2, bar.y + bar.height / 2, { button: 'right' });
          await lp.click('#win-min');
          await lp.click('#win-close');
        }, [{ cmd: 'window.drag' }, { cmd: 'window.minimize' }, { cmd: 'window.close' }]],
      ];
      for (const [name, act, want] of ROWS) {
        await lp.clearCommands();
        await act();
        assert.deepEqual((await lp.commands()).filter((c) => c.cmd !== 'news.rect'), want, name);
      }

      await lp.emit({ ...INIT, links: {} });
      for (const sel of ['#register-card', '#discord-join', '#socials']) assert.equal(await lp.page.isVisible(sel), false, `${sel} without a link`);
    });
  });

  it('reaches Play with the keyboard and shows where the focus is', async () => {
    await scenario(async (lp) => {
      await toReady(lp);
      for (let i = 0; i < 40 && (await lp.page.evaluate(() => document.activeElement.id)) !== 'play'; i++) await lp.page.keyboard.press('Tab');
      assert.match(await lp.page.$eval('#play', (b) => getComputedStyle(b).boxShadow), /rgb\(240, 179, 90\)/, 'accent focus ring on Play');
      await lp.page.keyboard.press('Enter');
      assert.deepEqual(await lp.commands('game.play'), [{ cmd: 'game.play', clients: 2 }]);
    });
  });

  it('draws a stream of progress events at most once per frame', async () => {
    await scenario(async (lp) => {
      await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.filecount(40), ev.phase('downloading'));
      const r = await lp.page.evaluate(async () => {
        let writes = 0;
        const mo = new MutationObserver((m) => { writes += m.length; });
        mo.observe(document.getElementById('file-percent'), { childList: true, characterData: true, subtree: true });
        let frames = 0;
        let running = true;
        (function tick() { if (running) { frames++; requestAnimationFrame(tick); } })();
        // Each event is its own task, as the host delivers them.
        const channel = new MessageChannel();
        let k = 0;
        await new Promise((resolve) => {
          channel.port1.onmessage = () => {
            const fileIndex = Math.floor(k / 50);
            window.__host.emit({ evt: 'progress', filePercent: ((k % 50) + 1) * 2, speed: 50, doneMb: k * 0.25,
              file: `data/pack_${fileIndex}.pak`, fileIndex, fileCount: 40, totalPercent: Math.trunc(fileIndex * 100 / 40) });
            if (++k < 2000) channel.port2.postMessage(0); else resolve();
          };
          channel.port2.postMessage(0);
        });
        await new Promise((res) => requestAnimationFrame(() => requestAnimationFrame(res)));
        running = false;
        mo.disconnect();
        return { writes, frames };
      });
      assert.ok(r.writes <= r.frames + 2, `DOM written ${r.writes} times in ${r.frames} frames`);
      await expectPage(lp, { '#file-percent': '100%', '#file-name': 'data/pack_39.pak', '#file-done': '499.8 MiB', '#overall-files': '39 of 40 files' }, 'the last event');
    });
  });
});

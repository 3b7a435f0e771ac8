// The launcher page in Chromium, driven through a stand-in for the web
// view's message channel: the page's commands are recorded, the launcher's
// events are delivered as message events.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startServer } from '../support/js/server.mjs';
import { launchBrowser } from '../support/js/browser.mjs';
import { createLauncherHarness, INIT, PASS_TO_READY, toDownloading, ev } from '../support/js/launcher_page.mjs';

const LONG_FILE = 'data\\world\\maps\\northern_reaches_of_the_frostbound_kingdom\\terrain_lod0_high_quality_streaming_tiles.pak';
const MISSING = 'A required file was not found on the server:\nhttps://patch.game.example/files/data/world/maps/northern_reaches_of_the_frostbound_kingdom/terrain_lod0_high_quality_streaming_tiles.pak.gz';
const WIDGET = {
  name: 'Veltrune Official',
  presence_count: 1284,
  members: [
    { username: 'Aldric', status: 'online', game: { name: 'Veltrune' } },
    { username: 'Thorne the Unyielding Guardian of the Northern Gate', status: 'dnd' },
    { username: '<img src=x onerror="window.injected=1">', status: 'idle' },
  ],
};

let server;
let browser;
let harness;
let clocked; // the page's timers on Playwright's clock, moved on instead of waited for

before(async () => {
  server = await startServer(path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..'));
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
const noOverflow = async (lp, state) => assert.deepEqual(await lp.shot(state), [], `text overflow in the ${state} state`);
const later = async (lp, ms) => { await lp.page.clock.fastForward(ms); await lp.frame(); };

describe('launcher page', () => {
  it('announces itself once listening, reports the news area, fills in init and the Discord widget (as text; errors and non-JSON fall back quietly), and again after a resize or reload', () => scenario(async (lp) => {
    const posts = await lp.rawPosts();
    assert.ok(posts.every((p) => p.type === 'object'), 'commands are posted as objects, never as strings');
    assert.deepEqual(posts.filter((p) => JSON.parse(p.json).cmd === 'ui.ready').map((p) => p.listeners), [1],
      'one ui.ready, sent after the listener was installed');
    assert.deepEqual(await lp.lastRect(), await lp.newsBox());

    await lp.emit(INIT, { evt: 'discord', json: JSON.stringify(WIDGET) });
    await expectPage(lp, { '#version': 'v1.0.0', '#clients-value': '2', '#register-card:shown': true, '#link-youtube:shown': true,
      '#link-facebook:shown': false, '#play:enabled': false, '#discord-title': 'Veltrune Official', '#discord-online-text': '1284 online',
      '#discord-note:shown': false }, 'after init (an empty link hides its button)');
    await noOverflow(lp, 'idle');
    assert.deepEqual(await lp.page.evaluate(() => ({
      names: [...document.querySelectorAll('.member-name')].map((n) => n.textContent),
      dots: ['dnd', 'idle'].map((d) => document.querySelectorAll(`.member .dot-${d}`).length),
      markup: window.injected !== undefined || !!document.querySelector('.members img'),
    })), { names: WIDGET.members.map((m) => m.username), dots: [1, 1], markup: false });
    for (const bad of [{ error: true }, { json: '<html><body>502 Bad Gateway</body></html>' }, { json: '"just a string"' }]) {
      await lp.emit({ evt: 'discord', json: JSON.stringify(WIDGET) }, { evt: 'discord', ...bad });
      await expectPage(lp, { '#discord-note:shown': true, '#discord-online-text': 'Status unavailable', '#discord-members': '' }, JSON.stringify(bad));
    }

    const wide = await lp.lastRect();
    await lp.page.setViewportSize({ width: 1100, height: 700 });
    await lp.rectSettles((r) => r.w !== wide.w);
    await lp.reload();
    assert.equal((await lp.commands('ui.ready')).length, 1, 'a reloaded page announces itself again');
  }));

  it('draws a pass to Ready; maintenance withdraws Play and shrinks the news area while it lasts', () => scenario(async (lp) => {
    await lp.emit(INIT, ev.maintenance(false), ev.phase('checking'), ev.status('Selecting the fastest server…'));
    await expectPage(lp, { '#phase': 'CHECKING', '#status': 'Selecting the fastest server…', '#cancel:shown': true }, 'checking');
    await lp.emit(ev.filecount(7), ev.phase('downloading'), ev.block(0, 0, 0, LONG_FILE, 0, 7), ev.block(64, 8.42, 212.5, LONG_FILE, 3, 7));
    await expectPage(lp, { '#file-name': LONG_FILE, '#file-percent': '64%', '#file-speed': '8.4 MiB/s', '#file-done': '212.5 MiB',
      '#overall-percent': '42%', '#overall-files': '3 of 7 files', '#play:enabled': false }, 'downloading');
    assert.ok(await lp.page.$eval('#file-name', (e) => e.scrollWidth > e.clientWidth && getComputedStyle(e).textOverflow === 'ellipsis'),
      'long file names are ellipsised');
    await noOverflow(lp, 'patching');
    // The per-file form carries no file fields; the line keeps the last file.
    await lp.emit(ev.progress(4, 7));
    await expectPage(lp, { '#overall-files': '4 of 7 files', '#overall-percent': '57%', '#file-name': LONG_FILE }, 'a file done');
    // A large file mostly found on disk: the bar follows the bytes on the wire.
    await lp.emit({ ...ev.progress(4, 7), downloadMb: 12, downloadedMb: 3, reusedMb: 1945.6 });
    await expectPage(lp, { '#overall-files': '4 of 7 files · 3.0 MiB of 12 MiB · 1.9 GiB reused', '#overall-percent': '25%' },
      'bytes reused');
    await lp.emit(ev.progress(7, 7), ev.phase('finished'), ev.ready(true));
    await expectPage(lp, { '#phase': 'READY', '#overall-percent': '100%', '#play:enabled': true, '#cancel:shown': false,
      '#file-line:shown': false }, 'ready');
    await noOverflow(lp, 'ready');

    const open = await lp.lastRect();
    await lp.emit(ev.maintenance(true), ev.ready(false));
    await expectPage(lp, { '#maintenance:shown': true, '#play:enabled': false, '#phase': 'MAINTENANCE' }, 'maintenance');
    await lp.rectSettles((r) => r.h < open.h);
    await noOverflow(lp, 'maintenance');
    await lp.emit(ev.maintenance(false));
    await expectPage(lp, { '#maintenance:shown': false, '#play:enabled': false }, 'maintenance over: files are checked again first');
    await lp.rectSettles((r) => r.h === open.h);
  }));

  it('holds Play until the launch ends, posts it once however often pressed, reaches it by keyboard, also on a reloaded page', () => scenario(async (lp) => {
    await lp.emit(INIT, ...PASS_TO_READY);
    await lp.click('#clients-inc');
    await lp.page.$eval('#play', (b) => { b.click(); b.click(); }); // both before the page redraws
    await lp.frame();
    assert.deepEqual(await lp.commands('game.play'), [{ cmd: 'game.play', clients: 3 }], 'Play pressed twice');
    await lp.emit(ev.launch(true));
    await later(lp, 30000); // three clients may take 25 s to start
    await expectPage(lp, { '#play:enabled': false, '#phase': 'STARTING' }, 'while the clients start');
    await lp.emit(ev.launch(false, 3));
    for (let i = 0; i < 40 && (await lp.page.evaluate(() => document.activeElement.id)) !== 'play'; i++) await lp.page.keyboard.press('Tab');
    assert.match(await lp.page.$eval('#play', (b) => getComputedStyle(b).boxShadow), /rgb\(240, 179, 90\)/, 'accent focus ring on Play');
    await lp.page.keyboard.press('Enter');
    assert.equal((await lp.commands('game.play')).length, 2, 'Play reached by the keyboard after the launch');

    await lp.reload();
    await lp.emit(INIT, ev.maintenance(false), ev.ready(true), ev.launch(true));
    await expectPage(lp, { '#play:enabled': false, '#phase': 'STARTING' }, 'reloaded during a launch');
    await lp.emit(ev.launch(false, 2));
    // A Play that crossed the start of maintenance gets no launch; the
    // withdrawal of play ends the wait for it.
    await lp.click('#play');
    await lp.emit(ev.maintenance(true), ev.ready(false), ...PASS_TO_READY);
    await expectPage(lp, { '#play:enabled': true, '#phase': 'READY' }, 'after a refused Play');
  }, {}, clocked));

  it('shows an error with its line break; a Retry without answer offers Retry again, never a cancel', () => scenario(async (lp) => {
    await lp.emit(INIT, ...toDownloading(2), ev.block(10, 1, 1, 'data/a.pak', 0, 2), ev.ready(false), ev.error(MISSING));
    await expectPage(lp, { '#error-message': MISSING, '#error-panel:shown': true, '#patch-progress:shown': false, '#cancel:shown': false,
      '#play:enabled': false }, 'error');
    await noOverflow(lp, 'error');
    await lp.click('#retry');
    assert.deepEqual(await lp.commands('patch.retry'), [{ cmd: 'patch.retry' }]);
    await expectPage(lp, { '#error-panel:shown': false, '#retry:shown': false }, 'retrying');
    await later(lp, 90100); // longer than any wind-down of the last pass
    await expectPage(lp, { '#phase': 'NO ANSWER', '#status': 'The launcher has not answered yet. Try again in a moment.',
      '#retry:shown': true, '#resume:shown': false }, 'no answer to Retry');
    await noOverflow(lp, 'no-answer');
    await lp.emit(ev.maintenance(false), ev.phase('checking'));
    await expectPage(lp, { '#phase': 'CHECKING', '#retry:shown': false, '#cancel:shown': true }, 'a late answer');
  }, {}, clocked));

  it('ignores the late events of a cancelled pass until the next pass starts', () => scenario(async (lp) => {
    await lp.emit(INIT, ...toDownloading(7), ev.block(64, 8.42, 212.5, LONG_FILE, 3, 7));
    await lp.click('#cancel');
    assert.deepEqual(await lp.commands('patch.cancel'), [{ cmd: 'patch.cancel' }]);
    assert.equal(await lp.page.evaluate(() => document.activeElement.id), 'resume', 'focus does not fall to the body');
    const stopped = { '#phase': 'STOPPED', '#resume:shown': true, '#cancel:shown': false, '#file-line:shown': false };
    // Blocks and a phase that were on their way when the pass stopped.
    await lp.emit(ev.block(70, 8.5, 215, LONG_FILE, 3, 7), ev.phase('downloading'), ev.progress(4, 7));
    await expectPage(lp, stopped, 'late events after Cancel');

    await lp.click('#resume');
    await lp.emit(ev.block(75, 8.5, 216, LONG_FILE, 4, 7));
    await expectPage(lp, { '#phase': 'STARTING', '#resume:shown': false }, 'a late block is no answer to Resume');
    await later(lp, 60000); // the launcher starts the next pass once the cancelled one has wound down
    await expectPage(lp, { '#phase': 'STARTING', '#resume:shown': false, '#retry:shown': false }, 'a long wind-down');
    await lp.emit(ev.maintenance(false), ev.phase('checking'));
    await expectPage(lp, { '#phase': 'CHECKING', '#cancel:shown': true, '#resume:shown': false }, 'the next pass');
    assert.deepEqual(await lp.commands('patch.start'), [{ cmd: 'patch.start' }], 'one press');
  }, {}, clocked));

  it('downloading: MiB of MiB, then the time left once the rate is steady, moving only a little per update', () => scenario(async (lp) => {
    // The estimate on its own clock, every 0.5 s: 2 MiB/s of 120 MiB for 10 s, then a burst at 20 MiB/s.
    const shown = await lp.page.evaluate(async () => {
      const left = (await import('./js/time_left.js')).createTimeLeft();
      return Array.from({ length: 29 }, (_, i) => Math.round(left.sample(i * 500, i <= 20 ? i : 20 + (i - 20) * 10, 120)));
    });
    assert.deepEqual(shown.slice(0, 21), [-1, -1, -1, -1, -1, -1, 57, 57, 56, 56, 55, 55, 54, 54, 53, 53, 52, 52, 51, 51, 50],
      'nothing in the first 3 s, then a steady countdown');
    assert.ok(shown.slice(21).every((s, i) => s >= shown[20 + i] * 0.85 - 0.5), `a burst moves it gently: ${shown.slice(20)}`);
    await lp.emit(INIT, ...toDownloading(2));
    const texts = [];
    for (const [ms, mb] of [[0, 0], [2000, 4], [10000, 24]]) { // steps long enough that the page's own time barely adds
      await later(lp, ms);
      await lp.emit({ ...ev.block(50, 2, mb, 'data/a.pak', 0, 2), downloadMb: 248, downloadedMb: mb, reusedMb: 0 });
      texts.push(await lp.text('#overall-files'));
    }
    assert.deepEqual(texts, ['0.0 MiB of 248 MiB', '4.0 MiB of 248 MiB', '24 MiB of 248 MiB · 2 min left'].map((t) => `0 of 2 files · ${t}`));
    await noOverflow(lp, 'time-left');
  }, {}, clocked));

  it('options: shows the stored values, saves the choices and the speed limit only when changed, hides the news view meanwhile, verifies', () => scenario(async (lp) => {
    await lp.emit(INIT);
    await lp.clearCommands();
    await lp.click('#open-options');
    assert.deepEqual(await lp.commands('options.load'), [{ cmd: 'options.load' }]);
    assert.equal((await lp.lastRect()).visible, false, 'the news view floats over the dialog');
    assert.equal(await lp.page.isEnabled('#options-save'), false, 'nothing to save before the options arrive');

    await lp.emit(ev.options({ detail: 3, distant: 1, view: 4, shadow: 0, fullscreen: true, resW: 1600, resH: 900,
      resolutions: [{ w: 1024, h: 768 }, { w: 1920, h: 1080 }], maxKiBps: 300 }));
    assert.deepEqual(await lp.page.evaluate(() => ({
      levels: ['detail', 'distant', 'view', 'shadow'].map((n) => document.getElementById(`opt-${n}`).value),
      fullscreen: document.getElementById('opt-fullscreen').checked,
      resolutions: [...document.querySelectorAll('#opt-resolution option')].map((o) => `${o.value} ${o.textContent}`),
      limits: [...document.querySelectorAll('#opt-maxkibps option')].map((o) => o.textContent),
      picked: [document.getElementById('opt-resolution').value, document.getElementById('opt-maxkibps').value],
    })), {
      levels: ['3', '1', '4', '0'], fullscreen: true, picked: ['1600x900', '300'],
      resolutions: ['1600x900 1600 × 900 (current)', '1024x768 1024 × 768', '1920x1080 1920 × 1080'],
      limits: ['No limit', '300 KiB/s', '512 KiB/s', '1 MiB/s', '2 MiB/s', '5 MiB/s', '10 MiB/s'],
    });
    await noOverflow(lp, 'options');
    await lp.page.focus('#opt-detail');
    await lp.page.keyboard.press('ArrowLeft');
    assert.deepEqual(await lp.look(['#out-detail', '#out-view']), { '#out-detail': 'Medium', '#out-view': 'Highest' });
    await lp.page.selectOption('#opt-resolution', '1920x1080');
    await lp.click('.switch');
    await lp.click('#options-save');
    assert.deepEqual(await lp.commands('options.save'), [{
      cmd: 'options.save', detail: 2, distant: 1, view: 4, shadow: 0, fullscreen: false, resW: 1920, resH: 1080,
    }]);
    assert.deepEqual(await lp.commands('settings.setMaxKiBps'), [], 'an unchanged limit is not saved');
    await lp.frame();
    assert.deepEqual(await lp.lastRect(), await lp.newsBox(), 'the news view is back after saving');

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
    assert.deepEqual([(await lp.commands('options.save')).length, (await lp.lastRect()).visible], [2, true]);

    // Verify game files asks for a repair, closes the dialog and shows the files and MiB checked.
    await lp.emit(...PASS_TO_READY);
    await lp.click('#open-options');
    await lp.emit(ev.options({}));
    await lp.click('#opt-verify');
    assert.deepEqual([await lp.commands('patch.verify'), (await lp.commands('options.save')).length], [[{ cmd: 'patch.verify' }], 2]);
    assert.equal(await lp.page.$eval('#options-dialog', (d) => d.open), false);
    await lp.emit(ev.maintenance(false), ev.ready(false), ev.phase('checking'), ev.phase('verifying'),
      { evt: 'verify', files: 1, fileCount: 4, doneMb: 256, totalMb: 1024 });
    await expectPage(lp, { '#phase': 'VERIFYING', '#status': 'Comparing every game file with the patch list…', '#overall-percent': '25%',
      '#overall-files': '1 of 4 files, 256.0 of 1024.0 MiB', '#play:enabled': false, '#cancel:shown': true }, 'verifying');
    await noOverflow(lp, 'verifying');
    // Mismatches download as usual, and the bar is the download's again.
    await lp.emit(ev.filecount(1), ev.phase('downloading'), ev.block(50, 4, 10, 'Data/b.bin', 0, 1));
    await expectPage(lp, { '#phase': 'DOWNLOADING', '#overall-files': '0 of 1 files' }, 'downloading after the check');
  }));

  it('keeps the client count within 1 to 8, swaps the background video for the picture, and saves each change', () => scenario(async (lp) => {
    await lp.emit({ ...INIT, clientCount: 0, animatedBg: true });
    await expectPage(lp, { '#clients-value': '1', '#clients-dec:enabled': false }, 'a stored 0');
    for (let i = 0; i < 9; i++) await lp.click('#clients-inc', { force: true });
    await expectPage(lp, { '#clients-value': '8', '#clients-inc:enabled': false }, 'nine presses');
    await lp.click('#clients-dec');
    assert.deepEqual((await lp.commands('settings.setClientCount')).map((c) => c.count), [2, 3, 4, 5, 6, 7, 8, 7]);
    const read = () => lp.page.evaluate(() => [document.getElementById('bg-video').paused, document.getElementById('bg-still').hidden,
      document.getElementById('bg-toggle').getAttribute('aria-pressed')]);
    await lp.click('#bg-toggle');
    assert.deepEqual(await read(), [true, false, 'false']);
    await lp.click('#bg-toggle');
    assert.deepEqual((await lp.commands('settings.setAnimatedBg')).map((c) => c.enabled), [false, true]);
    assert.deepEqual(await read(), [false, true, 'true']);
    await lp.emit({ ...INIT, clientCount: 12 });
    assert.equal(await lp.text('#clients-value'), '8');
  }));

  // video: its source when shown and playing; still: the picture's source when shown and loaded.
  const BACKGROUNDS = [
    ['video', {}, { animatedBg: true }, { video: 'https://client-assets/Background1.mp4', still: null }],
    ['reduced motion', { reducedMotion: 'reduce' }, { animatedBg: true }, { video: null, still: 'https://client-assets/Background1.png' }],
    ['assets host from the address', { assetsHost: 'game-assets.local' }, {}, { video: null, still: 'https://game-assets.local/Background1.png' }],
    ['missing video', { missingAssets: ['Background1.mp4'] }, { animatedBg: true }, { video: null, still: 'https://client-assets/Background1.png' }],
    ['missing pair', {}, { animatedBg: true, backgrounds: ['NoSuchPair'] }, { video: null, still: null }],
    ['no pair', {}, { animatedBg: true, backgrounds: [] }, { video: null, still: null }],
  ];
  for (const [name, open, init, want] of BACKGROUNDS) {
    it(`background: ${name}`, () => scenario(async (lp) => {
      await lp.emit({ ...INIT, ...init });
      const read = () => lp.page.evaluate(() => {
        const [v, s] = [document.getElementById('bg-video'), document.getElementById('bg-still')];
        return { video: v.hidden ? null : v.currentTime > 0 && v.src, still: s.hidden ? null : s.naturalWidth > 0 && s.src };
      });
      for (let i = 0; i < 100 && JSON.stringify(await read()) !== JSON.stringify(want); i++) await lp.page.waitForTimeout(100);
      assert.deepEqual(await read(), want);
    }, { ...open, ignoreErrors: (text) => text.includes('404') }));
  }


  it('posts what the player asks for: links by key, news tabs by mouse and keyboard, the window buttons', () => scenario(async (lp) => {
    const keys = ['register', 'discord', 'youtube', 'facebook', 'roadmap', 'gallery', 'wiki', 'faq'];
    await lp.emit({ ...INIT, links: Object.fromEntries(keys.slice(0, 4).map((k) => [k, `https://${k}.example`])) });
    const bar = await lp.page.locator('#titlebar').boundingBox();
    const ROWS = [
      ['links open by key, never by address', keys.map((key) => () => lp.click(`[data-link="${key}"]`)), keys.map((target) => ({ cmd: 'openurl', target }))],
      ['news tabs', [() => lp.click('#tab-ranking'), () => lp.page.keyboard.press('ArrowRight')],
        [{ cmd: 'news.navigate', target: 'ranking' }, { cmd: 'news.navigate', target: 'news' }]],
      ['the title bar drags with the left button only', [() => lp.page.mouse.click(bar.x + bar.width / 2, bar.y + bar.height / 2),
        () => lp.page.mouse.click(bar.x + bar.width / 2, bar.y + bar.height / 2, { button: 'right' }),
        () => lp.click('#win-min'), () => lp.click('#win-close')], [{ cmd: 'window.drag' }, { cmd: 'window.minimize' }, { cmd: 'window.close' }]],
    ];
    for (const [name, steps, want] of ROWS) {
      await lp.clearCommands();
      for (const step of steps) await step();
      assert.deepEqual((await lp.commands()).filter((c) => c.cmd !== 'news.rect'), want, name);
    }
    await lp.emit({ ...INIT, links: {} });
    await expectPage(lp, { '#register-card:shown': false, '#discord-join:shown': false, '#socials:shown': false }, 'no links');
  }));

  it('draws a stream of progress events at most once per frame', () => scenario(async (lp) => {
    await lp.emit(INIT, ...toDownloading(40));
    const r = await lp.page.evaluate(async () => {
      let writes = 0;
      let frames = 0;
      new MutationObserver((m) => { writes += m.length; })
        .observe(document.getElementById('file-percent'), { childList: true, characterData: true, subtree: true });
      const tick = () => { frames++; requestAnimationFrame(tick); };
      tick();
      // Each event is its own task, as the host delivers them.
      const channel = new MessageChannel();
      for (let k = 0; k < 2000; k++) {
        await new Promise((resolve) => { channel.port1.onmessage = resolve; channel.port2.postMessage(0); });
        window.__host.emit({ evt: 'progress', filePercent: ((k % 50) + 1) * 2, speed: 50, doneMb: k * 0.25,
          file: `data/pack_${Math.floor(k / 50)}.pak`, fileIndex: Math.floor(k / 50), fileCount: 40, totalPercent: Math.floor(k / 50) * 2.5 });
      }
      await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
      return { writes, frames };
    });
    assert.ok(r.writes <= r.frames + 2, `DOM written ${r.writes} times in ${r.frames} frames`);
    await expectPage(lp, { '#file-percent': '100%', '#file-name': 'data/pack_39.pak', '#file-done': '499.8 MiB', '#overall-files': '39 of 40 files' }, 'the last event');
  }));
});

// The real Veltrune.exe under Wine where the live page tests do not reach: a
// second copy, closing during a download, the self-update, runtime failures,
// origins, resources and DPI. Driven through the fake runtime's control
// channel, e2e_probe and the launcher's files; no browser.
//
// Needs the Windows and native builds and a Wine prefix and display, as
// scripts/test.sh provides them; without them the tests are skipped.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {
  BIG_FILE, ROOT, UI_PAGE, bytes, liveParts, ownPrefix, prefixFolder, probe, roamingFolder, setUpWorld, takeTurn,
  wine, winPath, withLauncher,
} from '../support/js/live_launcher.mjs';
import { unixPath } from '../support/js/page_link.mjs';

const parts = liveParts();
const skip = parts.missing.length ? `needs ${parts.missing.join(', ')}` : false;
const WORK = path.join(ROOT, 'build/live-exe');
const exited = async (launcher) => assert.deepEqual([await launcher.waitExit(), launcher.logLines().at(-1)], [0, 'Veltrune exiting']);

describe('Veltrune.exe', { skip, timeout: 1200000 }, () => {
  let release;
  before(async () => {
    release = await takeTurn();
    fs.rmSync(WORK, { recursive: true, force: true });
    fs.mkdirSync(WORK, { recursive: true });
  });
  after(() => release?.());

  test('a second copy leaves without touching the log; closing during a stalled download waits for the worker, which removes its partial copy', async () => {
    let stall;
    const w = await setUpWorld(null, parts, WORK, 'instance', { beforeStart: (s) => { stall = s.stall(`/Patch/${BIG_FILE}.gz`, 300000); } });
    const { launcher } = w;
    try {
      await launcher.control.waitViews(2);
      await launcher.waitLog('WebView: news view navigating to https://news.veltrune.example/news.php');
      const log = path.join(launcher.folder, 'Veltrune.log');
      const before = [fs.readFileSync(log), fs.statSync(log).mtimeMs];
      const second = wine([launcher.exe], path.join(WORK, 'second-copy.txt'), { cwd: launcher.folder, env: { WEBVIEW2_BROWSER_EXECUTABLE_FOLDER: winPath(parts.runtime) } });
      assert.deepEqual([second.status, fs.readFileSync(log), fs.statSync(log).mtimeMs, launcher.probe('count').count], [0, ...before, '1']);

      await launcher.control.message(UI_PAGE, { cmd: 'ui.ready' });
      await stall.reached;
      const partial = path.join(launcher.folder, `${BIG_FILE}.veltrune-staged`); // the file's own name only once proven
      assert.deepEqual([fs.existsSync(partial), fs.existsSync(path.join(launcher.folder, BIG_FILE))], [true, false]);
      assert.equal(launcher.probe('close', 30000).closed, '1', 'WM_CLOSE posted');
      await launcher.waitLog('Veltrune exiting');
      // Had the process not waited for its worker, the partial copy would outlive it.
      assert.ok(launcher.alive(), 'the process ended while its worker was inside a download');
      stall.release();
      await exited(launcher);
      assert.ok(!fs.existsSync(partial), 'the cancelled download was left behind');
    } finally {
      await w.tearDown();
    }
  });

  test('a list of another version: the replacement lands in the roaming folder, the updater starts hidden with its four arguments, nothing else is fetched', async () => {
    const replacement = path.join(WORK, 'newbuild.exe');
    const payload = Buffer.concat([Buffer.from('MZ'), bytes(150000, 4)]);
    fs.writeFileSync(replacement, payload);
    const target = path.join(roamingFolder(), 'Quorvane/newLauncher.exe');
    fs.rmSync(target, { force: true });
    const w = await setUpWorld(null, parts, WORK, 'update', { version: 30, launcher: replacement });
    const { launcher } = w;
    try {
      await launcher.control.message(UI_PAGE, { cmd: 'ui.ready' });
      const events = await launcher.eventsUntil((e, all) => ['ready', 'error'].includes(e.evt) || all.filter((x) => x.phase === 'updating').length === 2);
      assert.deepEqual(events.filter((e) => ['phase', 'ready', 'error'].includes(e.evt)).map((e) => e.phase || e.evt), ['checking', 'updating', 'updating']);
      assert.equal(await launcher.waitExit(), 0);
      assert.ok(launcher.logLines().includes('Patcher: launcher out of date (server v30, local v29) -> self-update'));
      assert.ok(fs.readFileSync(target).equals(payload), 'the replacement differs from the published launcher');
      assert.deepEqual(w.server.requests.filter((r) => r.endsWith('.gz') && !r.endsWith('list.txt.gz')), ['/Patch/newLauncher.exe.gz']);

      const starts = launcher.starts();
      const [, updater, exe, handed, pid] = /^"([^"]+)" "([^"]+)" "([^"]+)" (\d+)$/.exec(starts[0]?.cmd) || [];
      const folder = winPath(launcher.folder).toLowerCase();
      assert.deepEqual([starts.length, starts[0].flags, starts[0].show, starts[0].cwd.toLowerCase(), updater?.toLowerCase(), exe?.toLowerCase()],
        [1, '1', '0', folder, `${folder}\\updater.exe`, `${folder}\\veltrune.exe`], `updater start ${starts[0]?.cmd}`);
      assert.equal(unixPath(handed), fs.realpathSync(target), 'the replacement handed over');
      assert.notEqual(pid, starts[0].pid, 'the process id given is the updater\'s own');
    } finally {
      await w.tearDown();
      fs.rmSync(target, { force: true });
    }
  });

  test('Veltrune.exe carries its manifest, icon 1 and a version resource, and imports only DLLs that Windows has', () => {
    const r = probe(parts, 'resources', winPath(parts.veltrune), path.join(WORK, 'resources.txt'));
    for (const needle of ['>PerMonitorV2</dpiAwareness>', '>true</longPathAware>', 'level="asInvoker"', 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"']) {
      assert.ok(r.manifest?.includes(needle), `manifest lacks ${needle}`);
    }
    assert.deepEqual([r.icons?.split(',').filter((i) => ['16', '256'].includes(i)), r.icons?.includes('missing'), r.fileversion, r.ProductName],
      [['16', '256'], false, '1.0.0.0', 'Veltrune'], `icon group 1 ${r.icons} and version resource`);

    const dump = execFileSync('x86_64-w64-mingw32-objdump', ['-p', parts.veltrune], { encoding: 'utf8', maxBuffer: 1 << 28 });
    const imports = [...dump.matchAll(/DLL Name: (\S+)/g)].map((m) => m[1]);
    const system32 = new Set(fs.readdirSync(prefixFolder('windows/system32')).map((n) => n.toLowerCase()));
    // Wine's system32 has a zlib1.dll of its own; Windows has none.
    assert.deepEqual(imports.filter((n) => !system32.has(n.toLowerCase()) || /^(lib|zlib)/i.test(n)), [], `foreign DLLs among ${imports}`);
    assert.ok(imports.includes('KERNEL32.dll'), 'import table not read');
  });

  const NOT_FOUND = 'The Microsoft Edge WebView2 Runtime is required but was not found.\nPlease install the Evergreen WebView2 Runtime and try again.';
  for (const [name, env, box, logged] of [
    ['no runtime', { WEBVIEW2_BROWSER_EXECUTABLE_FOLDER: winPath(WORK) }, NOT_FOUND, 'WebView: CreateCoreWebView2EnvironmentWithOptions failed 0x'],
    ['a controller request refused on the spot', { VR_FAKE_WEBVIEW2_OPTIONS: 'controller.call.0 0x80070057' }, undefined, 'WebView: controller creation failed 0x80070057'],
  ]) {
    test(`${name}: the failure is logged, at most a box tells it, and the launcher ends with no empty window`,
      () => withLauncher(parts, path.join(WORK, name.replace(/ /g, '-')), { env, connect: false }, async (launcher) => {
        const { text, buttons } = box ? launcher.probe('dialog', 60000) : {};
        if (box) assert.deepEqual([text, buttons], [box, '1'], 'message box text and buttons');
        await exited(launcher);
        assert.ok(launcher.logLines().some((l) => l.startsWith(logged)), `no ${logged}`);
      }));
  }

  test('messages from other origins are logged and ignored; other pages of the start page\'s site and the UI host are heard', () => {
    const site = 'https://play.veltrune.example';
    const refused = ['http://play.veltrune.example/patcher/index.html', 'https://play.veltrune.example.evil.example/patcher/index.html',
      'https://elsewhere.example/patcher/index.html'];
    return withLauncher(parts, path.join(WORK, 'origins'), { patcherUrl: `${site}/patcher/index.html` }, async (launcher) => {
      const c = launcher.control;
      for (const source of refused) {
        await c.message(source, { cmd: 'settings.setClientCount', count: 7 });
        await c.message(source, { cmd: 'window.close' });
      }
      assert.ok(!fs.existsSync(path.join(launcher.folder, 'PatcherSettings.ini')), 'a refused message changed the preferences');
      await c.message(`${site}/other/page.html`, { cmd: 'settings.setClientCount', count: 3 });
      await c.message(site, { cmd: 'ui.ready' });
      const [first] = await launcher.eventsUntil(() => true);
      assert.deepEqual([first.evt, first.clientCount], ['init', 3]);
      const log = launcher.logLines();
      assert.deepEqual(refused.map((s) => log.filter((l) => l === `WebView: ignored web message from untrusted origin ${s}`).length), [2, 2, 2]);
      await c.message('https://veltrune-ui.example/local.html', { cmd: 'window.close' });
      assert.equal(await launcher.waitExit(), 0);
    });
  });

  test('window size, style and centring at 96 and 144 DPI, and the news view scaled at 120 DPI, in a prefix of its own', async () => {
    const prefix = ownPrefix(path.join(parts.win, 'dpi-prefix'));
    try {
      for (const dpi of [96, 144, 120]) {
        prefix.setDpi(dpi);
        await withLauncher(parts, path.join(WORK, `dpi-${dpi}`), { env: prefix.env }, async (launcher) => {
          const c = launcher.control;
          await c.waitViews(2);
          const w = launcher.probe('window', 60000);
          const [width, height] = [Math.floor(1224 * dpi / 96), Math.floor(772 * dpi / 96)];
          const [left, top, right, bottom] = w.work.split(',').map(Number);
          const [x, y] = [left + Math.trunc((right - left - width) / 2), top + Math.trunc((bottom - top - height) / 2)];
          // WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX (the system adds
          // WS_CLIPSIBLINGS to every top-level window); WS_EX_APPWINDOW.
          assert.deepEqual([w.dpi, w.rect, w.client, (Number(w.style) & ~0x04000000) >>> 0, w.exstyle, w.title, (await c.views())[0].bounds],
            [String(dpi), `${x},${y},${x + width},${y + height}`, `${width},${height}`, 0x920A0000, '0x00040000', 'Veltrune', `0,0,${width},${height}`],
            `window at ${dpi} DPI`);
          if (dpi === 120) {
            await c.message(UI_PAGE, { cmd: 'news.rect', visible: true, x: 10, y: 20, w: 101, h: 50 });
            const news = (await c.views())[1];
            // Edges, not sizes, are scaled, with MulDiv's rounding: 12.5 -> 13.
            assert.deepEqual([news.bounds, news.visible], ['13,25,139,88', '1'], 'news view at 120 DPI');
          }
          await c.message(UI_PAGE, { cmd: 'window.close' });
          assert.equal(await launcher.waitExit(), 0);
        });
      }
    } finally {
      prefix.stop();
    }
  });
});

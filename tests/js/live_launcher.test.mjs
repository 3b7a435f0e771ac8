// Live tests: the real page in Chromium, linked through the fake WebView2
// runtime to the real Veltrune.exe under Wine, patching from a loopback
// server a game published with veltrune-publish. The tests click as a
// player would and check what the page shows and what the launcher did.
// Screenshots of the states reached go to build/screenshots/live/.
//
// Needs the Windows and native builds and a Wine prefix and display, as
// scripts/test.sh provides them; without them the tests are skipped.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { launchBrowser } from '../support/js/browser.mjs';
import { BIG_FILE, ROOT, liveParts, setUpWorld, takeTurn, waitFor, winPath } from '../support/js/live_launcher.mjs';

const parts = liveParts();
const skip = parts.missing.length ? `needs ${parts.missing.join(', ')}` : false;
const WORK = path.join(ROOT, 'build/live');
let browser;

// Runs a scenario in its world and insists on a clean end and a quiet page.
async function live(name, options, fn) {
  const w = await setUpWorld(browser, parts, WORK, name, options);
  try {
    await fn(w);
  } finally {
    assert.deepEqual(await w.tearDown(), [], 'errors in the page');
  }
}

const closes = async (w) => assert.deepEqual(await w.closeByButton(), [0, 'Veltrune exiting'], 'exit code and last log line');
const objectRequests = (w) => w.server.requests.filter((r) => r.endsWith('.gz') && !r.endsWith('list.txt.gz'));

describe('live: the page on Veltrune.exe', { skip, timeout: 600000 }, () => {
  let release;
  before(async () => { release = await takeTurn(); fs.rmSync(WORK, { recursive: true, force: true }); browser = await launchBrowser(); });
  after(async () => { await browser?.close(); release?.(); });

  let stall;
  const stallBig = (after) => ({ beforeStart: (s) => { stall = s.stall(`/Patch/${BIG_FILE}.gz`, after); } });

  test('a full pass shows the download and ends ready, also after a reload; Play with two clients starts two; a second start fetches nothing',
    { timeout: 180000 }, () => live('play', stallBig(400000), async (w) => {
      // The page's own address passed the launcher's origin check.
      await waitFor(() => w.link.events.some((e) => e.evt === 'init'), 'init');
      assert.ok(!w.launcher.logLines().some((l) => l.includes('untrusted origin')), 'a page message was refused');
      await stall.reached;
      await waitFor(() => w.page.locator('#file-name').textContent().then((t) => t.includes('deep.bin')), 'the big file on show');
      assert.deepEqual([await w.page.locator('#phase').textContent(), await w.page.locator('#play').isDisabled()], ['Downloading', true]);
      await w.shot('patching.png');
      // About seven seconds for the rest: long enough for a time left.
      stall.release(200);
      await waitFor(() => w.page.locator('#overall-files').textContent().then((t) => / of .* left$/.test(t)), 'sizes and time left');
      await w.shot('downloading.png');
      await w.playEnabled();
      assert.deepEqual(w.staleFiles(), []);
      // A reloaded page hears the current state again.
      await w.page.reload();
      await w.playEnabled();
      await w.shot('ready.png');

      await w.page.click('#clients-inc');
      await w.page.click('#play');
      assert.equal(await w.launcher.waitExit(), 0, 'exit code after Play');
      const starts = w.launcher.starts();
      const folder = winPath(w.launcher.folder).toLowerCase();
      assert.deepEqual(starts.map((c) => [c.cwd.toLowerCase(), c.cmd.toLowerCase()]), Array(2).fill([folder, `"${folder}\\quorvane.exe" lumaris`]));
      assert.ok(starts[1].time - starts[0].time >= 2400, 'the clients were not started 2.5 s apart');
      assert.ok(w.launcher.logLines().includes('GameLaunch: started 2/2 client(s)'), 'no launch summary in the log');

      const fetched = objectRequests(w).length;
      await w.link.close();
      await w.start();
      await w.playEnabled();
      assert.equal(await w.page.locator('#clients-value').textContent(), '2', 'the client count was not remembered');
      assert.ok(!w.link.events.some((e) => e.evt === 'filecount'), 'the second start queued files');
      assert.equal(objectRequests(w).length, fetched, 'objects fetched again');
      await closes(w);
    }));

  test('Cancel stops the download and removes the partial file; Resume finishes it', { timeout: 120000 }, () => live('cancel', stallBig(300000), async (w) => {
    await stall.reached;
    await w.shown('#cancel');
    await w.page.click('#cancel');
    await w.shown('#resume');
    // The body goes on only once the launcher has the cancel request.
    await waitFor(() => w.link.delivered.some((c) => c.cmd === 'patch.cancel'), 'the cancel request handled');
    stall.release();
    await waitFor(() => !fs.existsSync(path.join(w.launcher.folder, BIG_FILE)), 'the partial file to go');
    assert.deepEqual([await w.page.locator('#resume').isVisible(), await w.page.locator('#play').isDisabled()], [true, true],
      'Resume and no Play after the cancelled pass');
    await w.shot('cancelled.png');

    // One press: a start asked for while the cancelled pass still winds
    // down is kept and runs once that pass has ended.
    await w.page.click('#resume');
    await w.playEnabled();
    assert.deepEqual(w.staleFiles(), []);
    await closes(w);
  }));

  test('maintenance on withholds Play and the list; once off, the pass runs and Play is offered', { timeout: 120000 },
    () => live('maintenance', { maintenance: 'on' }, async (w) => {
      await w.shown('#maintenance');
      // Two cycles, so the flag was asked for again and still held.
      await waitFor(() => w.link.events.filter((e) => e.evt === 'maintenance').length >= 2, 'a second maintenance check');
      assert.ok(await w.page.locator('#play').isDisabled(), 'Play offered during maintenance');
      assert.ok(!w.server.requests.includes('/Patch/list.txt.gz'), 'list fetched during maintenance');
      await w.shot('maintenance.png');
      w.publish({ maintenance: 'off' });
      await w.playEnabled();
      assert.ok(await w.page.locator('#maintenance').isHidden(), 'maintenance still shown');
      assert.deepEqual(w.staleFiles(), []);
      await closes(w);
    }));

  const MISSING = '/Patch/readme.txt.gz';
  test('a file missing on the server shows the error and removes the failed file; Retry after the fix fetches only what is stale',
    { timeout: 120000 }, () => live('missing', { beforeStart: (s) => s.status.set(MISSING, 404) }, async (w) => {
      await w.shown('#error-panel');
      assert.equal(await w.page.locator('#error-message').textContent(), `A required file was not found on the server:\n${w.server.url(MISSING)}`);
      assert.deepEqual([await w.page.locator('#retry').isVisible(), await w.page.locator('#play').isDisabled()], [true, true], 'Retry, no Play');
      await w.shot('error.png');
      // Files that finished before the pass stopped are kept, the others deleted.
      const stale = w.staleFiles();
      assert.ok(stale.includes('readme.txt') && !fs.existsSync(path.join(w.launcher.folder, 'readme.txt')), 'the failed file was left behind');

      w.server.status.delete(MISSING);
      const before = w.link.events.length;
      await w.page.click('#retry');
      await w.playEnabled();
      assert.deepEqual(w.link.events.slice(before).filter((e) => e.evt === 'filecount').map((e) => e.fileCount), [stale.length],
        'files fetched at the retry');
      assert.ok(await w.page.locator('#error-panel').isHidden(), 'the error stays after a good retry');
      assert.deepEqual([w.staleFiles(), w.launcher.starts()], [[], []], 'stale files and client starts');
      await closes(w);
    }));

  test('the options dialog writes the game settings file; the client count reaches the preferences; minimise acts on the window',
    { timeout: 120000 }, () => live('options', {}, async (w) => {
      const { page } = w;
      const read = (rel) => { try { return w.launcher.read(rel); } catch { return ''; } };
      const dialogReady = () => page.waitForFunction(() => !document.getElementById('options-save').disabled, null, { timeout: 30000 });
      await w.playEnabled();
      await page.click('#clients-inc');
      await page.click('#clients-inc');
      await waitFor(() => /ClientCount=3/.test(read('PatcherSettings.ini')), 'the client count in PatcherSettings.ini');

      await page.click('#open-options');
      await dialogReady();
      await page.locator('#opt-detail').fill('4');
      await page.locator('#opt-shadow').fill('0');
      await page.click('label[for="opt-fullscreen"]');
      const resolution = await page.locator('#opt-resolution option').last().getAttribute('value');
      await page.locator('#opt-resolution').selectOption(resolution);
      await w.shot('options.png');
      await page.click('#options-save');
      // Each option's line is replaced in place; the game's other lines stay.
      const expected = `detail 4\r\ndistant 2\r\nview 2\r\nshadow 0\r\nfullscreen 1\r\nresolution ${resolution.replace('x', ' ')}\r\nsound 1\r\n`;
      await waitFor(() => read('Config/Settings.ini') === expected, 'the saved game settings', 30000);
      await page.click('#open-options');
      await dialogReady();
      assert.deepEqual([await page.locator('#opt-detail').inputValue(), await page.locator('#opt-fullscreen').isChecked()], ['4', true],
        'the dialog reads back what was saved');
      await page.click('#options-cancel');

      const minimised = () => Number(w.launcher.probe('window').style) & 0x20000000; // WS_MINIMIZE
      assert.match(w.launcher.probe('window').style || '', /^0x/, 'the probe saw no host window');
      assert.equal(minimised(), 0, 'minimised before the button');
      await page.click('#win-min');
      await waitFor(minimised, 'the host window minimised', 30000);
      await closes(w);
    }));
});

// Opens the launcher page from a loopback server with a stand-in for the
// web view's message channel, and gives tests the commands the page posted.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { contentType } from './server.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const ASSETS_DIR = path.join(here, '../../js/fixtures/assets');
const SHOTS = path.join(here, '../../../build/screenshots');

// Behaves like the host's object as the page sees it: postMessage takes a
// value and the native side receives its JSON text; events arrive as message
// events whose data is the parsed object.
const HOST_SHIM = `(() => {
  const host = { posted: [], listeners: [] };
  window.__host = host;
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(value) {
      host.posted.push({ json: JSON.stringify(value), type: typeof value, listeners: host.listeners.length });
    },
    addEventListener(type, fn) { if (type === 'message') host.listeners.push(fn); },
    removeEventListener(type, fn) { host.listeners = host.listeners.filter((f) => f !== fn); },
  };
  host.emit = (evt) => {
    const event = new MessageEvent('message', { data: evt });
    for (const fn of host.listeners.slice()) fn(event);
  };
})();`;

export const INIT = {
  evt: 'init',
  version: 'v1.0.0',
  patchVersion: 27,
  clientCount: 2,
  animatedBg: false,
  backgrounds: ['Background1'],
  links: {
    register: 'https://game.example/register',
    discord: 'https://discord.example/invite/veltrune',
    youtube: 'https://video.example/@veltrune',
    facebook: '',
  },
};

// The launcher's events, as the tests send them.
export const ev = {
  maintenance: (active) => ({ evt: 'maintenance', active }),
  phase: (phase) => ({ evt: 'phase', phase, text: '' }),
  status: (text) => ({ evt: 'status', text }),
  filecount: (fileCount) => ({ evt: 'filecount', fileCount }),
  // A block of a file's download; without file fields, a file done.
  progress: (fileIndex, fileCount, file) => ({
    evt: 'progress', fileIndex, fileCount, totalPercent: Math.trunc((fileIndex * 100) / fileCount), ...file,
  }),
  block: (filePercent, speed, doneMb, file, fileIndex, fileCount) => ev.progress(fileIndex, fileCount, { filePercent, speed, doneMb, file }),
  ready: (canPlay) => ({ evt: 'ready', canPlay }),
  error: (message) => ({ evt: 'error', message }),
  launch: (active, started) => ({ evt: 'launch', active, started }),
  options: (values) => ({ evt: 'options', detail: 2, distant: 2, view: 2, shadow: 2, fullscreen: false, resW: 1024, resH: 768, resolutions: [], ...values }),
};
// Every pass starts with "maintenance"; this one ends with Play offered.
export const PASS_TO_READY = [ev.maintenance(false), ev.phase('checking'), ev.phase('finished'), ev.ready(true)];
// A pass that has begun to download fileCount files.
export const toDownloading = (fileCount) => [ev.maintenance(false), ev.phase('checking'), ev.filecount(fileCount), ev.phase('downloading')];

// One browser context and tab serve every scenario of a file, each scenario
// starting from a fresh load of the page: a new tab per scenario costs a
// renderer process start, which on a busy machine dominates the run.
// With clock, the page's timers run on Playwright's clock, which tests can
// move forward (page.clock.fastForward) instead of waiting.
export async function createLauncherHarness(browser, base, { clock = false } = {}) {
  const context = await browser.newContext({ viewport: { width: 1224, height: 772 } });
  if (clock) await context.clock.install();
  const assets = { host: 'client-assets', missing: [] };
  // The asset folder's virtual host, served from the test fixtures.
  await context.route((url) => url.protocol === 'https:' && url.hostname === assets.host, async (route) => {
    const name = decodeURIComponent(new URL(route.request().url()).pathname.slice(1));
    const file = path.join(ASSETS_DIR, name);
    if (!name || name.includes('/') || !fs.existsSync(file) || assets.missing.includes(name)) {
      await route.fulfill({ status: 404, body: 'missing' });
      return;
    }
    await route.fulfill({ status: 200, contentType: contentType(file), body: fs.readFileSync(file) });
  });
  const page = await context.newPage();
  await page.addInitScript({ content: HOST_SHIM });
  let ignore = () => false;
  let errors = [];
  page.on('console', (msg) => {
    if (msg.type() === 'error' && !ignore(msg.text())) errors.push(`console: ${msg.text()}`);
  });
  page.on('pageerror', (err) => {
    if (!ignore(String(err))) errors.push(`pageerror: ${err}`);
  });

  return {
    async open({ reducedMotion = 'no-preference', ignoreErrors, assetsHost = 'client-assets', missingAssets = [] } = {}) {
      await page.goto('about:blank');
      assets.host = assetsHost;
      assets.missing = missingAssets;
      ignore = ignoreErrors || (() => false);
      errors = [];
      await page.setViewportSize({ width: 1224, height: 772 });
      await page.emulateMedia({ reducedMotion });
      await page.goto(`${base}/web/index.html${assetsHost === 'client-assets' ? '' : `?assetsHost=${assetsHost}`}`);
      const lp = launcherPage(page, () => errors);
      await lp.announced();
      return lp;
    },
    close: () => context.close(),
  };
}

function launcherPage(page, errors) {
  const lp = {
    page,
    get errors() { return errors(); },
    async commands(cmd) {
      const all = await page.evaluate(() => window.__host.posted.map((p) => JSON.parse(p.json)));
      return cmd ? all.filter((c) => c.cmd === cmd) : all;
    },
    async rawPosts() {
      return page.evaluate(() => window.__host.posted);
    },
    announced: () => page.waitForFunction(() => window.__host.posted.some((p) => p.json.includes('"ui.ready"'))),
    async reload() {
      await page.reload();
      await lp.announced();
    },
    // The last news area the page reported, and where the area is.
    lastRect: async () => (await lp.commands('news.rect')).at(-1),
    async newsBox() {
      const r = await page.evaluate(() => document.getElementById('news-area').getBoundingClientRect().toJSON());
      return { cmd: 'news.rect', visible: true, x: Math.round(r.left), y: Math.round(r.top), w: Math.round(r.width), h: Math.round(r.height) };
    },
    // Waits for the last report to satisfy test; it must then be where the area is.
    async rectSettles(test) {
      for (let i = 0; i < 100 && !test(await lp.lastRect()); i++) await lp.frame();
      assert.ok(test(await lp.lastRect()), `news area reported as ${JSON.stringify(await lp.lastRect())}`);
      assert.deepEqual(await lp.lastRect(), await lp.newsBox());
    },
    // Keeps a screenshot of the state; returns the text spilling out of its box.
    async shot(name) {
      await page.waitForTimeout(250); // let the bar's short transition settle
      fs.mkdirSync(SHOTS, { recursive: true });
      await page.screenshot({ path: path.join(SHOTS, `${name}.png`) });
      return findOverflow(page);
    },
    async clearCommands() {
      await page.evaluate(() => { window.__host.posted.length = 0; });
    },
    // Delivers events in one task, then waits for the page to draw them.
    async emit(...events) {
      await page.evaluate((list) => list.forEach((e) => window.__host.emit(e)), events);
      await lp.frame();
    },
    // Clicks, then waits for the page to draw what the click changed: the
    // page renders on the next animation frame, not in the click handler.
    async click(selector, options) {
      await page.click(selector, options);
      await lp.frame();
    },
    async frame() {
      await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
    },
    text(selector) {
      return page.locator(selector).innerText();
    },
    // What the page shows, read in one round trip for the keys asked:
    // '#id' its text, '#id:shown' whether it is visible, '#id:enabled'.
    look(keys) {
      return page.evaluate((list) => Object.fromEntries(list.map((key) => {
        const [selector, what] = key.split(':');
        const e = document.querySelector(selector);
        if (!e) return [key, 'missing'];
        if (what === 'enabled') return [key, !e.disabled];
        const r = e.getBoundingClientRect();
        if (what === 'shown') return [key, r.width > 0 && r.height > 0 && getComputedStyle(e).visibility !== 'hidden'];
        return [key, e.innerText];
      })), keys);
    },
  };
  return lp;
}

// Finds text that spills out of its box: an element whose content is wider
// or taller than it must clip on purpose (ellipsis or scrolling).
function findOverflow(page) {
  return page.evaluate(() => {
    const bad = [];
    for (const e of document.querySelectorAll('body *')) {
      if (e.closest('[hidden], svg, dialog:not([open])') || !e.getClientRects().length) continue;
      const cs = getComputedStyle(e);
      const spillsX = e.scrollWidth > e.clientWidth + 1 && cs.overflowX === 'visible' && e.clientWidth > 0;
      const spillsY = e.scrollHeight > e.clientHeight + 1 && cs.overflowY === 'visible' && e.clientHeight > 0 && cs.display !== 'inline';
      if (spillsX || spillsY) bad.push(`${e.tagName.toLowerCase()}#${e.id}.${e.className} ${e.scrollWidth}x${e.scrollHeight} in ${e.clientWidth}x${e.clientHeight}`);
    }
    const doc = document.documentElement;
    if (doc.scrollWidth > window.innerWidth || doc.scrollHeight > window.innerHeight) bad.push(`page ${doc.scrollWidth}x${doc.scrollHeight}`);
    return bad;
  });
}

// The news view's isolation script, injected as the view does it: at document creation, before the
// site's scripts. Its timers run on Playwright's clock, held still until a test moves it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startServer } from '../support/js/server.mjs';
import { launchBrowser, watchErrors } from '../support/js/browser.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const template = fs.readFileSync(path.join(here, '../../src/host/news_isolation.js'), 'utf8');

const HEAD = `<!doctype html><html><head><link rel="stylesheet" href="/site.css" id="sitecss">
<style id="headstyle">.grid{display:grid;grid-template-columns:200px 1fr}</style></head><body>
<script>window.firstSeen = getComputedStyle(document.documentElement).visibility;</script>`;
const SITE = `${HEAD}<header id="hdr">Site header</header>
<div id="wrap" class="grid" style="padding:20px;margin:10px;max-width:900px;width:800px">
  <aside id="side">Sidebar</aside>
  <main id="main" style="display:flex;padding:7px">
    <nav id="crumbs">Home / News</nav>
    <article id="content" class="content-page" style="padding:13px;margin:5px;width:300px;display:flex">News <p id="inner">inner</p></article>
    <style id="mainstyle">.x{color:red}</style>
    <script id="mainscript">window.siteScriptRan = true;</script>
    <div id="ad">Advert</div>
  </main>
</div>
<footer id="ftr">Footer</footer>`;
// Elements the site adds later: to the body within the watch's 5 s and after them, and deeper in.
const LATE = `<script>[['early', 'body', 400], ['deep', '#main', 400], ['late', 'body', 6000]].forEach(([id, parent, at]) =>
  setTimeout(() => { const d = document.createElement('div'); d.id = id; document.querySelector(parent).appendChild(d); }, at));</script>`;

let server;
let browser;

const page = (body) => (req, res) => {
  res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
  if (body) res.end(body);
  else res.write(`${SITE}${' '.repeat(4096)}`); // never ends: no DOMContentLoaded
};

before(async () => {
  server = await startServer(here, {
    '/site.css': (req, res) => { res.writeHead(200, { 'content-type': 'text/css' }); res.end('body{font-family:sans-serif}'); },
    '/site.html': page(`${SITE}${LATE}</body></html>`),
    '/endless.html': page(null),
    // The DOM completes at once but an image keeps the load event away.
    '/stuck-image.html': page(`${SITE}<img src="/never.png"></body></html>`),
    '/never.png': () => {},
  });
  browser = await launchBrowser();
});

after(async () => { await browser?.close(); await server?.close(); });

// Runs fn on a page opened with the script for selector; fn gets the page and its errors.
async function withPage(selector, url, waitUntil, fn) {
  const context = await browser.newContext();
  try {
    await context.clock.install();
    await context.clock.pauseAt(Date.now() + 1000);
    const p = await context.newPage();
    const errors = watchErrors(p);
    await p.addInitScript({ content: template.replace('%SELECTOR%', selector) });
    await p.goto(server.base + url, { waitUntil });
    await fn(p, errors);
  } finally {
    await context.close();
  }
}

// What the page shows: the document's visibility, each element's display.
const look = (p, ids) => p.evaluate((list) => ({
  visibility: getComputedStyle(document.documentElement).visibility,
  ...Object.fromEntries(list.map((id) => [id, document.getElementById(id) ? getComputedStyle(document.getElementById(id)).display : 'missing'])),
}), ids);

test('reduction keeps the target, hides siblings up to the body, spares scripts and styles, and watches the body for 5 s',
  () => withPage('.content-page', '/site.html', 'load', async (p, errors) => {
    assert.equal(await p.evaluate(() => window.firstSeen), 'hidden', 'the whole site showed before the reduction');
    assert.deepEqual(await look(p, ['hdr', 'side', 'crumbs', 'ad', 'ftr', 'inner']),
      { visibility: 'visible', hdr: 'none', side: 'none', crumbs: 'none', ad: 'none', ftr: 'none', inner: 'block' });
    // The target keeps its own layout; only the wrappers are collapsed.
    assert.deepEqual(await p.evaluate(() => {
      const box = ({ style: s }) => [s.display, s.width, s.maxWidth, s.margin, s.padding].join(' ');
      return {
        boxes: ['content', 'main', 'wrap'].map((id) => box(document.getElementById(id))),
        untouched: [...['mainstyle', 'mainscript', 'sitecss', 'headstyle'].map((id) => document.getElementById(id)), document.body]
          .map((e) => e.getAttribute('style')),
        site: window.siteScriptRan === true && getComputedStyle(document.body).fontFamily,
        hider: !!document.getElementById('__vr_isolate_hide'),
      };
    }), {
      boxes: ['flex 300px  5px 13px', 'block auto none 0px 0px', 'block auto none 0px 0px'],
      untouched: [null, null, null, null, null], site: 'sans-serif', hider: false,
    });

    await p.clock.runFor(7000);
    assert.deepEqual(await look(p, ['early', 'deep', 'late', 'content']),
      { visibility: 'visible', early: 'none', deep: 'block', late: 'block', content: 'flex' }, 'banners added later');
    assert.deepEqual(errors, []);
  }));

test('a page whose load never finishes stays hidden until the failsafe at 2.5 s shows it unreduced',
  () => withPage('.content-page', '/endless.html', 'commit', async (p) => {
    await p.locator('#ftr').waitFor({ state: 'attached' });
    await p.clock.runFor(2000);
    assert.deepEqual(await look(p, ['hdr']), { visibility: 'hidden', hdr: 'block' }, 'at 2 s');
    await p.clock.runFor(600);
    assert.deepEqual(await look(p, ['hdr']), { visibility: 'visible', hdr: 'block' }, 'at 2.6 s');
  }));

// A selector holding a double quote breaks the script's syntax: the page is never hidden.
for (const [selector, firstSeen] of [['.no-such-region', 'hidden'], ['div[[broken', 'hidden'], ['a[title="x"]', 'visible']]) {
  test(`selector ${selector}: the whole page shows, unreduced, once the DOM is loaded`,
    () => withPage(selector, '/stuck-image.html', 'domcontentloaded', async (p, errors) => {
      const r = await p.evaluate(() => ({
        firstSeen: window.firstSeen,
        state: document.readyState,
        hidden: [...document.querySelectorAll('body *')].filter((e) => e.style.display === 'none').map((e) => e.id),
      }));
      assert.deepEqual({ ...r, ...(await look(p, [])) }, { firstSeen, state: 'interactive', hidden: [], visibility: 'visible' });
      if (firstSeen === 'hidden') assert.deepEqual(errors, [], 'a selector that is valid JavaScript must not throw');
    }));
}

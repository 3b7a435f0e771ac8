// The news view's isolation script, injected the way the view does it: as a
// script that runs at document creation, before any script of the site.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startServer } from '../support/js/server.mjs';
import { launchBrowser, watchErrors } from '../support/js/browser.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const template = fs.readFileSync(path.join(here, '../../src/host/news_isolation.js'), 'utf8');

const SITE_HEAD = `<!doctype html><html><head><title>Site</title>
<link rel="stylesheet" href="/site.css" id="sitecss">
<style id="headstyle">.grid{display:grid;grid-template-columns:200px 1fr}</style></head>`;

const SITE_BODY = `<header id="hdr">Site header</header>
<div id="wrap" class="grid" style="padding:20px;margin:10px;max-width:900px;width:800px">
  <aside id="side">Sidebar</aside>
  <main id="main" style="display:flex;padding:7px">
    <nav id="crumbs">Home / News</nav>
    <article id="content" class="content-page" style="padding:13px;margin:5px;width:300px;display:flex">
      News body <p id="inner">inner</p>
    </article>
    <style id="mainstyle">.x{color:red}</style>
    <script id="mainscript">window.siteScriptRan = true;</script>
    <link rel="preload" href="/site.css" as="style" id="mainlink">
    <div id="ad">Advert</div>
  </main>
</div>
<footer id="ftr">Footer</footer>
<script id="tailscript">window.tailRan = true;</script>`;

const SITE = `${SITE_HEAD}<body>${SITE_BODY}</body></html>`;

// Starts sampling the document's visibility from the first parsed script on.
const SAMPLER = `<script>
window.samples = [];
window.sampler = setInterval(function () {
  var hdr = document.getElementById('hdr');
  window.samples.push({
    t: performance.now(),
    visible: getComputedStyle(document.documentElement).visibility === 'visible',
    reduced: !!hdr && hdr.style.display === 'none'
  });
}, 5);
window.firstSeen = getComputedStyle(document.documentElement).visibility;
document.addEventListener('DOMContentLoaded', function () { window.dclAt = performance.now(); });
</script>`;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

let server;
let browser;

function html(body) {
  return (req, res) => {
    res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
    res.end(body);
  };
}

before(async () => {
  server = await startServer(here, {
    '/site.css': (req, res) => {
      res.writeHead(200, { 'content-type': 'text/css' });
      res.end('body{font-family:sans-serif}');
    },
    '/site.html': html(SITE),
    '/mutations.html': html(`${SITE_HEAD}<body>${SITE_BODY}<script>
      function add(id, parentId, at) {
        setTimeout(function () {
          var d = document.createElement('div');
          d.id = id;
          d.textContent = id;
          (parentId ? document.getElementById(parentId) : document.body).appendChild(d);
        }, at);
      }
      add('early', null, 400);
      add('deep', 'main', 1200);
      add('late', null, 6000);
    </script></body></html>`),
    // Sends the top of the page, pauses, then the rest: the window in which
    // the full site would flash if the script did not hide it.
    '/slow.html': async (req, res) => {
      res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
      res.write(`${SITE_HEAD}<body>${SAMPLER}<header id="hdr">Site header</header><aside>${'x'.repeat(2048)}</aside>`);
      await sleep(700);
      res.end(`${SITE_BODY.replace('<header id="hdr">Site header</header>', '')}</body></html>`);
    },
    // Never finishes: DOMContentLoaded never fires.
    '/endless.html': (req, res) => {
      res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
      res.write(`${SITE_HEAD}<body>${SAMPLER}${SITE_BODY}${' '.repeat(4096)}`);
    },
    // The DOM completes at once but an image keeps the load event away.
    '/stuck-image.html': html(`${SITE_HEAD}<body>${SAMPLER}${SITE_BODY}<img src="/never.png"></body></html>`),
    '/never.png': () => {},
  });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.close();
});

async function openWith(selector, url, waitUntil = 'load') {
  const context = await browser.newContext();
  const page = await context.newPage();
  const errors = watchErrors(page);
  await page.addInitScript({ content: template.replace('%SELECTOR%', selector) });
  await page.goto(server.base + url, { waitUntil });
  return { page, errors, close: () => context.close() };
}

function displayOf(page, ids) {
  return page.evaluate((list) => Object.fromEntries(list.map((id) => {
    const el = document.getElementById(id);
    return [id, el ? getComputedStyle(el).display : 'missing'];
  })), ids);
}

test('template holds the placeholder exactly once, inside a double-quoted literal', () => {
  assert.equal(template.split('%SELECTOR%').length, 2);
  assert.match(template, /"%SELECTOR%"/);
  assert.ok(template.includes('__vr_isolate_hide'));
});

test('reduction keeps the target, hides siblings up the ancestor chain and spares scripts and styles', async () => {
  const { page, errors, close } = await openWith('.content-page', '/site.html');
  try {
    const shown = await displayOf(page, ['hdr', 'side', 'crumbs', 'ad', 'ftr']);
    assert.deepEqual(shown, { hdr: 'none', side: 'none', crumbs: 'none', ad: 'none', ftr: 'none' });

    const kept = await page.evaluate(() => {
      const s = (id) => document.getElementById(id).style;
      return {
        content: { display: s('content').display, padding: s('content').padding, margin: s('content').margin, width: s('content').width },
        main: { display: s('main').display, width: s('main').width, maxWidth: s('main').maxWidth, margin: s('main').margin, padding: s('main').padding },
        wrap: { display: s('wrap').display, width: s('wrap').width, maxWidth: s('wrap').maxWidth, margin: s('wrap').margin, padding: s('wrap').padding },
        untouched: ['mainstyle', 'mainscript', 'mainlink', 'tailscript', 'sitecss', 'headstyle'].map((id) => document.getElementById(id).getAttribute('style')),
        innerVisible: getComputedStyle(document.getElementById('inner')).display,
        bodyStyle: document.body.getAttribute('style'),
        hider: !!document.getElementById('__vr_isolate_hide'),
        visibility: getComputedStyle(document.documentElement).visibility,
        siteScripts: window.siteScriptRan === true && window.tailRan === true,
        cssApplied: getComputedStyle(document.body).fontFamily,
      };
    });
    // The target keeps its own layout; only the wrappers are collapsed.
    assert.deepEqual(kept.content, { display: 'flex', padding: '13px', margin: '5px', width: '300px' });
    assert.deepEqual(kept.main, { display: 'block', width: 'auto', maxWidth: 'none', margin: '0px', padding: '0px' });
    assert.deepEqual(kept.wrap, { display: 'block', width: 'auto', maxWidth: 'none', margin: '0px', padding: '0px' });
    assert.deepEqual(kept.untouched, [null, null, null, null, null, null]);
    assert.equal(kept.innerVisible, 'block');
    assert.equal(kept.bodyStyle, null, 'the body is where the walk stops');
    assert.equal(kept.hider, false);
    assert.equal(kept.visibility, 'visible');
    assert.ok(kept.siteScripts, 'site scripts still run');
    assert.equal(kept.cssApplied, 'sans-serif', 'site stylesheet still applies');
    assert.deepEqual(errors, []);
  } finally {
    await close();
  }
});

test('the full site is never visible before the reduction, even while it loads slowly', async () => {
  const { page, errors, close } = await openWith('.content-page', '/slow.html');
  try {
    await sleep(100);
    const r = await page.evaluate(() => { clearInterval(window.sampler); return { samples: window.samples, first: window.firstSeen }; });
    assert.equal(r.first, 'hidden', 'hidden when the first site script runs');
    const hiddenWhileLoading = r.samples.filter((s) => !s.visible && !s.reduced).length;
    assert.ok(hiddenWhileLoading > 20, `sampled the slow part (${hiddenWhileLoading} samples)`);
    const leaked = r.samples.filter((s) => s.visible && !s.reduced);
    assert.deepEqual(leaked, [], 'no moment with the whole site showing');
    assert.ok(r.samples.at(-1).visible && r.samples.at(-1).reduced);
    assert.deepEqual(errors, []);
  } finally {
    await close();
  }
});

test('only elements added directly to the body within five seconds are hidden', async () => {
  const { page, errors, close } = await openWith('.content-page', '/mutations.html');
  try {
    await page.waitForFunction(() => document.getElementById('late'), null, { timeout: 15000, polling: 100 });
    await sleep(200);
    const shown = await displayOf(page, ['early', 'deep', 'late', 'content']);
    assert.deepEqual(shown, { early: 'none', deep: 'block', late: 'block', content: 'flex' });
    assert.deepEqual(errors, []);
  } finally {
    await close();
  }
});

test('a page whose load never finishes is revealed by the failsafe after about 2.5 s', async () => {
  const { page, close } = await openWith('.content-page', '/endless.html', 'commit');
  try {
    await page.waitForFunction(() => window.samples && window.samples.some((s) => s.visible), null, { timeout: 10000, polling: 50 });
    const r = await page.evaluate(() => ({
      shownAt: window.samples.find((s) => s.visible).t,
      lastHidden: window.samples.filter((s) => !s.visible).at(-1)?.t,
      state: document.readyState,
      hdr: getComputedStyle(document.getElementById('hdr')).display,
    }));
    assert.equal(r.state, 'loading');
    assert.ok(r.lastHidden > 1500, `still hidden at ${r.lastHidden} ms`);
    assert.ok(r.shownAt >= 2000 && r.shownAt < 5000, `revealed at ${r.shownAt} ms`);
    assert.equal(r.hdr, 'block', 'no reduction without DOMContentLoaded');
  } finally {
    await close();
  }
});

test('a selector that matches nothing, or is not valid CSS, shows the whole page once the DOM is loaded', async () => {
  for (const selector of ['.no-such-region', 'div[[broken']) {
    const { page, errors, close } = await openWith(selector, '/stuck-image.html', 'domcontentloaded');
    try {
      await page.waitForFunction(() => window.samples.some((s) => s.visible), null, { timeout: 10000, polling: 20 });
      const r = await page.evaluate(() => ({
        shownAt: window.samples.find((s) => s.visible).t,
        dclAt: window.dclAt,
        state: document.readyState,
        hidden: [...document.querySelectorAll('body *')].filter((e) => e.style.display === 'none').map((e) => e.id),
      }));
      assert.equal(r.state, 'interactive', 'load has not finished');
      // Shown with the DOM, not by the failsafe 2.5 s after the start.
      assert.ok(r.shownAt - r.dclAt < 1000, `${selector}: DOM at ${r.dclAt} ms, shown at ${r.shownAt} ms`);
      assert.deepEqual(r.hidden, []);
      assert.deepEqual(errors, []);
    } finally {
      await close();
    }
  }
});

test('a selector holding a double quote leaves pages unmodified', async () => {
  const { page, close } = await openWith('a[title="x"]', '/stuck-image.html', 'domcontentloaded');
  try {
    const r = await page.evaluate(() => ({
      first: window.firstSeen,
      hider: !!document.getElementById('__vr_isolate_hide'),
      hidden: [...document.querySelectorAll('body *')].filter((e) => e.style.display === 'none').length,
    }));
    assert.deepEqual(r, { first: 'visible', hider: false, hidden: 0 });
  } finally {
    await close();
  }
});

// The player of the demo: the real page in Chromium, linked to the running
// Veltrune.exe through the fake runtime (tests/support/js/page_link.mjs),
// clicks as a player would and keeps screenshots of what it showed.
//
//   node demo_page.mjs --port-file F --pid N --out DIR --events FILE
//                      (--play CLIENTS | --close) [--display :0] [--prefix NAME]
//
// --play: waits for the pass, sets the client count, presses Play.
// --close: waits until the page offers Play, then closes the window.
// With --display, a visible window on that display; else headless.
// Prints each screenshot's path; exits non-zero when the page never got there.
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { launchBrowser } from '../../tests/support/js/browser.mjs';
import { openLinkedPage } from '../../tests/support/js/page_link.mjs';

const { values: args } = parseArgs({
  options: {
    'port-file': { type: 'string' },
    pid: { type: 'string' },
    out: { type: 'string' },
    events: { type: 'string' },
    play: { type: 'string' },
    close: { type: 'boolean' },
    display: { type: 'string', default: '' },
    prefix: { type: 'string', default: '' },
  },
});

const alive = () => {
  try {
    process.kill(Number(args.pid), 0);
    return true;
  } catch {
    return false;
  }
};
const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// A watcher needs a moment to see each state; a headless run does not.
const linger = () => pause(args.display ? 1500 : 0);

async function waitFor(fn, what, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  while (!(await fn())) {
    if (Date.now() > deadline) throw new Error(`the page never showed ${what}`);
    await pause(50);
  }
}

const browser = await launchBrowser({ display: args.display });
let link;
let status = 0;
try {
  link = await openLinkedPage(browser, args['port-file'], { alive });
  const { page } = link;
  fs.mkdirSync(args.out, { recursive: true });
  const shot = async (name) => {
    const file = path.join(args.out, `${args.prefix}${name}.png`);
    await page.screenshot({ path: file });
    console.log(`demo: screenshot ${file}`);
  };
  const playable = () => page.locator('#play').isEnabled();

  // The first file's progress: the page shows the download.
  await waitFor(() => link.events.some((e) => e.evt === 'progress') || link.events.some((e) => e.evt === 'ready'),
    'a patch pass', 120000);
  if (link.events.some((e) => e.evt === 'progress')) await shot('patching');
  await waitFor(playable, 'Play offered', 300000);
  await shot('ready');
  await linger();
  if (args.close) {
    await page.click('#win-close');
  } else {
    const clients = Number(args.play);
    for (let n = 1; n < clients; n++) await page.click('#clients-inc');
    await waitFor(async () => (await page.locator('#clients-value').textContent()) === String(clients),
      `${clients} clients`, 10000);
    await page.click('#play');
    await shot('starting');
  }
  // The launcher closes its window and ends; the link then goes quiet.
  await Promise.race([link.gone, pause(120000)]);
} catch (e) {
  console.log(`demo: FAILED in the page: ${e.message}`);
  status = 1;
} finally {
  if (link) {
    if (args.events) fs.writeFileSync(args.events, JSON.stringify(link.events));
    if (link.errors.length) console.log(`demo: errors in the page: ${link.errors.join('; ')}`);
    await link.close();
  }
  await browser.close();
}
process.exit(status);

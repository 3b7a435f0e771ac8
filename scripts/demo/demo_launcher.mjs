// The launcher step of scripts/demo.sh: the real Veltrune.exe under Wine
// patches an empty game folder from the demo's patch server, while the real
// page in Chromium, linked to it through the fake runtime
// (tests/support/js/page_link.mjs), plays the player: it waits for the pass,
// sets two clients and presses Play. A second run finds everything current
// and the page closes the window.
//
//   node demo_launcher.mjs --work DIR --base-url URL --list-key KEY
//                          --game-src DIR --shots DIR [--display :N]
//
// The built parts come from VR_WIN_DIR and VR_NATIVE_DIR, as in the tests.
// With --display the page is a visible Chromium window on that display;
// without, it runs headless. Prints the launcher's log, the fake client's
// recorded starts and the screenshots' paths. The launcher's Veltrune.ini
// carries the public key as listKey, so it takes only lists signed with it.
// Exits non-zero when anything differs from what the demo promises (the
// patched folder must equal the published game).
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { launchBrowser } from '../../tests/support/js/browser.mjs';
import { openLinkedPage } from '../../tests/support/js/page_link.mjs';
import { LiveLauncher, liveParts, waitFor } from '../../tests/support/js/live_launcher.mjs';

const { values: args } = parseArgs({
  options: Object.fromEntries(['work', 'base-url', 'list-key', 'game-src', 'shots', 'display'].map((n) => [n, { type: 'string', default: '' }])),
});
const say = (text) => console.log(`demo: ${text}`);
const check = (ok, what) => { if (!ok) throw new Error(what); };
// A watcher needs a moment to see each state; a headless run does not.
const linger = () => new Promise((resolve) => setTimeout(resolve, args.display ? 1500 : 0));

const launcher = new LiveLauncher(liveParts(), path.join(path.resolve(args.work), 'player'), args['base-url'], { listKey: args['list-key'] });
const browser = await launchBrowser({ display: args.display });

// One run with the page playing: Play with `clients` clients, or with none
// the window closed once Play is offered. Returns the events the page got.
async function run(name, clients) {
  launcher.start();
  const link = await openLinkedPage(browser, launcher.portFile, { alive: () => launcher.alive() });
  try {
    const { page } = link;
    const shot = async (what) => {
      const file = path.join(args.shots, `${name}-${what}.png`);
      await page.screenshot({ path: file });
      say(`screenshot ${file}`);
    };
    await waitFor(() => link.events.some((e) => e.evt === 'progress' || e.evt === 'ready'), 'a patch pass', 120000);
    if (link.events.some((e) => e.evt === 'progress')) await shot('patching');
    await waitFor(() => page.locator('#play').isEnabled(), 'Play offered', 300000);
    await shot('ready');
    await linger();
    if (clients) {
      for (let n = 1; n < clients; n++) await page.click('#clients-inc');
      await waitFor(async () => (await page.locator('#clients-value').textContent()) === String(clients), `${clients} clients`, 10000);
      await page.click('#play');
      await shot('starting');
    } else {
      await page.click('#win-close');
    }
    check(await launcher.waitExit(120000) === 0, `exit code of Veltrune.exe (${name})`);
    check(!link.errors.length, `errors in the page: ${link.errors.join('; ')}`);
    check(link.events.filter((e) => e.evt === 'ready').at(-1)?.canPlay === true, `${name}: the pass did not end ready`);
    return link.events;
  } finally {
    await link.close();
  }
}

let status = 0;
try {
  fs.mkdirSync(args.shots, { recursive: true });
  say(`launcher folder (also the game folder): ${launcher.folder}; the page runs in ${args.display ? `a Chromium window on ${args.display}` : 'headless Chromium'}`);
  const first = await run('run1', 2);
  say(`run 1 downloaded ${first.find((e) => e.evt === 'filecount')?.fileCount ?? 0} file(s); Play with 2 clients`);
  console.log(`--- Veltrune.log (run 1) ---\n${fs.readFileSync(path.join(launcher.folder, 'Veltrune.log'), 'utf8').replace(/\r\n/g, '\n')}`);
  console.log('--- fake client starts ---');
  for (const s of launcher.starts()) console.log(`  pid=${s.pid} cwd=${s.cwd} cmd=${s.cmd}`);
  check(launcher.starts().length === 2, 'two client starts');

  const source = args['game-src'];
  const published = fs.readdirSync(source, { recursive: true }).filter((rel) => fs.statSync(path.join(source, rel)).isFile());
  for (const rel of published) {
    const [got, want] = [path.join(launcher.folder, rel), path.join(source, rel)];
    check(fs.existsSync(got) && fs.readFileSync(got).equals(fs.readFileSync(want)), `${rel} differs from the published game`);
    check(Math.floor(fs.statSync(got).mtimeMs / 1000) === Math.floor(fs.statSync(want).mtimeMs / 1000), `time of ${rel}`);
  }
  say(`the game folder matches the published game: ${published.length} files, bytes and times`);

  check(!(await run('run2', 0)).some((e) => e.evt === 'filecount'), 'run 2 downloaded files again');
  say('run 2 found everything current; the page closed the window');
} catch (e) {
  say(`FAILED: ${e.message}`);
  status = 1;
} finally {
  await launcher.stop();
  await browser.close();
}
process.exit(status);

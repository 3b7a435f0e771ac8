// Machinery of the tests that drive the real Veltrune.exe under Wine: a
// launcher folder of its own, a sample game published with veltrune-publish,
// a loopback patch server serving it with faults on demand, the fake
// runtime's control channel, e2e_probe for what Linux cannot see, and the
// page linked to the launcher. The Wine prefix and display come from the
// calling script (scripts/wine-env.sh).
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { RuntimeControl, openLinkedPage, unescape } from './page_link.mjs';
import { listenLoopback } from './server.mjs';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const ASSETS = path.join(ROOT, 'tests/js/fixtures/assets');

// The built parts, from the Windows and native build folders
// (VR_WIN_DIR, VR_NATIVE_DIR; default build/win and build/native).
export function liveParts() {
  const win = path.resolve(ROOT, process.env.VR_WIN_DIR || 'build/win');
  const native = path.resolve(ROOT, process.env.VR_NATIVE_DIR || 'build/native');
  const parts = {
    veltrune: path.join(win, 'Veltrune.exe'),
    runtime: path.join(win, 'tests/fakes/fake_webview2/runtime'),
    fakeProcess: path.join(win, 'tests/fakes/fake_process/fake_process.exe'),
    probe: path.join(win, 'tests/fakes/e2e_probe/e2e_probe.exe'),
    publish: path.join(native, 'tools/publish/veltrune-publish'),
  };
  const missing = Object.values(parts).filter((p) => !fs.existsSync(p));
  if (!process.env.WINEPREFIX || !process.env.DISPLAY) missing.push('a Wine prefix and display (scripts/wine-env.sh)');
  return { ...parts, win, missing };
}

export const winPath = (p) => `Z:${path.resolve(p).replace(/\//g, '\\')}`;
export const UI_PAGE = 'https://veltrune-ui.example/index.html';
// The discard port: no patch server answers there.
export const NO_SERVER = 'http://127.0.0.1:9/Patch/';
// The shared prefix's folders: system32 and the roaming application data.
export const prefixFolder = (rel) => path.join(process.env.WINEPREFIX, 'drive_c', rel);
export const roamingFolder = () => prefixFolder(`users/${os.userInfo().username}/AppData/Roaming`);

// Runs a Windows program to its end; its output goes to the file out (a
// Wine program must not hold a pipe of ours: the prefix's services may
// outlive it). Returns the exit status and the output.
export function wine(args, out, { env = {}, cwd, timeoutMs = 120000 } = {}) {
  const fd = fs.openSync(out, 'w');
  const r = spawnSync('wine', args, { cwd, env: { ...process.env, WINEDEBUG: '-all', ...env }, stdio: ['ignore', fd, fd], timeout: timeoutMs });
  fs.closeSync(fd);
  return { status: r.status, text: fs.readFileSync(out, 'utf8') };
}

// e2e_probe's answer about target (windows, boxes, resources): its key=value lines.
export function probe(parts, command, target, out, { timeoutMs = 0, env } = {}) {
  const { text } = wine([parts.probe, command, target, String(timeoutMs)], out, { env, timeoutMs: timeoutMs + 60000 });
  return Object.fromEntries(text.split(/\r?\n/).filter((l) => l.includes('='))
    .map((l) => [l.slice(0, l.indexOf('=')), unescape(l.slice(l.indexOf('=') + 1))]));
}

// A Wine prefix of its own, made once, with its own wineserver, so its DPI
// can change without touching the shared prefix. Heavy: each DPI change
// restarts that server.
export function ownPrefix(prefix) {
  const env = { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all' };
  const run = (...args) => spawnSync(args[0], args.slice(1), { env, stdio: 'ignore', timeout: 400000 }).status;
  if (!fs.existsSync(path.join(prefix, '.vr-ready'))) {
    fs.rmSync(prefix, { recursive: true, force: true });
    fs.mkdirSync(prefix, { recursive: true });
    run('wineboot', '-i');
    run('wineserver', '-w');
    fs.writeFileSync(path.join(prefix, '.vr-ready'), '');
  }
  const stop = () => ['-k', '-w'].forEach((flag) => run('wineserver', flag));
  return {
    env: { WINEPREFIX: prefix },
    stop,
    // The server and services read the DPI when they start.
    setDpi(dpi) {
      stop();
      const added = run('wine', 'reg', 'add', 'HKCU\\Control Panel\\Desktop', '/v', 'LogPixels', '/t', 'REG_DWORD', '/d', String(dpi), '/f');
      if (added !== 0) throw new Error(`reg add LogPixels ended with ${added}`);
      run('wineserver', '-w');
    },
  };
}

// Deterministic bytes, so a failure reproduces.
export function bytes(n, seed) {
  const out = Buffer.alloc(n);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0;
    x ^= x >>> 17;
    x ^= x << 5; x >>>= 0;
    out[i] = x & 0xff;
  }
  return out;
}

// A small game: nested folders, a blank and non-ASCII letters in names, and
// one file big enough to stall in the middle of.
export const BIG_FILE = 'data/maps/deep.bin';
const SETTINGS = 'detail 2\r\ndistant 2\r\nview 2\r\nshadow 2\r\nfullscreen 0\r\nresolution 1024 768\r\nsound 1\r\n';
function makeGame(folder, seed) {
  const files = {
    'readme.txt': Buffer.from('Quorvane test build\r\n'),
    'data/level 1.dat': bytes(200_000, seed),
    [BIG_FILE]: bytes(1_500_000, seed + 1),
    'data/Lieder/Überfahrt nach Nordheim.ogg': bytes(5_000, seed + 2),
    // The game ships its settings file; the launcher only ever edits it.
    'Config/Settings.ini': Buffer.from(SETTINGS),
  };
  fs.rmSync(folder, { recursive: true, force: true });
  Object.entries(files).sort().forEach(([rel, body], i) => {
    const file = path.join(folder, rel);
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, body);
    const stamp = 1_700_000_000 + 86_400 * (i + 1);
    fs.utimesSync(file, stamp, stamp);
  });
  return files;
}

// launcher: a replacement Veltrune.exe to publish with the game.
export function publish(parts, game, out, { version = 29, maintenance = 'off', launcher } = {}) {
  execFileSync(parts.publish, ['--game', game, '--out', out, '--version', String(version), '--maintenance', maintenance,
    '--jobs', '2', ...(launcher ? ['--launcher', launcher] : [])], { stdio: ['ignore', 'pipe', 'pipe'], timeout: 120000 });
}

// The rest of a stalled body goes out in small pieces over about half a
// second, as a real transfer would, so a cancel sent before the release
// meets the download still running even when the launcher's threads
// are scheduled late on a busy machine.
// release(gapMs) slows it down, to show a transfer of several seconds.
async function trickle(res, rest, piece = 32 * 1024, gapMs = 15) {
  for (let at = 0; at < rest.length && !res.destroyed; at += piece) {
    res.write(rest.subarray(at, at + piece));
    await new Promise((resolve) => setTimeout(resolve, gapMs));
  }
  if (!res.destroyed) res.end();
}

// Static files of one folder on 127.0.0.1, with a status per path and a
// stall: the first GET of a path sends part of the body, then waits.
async function startPatchServer(root) {
  const server = { status: new Map(), stalls: new Map(), requests: [] };
  const httpd = await listenLoopback((req, res) => {
    const rel = decodeURIComponent(new URL(req.url, 'http://127.0.0.1').pathname);
    server.requests.push(rel);
    const status = server.status.get(rel);
    const file = path.join(root, rel);
    if (status || !file.startsWith(root + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(status || 404, { 'content-type': 'text/plain', connection: 'close' });
      res.end('not served');
      return;
    }
    const body = fs.readFileSync(file);
    res.writeHead(200, { 'content-type': 'application/octet-stream', 'content-length': body.length });
    const stall = server.stalls.get(rel);
    if (!stall || stall.used) {
      res.end(body);
      return;
    }
    stall.used = true;
    res.write(body.subarray(0, stall.after));
    stall.started();
    stall.released.then((gapMs) => trickle(res, body.subarray(stall.after), 32 * 1024, gapMs));
  });
  server.url = (p = '/') => `http://127.0.0.1:${httpd.port}${p}`;
  server.stall = (rel, after) => {
    const stall = { after, used: false };
    stall.reached = new Promise((resolve) => { stall.started = resolve; });
    stall.released = new Promise((resolve) => { stall.release = resolve; });
    server.stalls.set(rel, stall);
    return stall;
  };
  server.close = async () => {
    for (const stall of server.stalls.values()) stall.release?.();
    await httpd.close();
  };
  return server;
}

// A launcher folder (also the game folder) with the real Veltrune.exe, the
// page, the background assets, the fake client and updater, and an ini
// (listKey: the public key the lists must be signed with).
export class LiveLauncher {
  constructor(parts, folder, patchUrl, { patcherUrl = UI_PAGE, listKey } = {}) {
    this.parts = parts;
    this.folder = folder;
    fs.rmSync(folder, { recursive: true, force: true });
    fs.mkdirSync(path.join(folder, 'Config/Assets'), { recursive: true });
    this.exe = path.join(folder, 'Veltrune.exe');
    fs.copyFileSync(parts.veltrune, this.exe);
    fs.cpSync(path.join(ROOT, 'web'), path.join(folder, 'web'), { recursive: true });
    for (const name of fs.readdirSync(ASSETS)) fs.copyFileSync(path.join(ASSETS, name), path.join(folder, 'Config/Assets', name));
    fs.copyFileSync(parts.fakeProcess, path.join(folder, 'quorvane.exe'));
    fs.copyFileSync(parts.fakeProcess, path.join(folder, 'updater.exe'));
    const ini = [
      '[patch]', `serverUrl=${patchUrl}`, `mirrors=${patchUrl}`, 'patchVersion=29', ...(listKey ? [`listKey=${listKey}`] : []),
      '[game]', 'newsUrl=https://news.veltrune.example/news.php', 'rankingUrl=https://news.veltrune.example/rankings.php',
      '[ui]', `patcherUrl=${patcherUrl}`,
      // No widget fetch: tests talk to 127.0.0.1 only.
      '[discord]', 'guildId=',
    ];
    fs.writeFileSync(path.join(folder, 'Veltrune.ini'), `${ini.join('\r\n')}\r\n`);
    this.record = path.join(folder, 'starts.txt');
    this.portFile = path.join(folder, 'control-port.txt');
    this.runs = 0;
  }

  // Starts Veltrune.exe (env: variables added or overridden, e.g. another
  // runtime folder or prefix); its output goes to a file, as wine() says why.
  start(env = {}) {
    this.runs += 1;
    this.env = env;
    fs.rmSync(this.portFile, { force: true });
    const out = fs.openSync(path.join(this.folder, `wine-${this.runs}.txt`), 'w');
    this.process = spawn('wine', [this.exe], {
      cwd: this.folder,
      stdio: ['ignore', out, out],
      env: {
        ...process.env,
        WINEDEBUG: '-all',
        WEBVIEW2_BROWSER_EXECUTABLE_FOLDER: winPath(this.parts.runtime),
        VR_FAKE_WEBVIEW2_PORT: '0',
        VR_FAKE_WEBVIEW2_PORT_FILE: winPath(this.portFile),
        VR_FAKE_RECORD: winPath(this.record),
        ...env,
      },
    });
    fs.closeSync(out);
    this.exitCode = null;
    this.exited = new Promise((resolve) => this.process.on('exit', (code, signal) => { this.exitCode = code ?? signal; resolve(code); }));
    return this.process;
  }

  alive() {
    return this.process && this.exitCode === null;
  }

  // The exit code, or an error after timeoutMs.
  async waitExit(timeoutMs = 60000) {
    await waitFor(() => !this.alive(), 'Veltrune.exe to end', timeoutMs);
    return this.exitCode;
  }

  // The fake runtime's control channel, once the main view exists.
  async connect() {
    this.control = await RuntimeControl.connect(this.portFile, { alive: () => this.alive() });
    await this.control.waitViews(1);
  }

  // Ends our own process after a failed test.
  async stop() {
    this.control?.close();
    if (this.alive()) {
      this.process.kill('SIGKILL');
      await this.exited;
    }
  }

  // Log messages without their time stamps.
  logLines() {
    try {
      return fs.readFileSync(path.join(this.folder, 'Veltrune.log'), 'utf8').split('\r\n').filter(Boolean).map((l) => l.slice(13));
    } catch {
      return [];
    }
  }

  waitLog(line) {
    return waitFor(() => this.logLines().includes(line), `log line ${line}`);
  }

  // Events posted to the page up to the first for which until(event, all) holds.
  async eventsUntil(until, timeoutMs = 120000) {
    const events = [];
    await waitFor(async () => {
      const event = await this.control.posted(1000);
      if (event) events.push(event);
      return event && until(event, events);
    }, () => `an event; got ${events.map((e) => e.evt)}`, timeoutMs);
    return events;
  }

  // The fake client's recorded starts: { pid, cwd, cmd, ... } each.
  starts() {
    let text = '';
    try {
      text = fs.readFileSync(this.record, 'utf8');
    } catch {
      return [];
    }
    return text.split('\r\n').filter(Boolean).map((line) => {
      const at = line.indexOf('\tcmd=');
      const entry = Object.fromEntries(line.slice(0, at).split('\t').map((f) => f.split(/=(.*)/s).slice(0, 2)));
      entry.cmd = line.slice(at + 5);
      return entry;
    });
  }

  // e2e_probe on this launcher's windows, in the prefix it runs in.
  probe(command, timeoutMs = 10000) {
    return probe(this.parts, command, winPath(this.exe), path.join(this.folder, 'probe.txt'), { timeoutMs, env: this.env });
  }

  read(rel) {
    return fs.readFileSync(path.join(this.folder, rel), 'latin1');
  }
}

// Polls fn until it returns something true; fails after timeoutMs.
export async function waitFor(fn, what, timeoutMs = 60000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${typeof what === 'function' ? what() : what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// Veltrune.exe allows one copy per Wine session, and test files may run side
// by side: the files that start it take turns, through a lock folder that
// names its holder (a lock whose holder died is taken over). Returns release.
export async function takeTurn() {
  const lock = path.join(ROOT, 'build/live-exe.lock');
  const holderAlive = () => {
    try {
      return process.kill(Number(fs.readFileSync(path.join(lock, 'pid'), 'utf8')), 0);
    } catch (e) {
      return e.code !== 'ESRCH'; // unreadable: the holder is still writing it
    }
  };
  await waitFor(() => {
    try {
      fs.mkdirSync(lock, { recursive: false });
      fs.writeFileSync(path.join(lock, 'pid'), String(process.pid));
      return true;
    } catch {
      if (!holderAlive()) fs.rmSync(lock, { recursive: true, force: true });
      return false;
    }
  }, 'the other test file that runs Veltrune.exe', 3600000);
  return () => fs.rmSync(lock, { recursive: true, force: true });
}

// Veltrune.exe started in folder against no patch server (options: the
// start page's address, env for start()), its control channel connected
// unless connect is false; fn gets the launcher, which is stopped after.
export async function withLauncher(parts, folder, { patcherUrl, env, connect = true } = {}, fn) {
  const launcher = new LiveLauncher(parts, folder, NO_SERVER, { patcherUrl });
  launcher.start(env);
  try {
    if (connect) await launcher.connect();
    await fn(launcher);
  } finally {
    await launcher.stop();
  }
}

// One live scenario's world: a game published into work/name (with the
// publish() options given, e.g. maintenance or a replacement launcher), its
// server, Veltrune.exe started against it and its page linked into browser,
// or with no browser its control channel connected. beforeStart sees the
// server before the launcher starts (to set a stall).
export async function setUpWorld(browser, parts, work, name, { beforeStart = () => {}, ...options } = {}) {
  const base = path.join(work, name);
  const game = path.join(base, 'game-src');
  const out = path.join(base, 'served/Patch');
  const files = makeGame(game, name.length);
  publish(parts, game, out, options);
  const server = await startPatchServer(path.join(base, 'served'));
  const launcher = new LiveLauncher(parts, path.join(base, 'launcher'), server.url('/Patch/'));
  beforeStart(server);
  const w = {
    game, files, server, launcher,
    publish: (options) => publish(parts, game, out, options),
    // (Re)starts Veltrune.exe in its folder and links the page to it.
    async start() {
      launcher.start();
      try {
        if (browser) w.link = await openLinkedPage(browser, launcher.portFile, { alive: () => launcher.alive() });
        else await launcher.connect();
      } catch (e) {
        e.message += ` (exit code ${launcher.exitCode}; see ${launcher.folder})`;
        throw e;
      }
      w.page = w.link?.page;
    },
    async shot(file) {
      const dir = path.join(ROOT, 'build/screenshots/live');
      fs.mkdirSync(dir, { recursive: true });
      await w.page.screenshot({ path: path.join(dir, file) });
    },
    // Ends what is left; returns the page's errors.
    async tearDown() {
      await launcher.stop();
      await w.link?.close();
      await server.close();
      return w.link?.errors ?? [];
    },
    playEnabled: () => w.page.waitForFunction(() => !document.getElementById('play').disabled, null, { timeout: 60000 }),
    shown: (selector) => w.page.locator(selector).waitFor({ state: 'visible', timeout: 60000 }),
    // The published files in the game folder whose bytes or time differ.
    staleFiles: () => Object.entries(files).filter(([rel, body]) => {
      const file = path.join(launcher.folder, rel);
      return !fs.existsSync(file) || !fs.readFileSync(file).equals(body) ||
        Math.floor(fs.statSync(file).mtimeMs / 1000) !== Math.floor(fs.statSync(path.join(game, rel)).mtimeMs / 1000);
    }).map(([rel]) => rel),
    // Closes by the title bar's button; returns the exit code and last log line.
    async closeByButton() {
      await w.page.click('#win-close');
      return [await launcher.waitExit(), launcher.logLines().at(-1)];
    },
  };
  try {
    await w.start();
  } catch (e) {
    await w.tearDown().catch(() => {});
    throw e;
  }
  return w;
}

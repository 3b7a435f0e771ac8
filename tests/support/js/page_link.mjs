// The page link: the fake WebView2 runtime's main view shown as a real
// Chromium page. The launcher under Wine maps its `web` folder under the UI
// host name and navigates its main view; the link reads both from the fake's
// recorded calls, serves the mapped folders under the same host names and
// opens the same address, so the page cannot tell it from the real view.
// A `chrome.webview` shim, injected before the page's scripts, carries the
// page's postMessage to the fake (MESSAGE, with the page's own address as
// the source, so the launcher's origin check runs for real) and delivers
// what the launcher posts (POSTED) as `message` events. The news view stays
// the fake's.
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { contentType } from './server.mjs';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Client of the fake runtime's line protocol (tests/fakes/fake_webview2).
export class RuntimeControl {
  static LIST_COMMANDS = new Set(['VIEWS', 'CALLS']);

  // Waits for the port the fake writes once the launcher asks for a runtime.
  // alive() tells whether the launcher still runs.
  static async connect(portFile, { alive = () => true, timeoutMs = 90000 } = {}) {
    const deadline = Date.now() + timeoutMs;
    let port = 0;
    while (!port) {
      if (!alive()) throw new Error('Veltrune.exe ended before its runtime started');
      if (Date.now() > deadline) throw new Error(`no control port in ${portFile} after ${timeoutMs} ms`);
      try {
        port = Number.parseInt(fs.readFileSync(portFile, 'utf8').trim(), 10) || 0;
      } catch {
        port = 0;
      }
      if (!port) await sleep(50);
    }
    const control = new RuntimeControl(net.connect(port, '127.0.0.1'));
    await new Promise((resolve, reject) => {
      control.socket.once('connect', resolve);
      control.socket.once('error', reject);
    });
    const pong = await control.request('PING');
    if (pong !== 'OK') throw new Error(`PING answered ${pong}`);
    return control;
  }

  constructor(socket) {
    this.socket = socket;
    this.buffer = '';
    this.pending = [];
    this.closed = false;
    socket.setEncoding('utf8');
    socket.on('data', (text) => {
      this.buffer += text;
      this.drain();
    });
    const end = () => {
      this.closed = true;
      for (const p of this.pending.splice(0)) p.reject(new Error('the fake runtime closed its control channel'));
    };
    socket.on('close', end);
    socket.on('error', end);
  }

  drain() {
    for (;;) {
      const head = this.pending[0];
      const at = this.buffer.indexOf('\n');
      if (!head || at < 0) return;
      const line = this.buffer.slice(0, at);
      this.buffer = this.buffer.slice(at + 1);
      if (head.lines) {
        head.lines.push(unescape(line));
      } else if (head.list && line.startsWith('OK ')) {
        head.lines = [];
        head.expected = Number(line.slice(3));
      } else {
        this.pending.shift().resolve(line);
        continue;
      }
      if (head.lines.length === head.expected) this.pending.shift().resolve(head.lines);
    }
  }

  // One reply line, or the unescaped lines of a list reply.
  request(line) {
    if (this.closed) return Promise.reject(new Error('the fake runtime closed its control channel'));
    return new Promise((resolve, reject) => {
      this.pending.push({ list: RuntimeControl.LIST_COMMANDS.has(line.split(' ')[0]), resolve, reject });
      this.socket.write(`${line}\n`);
      this.drain();
    });
  }

  // Fails unless the reply starts with OK.
  async ok(line) {
    const reply = await this.request(line);
    if (!String(reply).startsWith('OK')) throw new Error(`${line.slice(0, 80)}: ${reply}`);
    return reply;
  }

  waitViews(n) {
    return this.ok(`WAITVIEWS ${n} 60000`);
  }

  // A web message from source to the main view; payload: an object or raw text.
  message(source, payload) {
    return this.ok(`MESSAGE 0 ${source} ${typeof payload === 'string' ? payload : JSON.stringify(payload)}`);
  }

  // The next event the launcher posted to the main view, parsed; null after ms.
  async posted(ms = 500) {
    const reply = await this.request(`POSTED 0 ${ms}`);
    if (reply === 'ERR timeout') return null;
    if (!reply.startsWith('OK ')) throw new Error(`POSTED: ${reply}`);
    return JSON.parse(reply.slice(3));
  }

  // Each view's fields: { hwnd, visible, bounds, url, ... }.
  async views() {
    return (await this.request('VIEWS')).map((line) =>
      Object.fromEntries(line.split(' ').slice(1).map((f) => f.split(/=(.*)/s).slice(0, 2))));
  }

  close() {
    this.socket.destroy();
  }
}

// Backslash, LF and CR as the fake and e2e_probe escape them.
export function unescape(text) {
  return text.replace(/\\(.)/g, (_, c) => (c === 'n' ? '\n' : c === 'r' ? '\r' : c));
}

// A Windows path of the launcher's process as a path of this machine, through
// the prefix's drive links (Z: is the root folder).
export function unixPath(windowsPath) {
  const m = /^([A-Za-z]):\\?(.*)$/.exec(windowsPath);
  if (!m) return windowsPath.replace(/\\/g, '/');
  const prefix = process.env.WINEPREFIX || path.join(process.env.HOME || '/root', '.wine');
  const drive = fs.realpathSync(path.join(prefix, 'dosdevices', `${m[1].toLowerCase()}:`));
  return path.join(drive, m[2].replace(/\\/g, '/'));
}

// What the launcher asked of its main view: the start address, the mapped
// folders by host name, and the view's size in the host window.
async function mainViewSetup(control) {
  await control.waitViews(1);
  const deadline = Date.now() + 30000;
  for (;;) {
    const calls = await control.request('CALLS');
    const start = calls.find((c) => c.startsWith('view 0 Navigate '));
    if (start) {
      const folders = new Map();
      for (const c of calls) {
        const m = /^view 0 SetVirtualHostNameToFolderMapping (\S+) \d+ (.+)$/.exec(c);
        if (m) folders.set(m[1].toLowerCase(), unixPath(m[2]));
      }
      const [left, top, right, bottom] = ((await control.views())[0]?.bounds || '0,0,0,0').split(',').map(Number);
      return { url: start.slice('view 0 Navigate '.length), folders, width: right - left, height: bottom - top };
    }
    if (Date.now() > deadline) throw new Error('the launcher never navigated its main view');
    await sleep(50);
  }
}

// Runs in the page before its own scripts. The binding is looked up at each
// call: the page keeps a reference to chrome.webview, not to the binding.
const SHIM = `(() => {
  const target = new EventTarget();
  const webview = {
    postMessage(value) {
      const json = JSON.stringify(value);
      if (json !== undefined) window.__veltruneLinkPost(json);
    },
    addEventListener: target.addEventListener.bind(target),
    removeEventListener: target.removeEventListener.bind(target),
  };
  window.chrome = window.chrome || {};
  Object.defineProperty(window.chrome, 'webview', { value: webview, enumerable: true });
  Object.defineProperty(window, '__veltruneLinkDeliver', {
    value: (json) => target.dispatchEvent(new MessageEvent('message', { data: JSON.parse(json) })),
  });
})();`;

// Opens the launcher's main view as a page of browser. Returns the page, the
// events delivered to it and the commands the launcher has handled (both
// parsed, in order), and `gone`, which settles when the launcher's runtime
// goes away.
export async function openLinkedPage(browser, portFile, { alive = () => true } = {}) {
  const control = await RuntimeControl.connect(portFile, { alive });
  // A connection of its own: POSTED waits there without holding the others.
  const pump = await RuntimeControl.connect(portFile, { alive });
  const setup = await mainViewSetup(control);

  const context = await browser.newContext({
    viewport: { width: setup.width || 1224, height: setup.height || 772 },
  });
  // Mapped hosts are served from their folders; nothing else leaves the
  // machine (the news and the widget are the launcher's own business).
  await context.route('**/*', async (route) => {
    const url = new URL(route.request().url());
    const folder = url.protocol === 'https:' && setup.folders.get(url.hostname.toLowerCase());
    if (!folder) {
      await route.abort('blockedbyclient');
      return;
    }
    const file = path.join(folder, decodeURIComponent(url.pathname));
    if (!file.startsWith(folder + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      await route.fulfill({ status: 404, body: 'not found' });
      return;
    }
    await route.fulfill({ status: 200, contentType: contentType(file), body: fs.readFileSync(file) });
  });

  const page = await context.newPage();
  const link = { page, events: [], delivered: [], errors: [] };
  page.on('pageerror', (err) => link.errors.push(String(err)));

  let sending = Promise.resolve();
  await page.exposeBinding('__veltruneLinkPost', ({ frame }, json) => {
    const command = JSON.parse(json);
    // In order, one at a time: the launcher handles them on its UI thread,
    // and MESSAGE answers once its handler has returned.
    sending = sending.then(() => control.request(`MESSAGE 0 ${frame.url()} ${json}`))
      .then((reply) => { if (reply.startsWith('OK')) link.delivered.push(command); })
      .catch(() => {});
  });
  await page.addInitScript({ content: SHIM });

  let stopped = false;
  link.gone = (async () => {
    while (!stopped) {
      let event;
      try {
        event = await pump.posted();
      } catch {
        return; // the launcher ended
      }
      if (!event) continue;
      const json = JSON.stringify(event);
      link.events.push(event);
      // A page between documents misses the event, as the real view's would.
      await page.evaluate((text) => window.__veltruneLinkDeliver && window.__veltruneLinkDeliver(text), json)
        .catch(() => {});
    }
  })();

  link.close = async () => {
    stopped = true;
    control.close();
    pump.close();
    await link.gone;
    await context.close().catch(() => {});
  };

  await page.goto(setup.url);
  return link;
}

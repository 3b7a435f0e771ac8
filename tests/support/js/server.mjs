// A loopback HTTP server for the browser tests: static files from one folder,
// plus optional custom routes for pages that load slowly or never finish.
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.mp4': 'video/mp4',
  '.json': 'application/json',
  '.woff2': 'font/woff2',
};

export function contentType(file) {
  return TYPES[path.extname(file).toLowerCase()] || 'application/octet-stream';
}

// An HTTP server on 127.0.0.1 at a free port. close() also ends the
// connections that a stalled or never-finished response keeps open.
export async function listenLoopback(handler) {
  const sockets = new Set();
  const server = http.createServer(handler);
  server.on('connection', (s) => {
    sockets.add(s);
    s.on('close', () => sockets.delete(s));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    async close() {
      for (const s of sockets) s.destroy();
      await new Promise((resolve) => server.close(resolve));
    },
  };
}

// routes: { '/path': (req, res) => void } checked before the static folder.
export async function startServer(root, routes = {}) {
  const server = await listenLoopback((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    const route = routes[url.pathname];
    if (!route && url.pathname === '/favicon.ico') {
      res.writeHead(204);
      res.end();
      return;
    }
    if (route) {
      route(req, res, url);
      return;
    }
    const file = path.join(root, decodeURIComponent(url.pathname));
    if (!file.startsWith(root) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      res.writeHead(404, { 'content-type': 'text/plain' });
      res.end('not found');
      return;
    }
    res.writeHead(200, { 'content-type': contentType(file), 'cache-control': 'no-store' });
    fs.createReadStream(file).pipe(res);
  });
  // Pages that never finish loading keep their sockets open: close() ends them.
  return { base: `http://127.0.0.1:${server.port}`, close: server.close };
}

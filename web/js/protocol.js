// The page's only channel to the launcher: we post command objects through
// the web view, it posts event objects back.

const webview = window.chrome && window.chrome.webview;

// False when the page is opened outside the launcher (a plain browser).
export const hasHost = !!webview;

export function post(cmd, args) {
  if (!webview) return;
  var msg = { cmd: cmd };
  if (args) {
    for (var k in args) {
      if (Object.prototype.hasOwnProperty.call(args, k)) msg[k] = args[k];
    }
  }
  // Posted as an object: a string would reach the native side as a JSON
  // string literal and be ignored.
  webview.postMessage(msg);
}

// Hands each event to handlers[evt]; events nobody handles are dropped.
// afterEach runs once a handler has taken an event.
export function listen(handlers, afterEach) {
  if (!webview) return;
  webview.addEventListener('message', function (event) {
    var data = event && event.data;
    if (!data || typeof data !== 'object' || typeof data.evt !== 'string') return;
    var handler = Object.prototype.hasOwnProperty.call(handlers, data.evt) ? handlers[data.evt] : null;
    if (!handler) return;
    handler(data);
    afterEach();
  });
}

// The player's controls in the patch bar and the title bar: cancel, retry,
// resume, the client count, Play, and the window buttons.

import { post } from './protocol.js';
import { $ } from './dom.js';
import { state, clampClients } from './state.js';
import { schedule } from './status_bar.js';

// A start request sent while a cancelled pass is still winding down is
// ignored by the native side without a word; after this long with no
// event we offer the button again.
const START_SILENCE_MS = 4000;
// The window closes once the clients start; should it not, let the player
// try again after this long.
const LAUNCH_PATIENCE_MS = 10000;

const cancel = $('cancel');
const retry = $('retry');
const resume = $('resume');
const play = $('play');

var startTimer = 0;
var launchTimer = 0;

function awaitStart() {
  state.starting = true;
  clearTimeout(startTimer);
  startTimer = setTimeout(function () {
    if (!state.starting) return;
    state.starting = false;
    state.stopped = true;
    schedule();
  }, START_SILENCE_MS);
}

// Any event from the patch pass answers a pending start request.
export function heardFromWorker() {
  if (state.starting) {
    state.starting = false;
    clearTimeout(startTimer);
  }
}

cancel.addEventListener('click', function () {
  post('patch.cancel');
  // No event follows a cancel; the stopped state is ours to show.
  state.running = false;
  state.stopped = true;
  state.file = '';
  schedule();
  resume.hidden = false;
  resume.focus();
});
retry.addEventListener('click', function () {
  state.error = null;
  state.stopped = false;
  post('patch.retry');
  awaitStart();
  schedule();
});
resume.addEventListener('click', function () {
  state.stopped = false;
  post('patch.start');
  awaitStart();
  schedule();
});

function setClients(n) {
  n = clampClients(n);
  if (n === state.clients) return;
  state.clients = n;
  post('settings.setClientCount', { count: n });
  schedule();
}
$('clients-dec').addEventListener('click', function () { setClients(state.clients - 1); });
$('clients-inc').addEventListener('click', function () { setClients(state.clients + 1); });
$('clients-value').parentNode.addEventListener('keydown', function (e) {
  if (e.key === 'ArrowUp') { e.preventDefault(); setClients(state.clients + 1); }
  if (e.key === 'ArrowDown') { e.preventDefault(); setClients(state.clients - 1); }
});

play.addEventListener('click', function () {
  if (!state.canPlay || state.maintenance || state.launching) return;
  state.launching = true;
  post('game.play', { clients: state.clients });
  clearTimeout(launchTimer);
  launchTimer = setTimeout(function () {
    state.launching = false;
    schedule();
  }, LAUNCH_PATIENCE_MS);
  schedule();
});

$('titlebar').addEventListener('mousedown', function (e) {
  if (e.button !== 0 || (e.target.closest && e.target.closest('button'))) return;
  e.preventDefault();
  post('window.drag');
});
$('win-min').addEventListener('click', function () { post('window.minimize'); });
$('win-close').addEventListener('click', function () { post('window.close'); });

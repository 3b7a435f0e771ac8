// The player's controls in the patch bar and the title bar: cancel, retry,
// resume, the client count, Play, and the window buttons.

import { post } from './protocol.js';
import { $ } from './dom.js';
import { state, clampClients } from './state.js';
import { schedule } from './status_bar.js';

// A start request sent while a cancelled or failed pass still winds down
// is kept by the launcher, which starts the next pass once that one has
// ended; the wind-down may wait out a silent server's 60 s receive timeout.
// Only after longer than that with no event do we offer the button again.
const START_SILENCE_MS = 90000;

const cancel = $('cancel');
const retry = $('retry');
const resume = $('resume');
const play = $('play');

var startTimer = 0;

function awaitStart() {
  state.starting = true;
  state.unanswered = false;
  clearTimeout(startTimer);
  startTimer = setTimeout(function () {
    if (!state.starting) return;
    state.starting = false;
    // After a cancel the stop shows again by itself; otherwise we must not
    // claim one, only that nothing has answered yet.
    if (!state.stopped) state.unanswered = true;
    schedule();
  }, START_SILENCE_MS);
}

// Any event from the patch pass answers a pending start request.
export function heardFromWorker() {
  state.unanswered = false;
  if (state.starting) {
    state.starting = false;
    clearTimeout(startTimer);
  }
}

// "launch" frames a Play: active while the clients start, inactive once the
// launch has ended (the launcher closes its window next).
export function onLaunch(e) {
  state.launching = e.active === true;
  state.launchConfirmed = state.launching;
}

// A Play that crossed the withdrawal of play is refused without a "launch";
// the "ready" false that withdrew it ends the wait.
export function playWithdrawn() {
  if (state.launching && !state.launchConfirmed) state.launching = false;
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
  post('patch.retry');
  awaitStart();
  schedule();
});
resume.addEventListener('click', function () {
  // Still stopped until the new pass starts: the cancelled one may yet send
  // late events.
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
  // Held until the launcher reports the launch's end: starting n clients
  // takes up to n × 8.5 s.
  state.launching = true;
  state.launchConfirmed = false;
  post('game.play', { clients: state.clients });
  schedule();
});

$('titlebar').addEventListener('mousedown', function (e) {
  if (e.button !== 0 || (e.target.closest && e.target.closest('button'))) return;
  e.preventDefault();
  post('window.drag');
});
$('win-min').addEventListener('click', function () { post('window.minimize'); });
$('win-close').addEventListener('click', function () { post('window.close'); });

// The patch bar at the bottom: phase, status text, file line, overall bar,
// which buttons show. Progress events arrive once per received block,
// thousands per second; handlers only record state and the DOM is written
// once per frame.

import { $, setText, setHidden, num, fixed } from './dom.js';
import { state, mode, MIN_CLIENTS, MAX_CLIENTS } from './state.js';
import { reportNewsRect } from './news.js';

const PHASES = {
  checking: { label: 'Checking', status: 'Checking game files…' },
  verifying: { label: 'Verifying', status: 'Comparing every game file with the patch list…' },
  downloading: { label: 'Downloading', status: 'Downloading updates…' },
  updating: { label: 'Updating launcher', status: 'The launcher restarts itself to finish the update.' },
  finished: { label: 'Up to date', status: 'All game files are up to date.' }
};

const el = {
  maintenance: $('maintenance'),
  patchbar: $('patchbar'),
  progress: $('patch-progress'),
  phase: $('phase'),
  status: $('status'),
  fileLine: $('file-line'),
  fileName: $('file-name'),
  filePercent: $('file-percent'),
  fileSpeed: $('file-speed'),
  fileDone: $('file-done'),
  overallBar: $('overall-bar'),
  overallFill: $('overall-fill'),
  overallPercent: $('overall-percent'),
  overallFiles: $('overall-files'),
  errorPanel: $('error-panel'),
  errorMessage: $('error-message'),
  cancel: $('cancel'),
  retry: $('retry'),
  resume: $('resume'),
  clientsDec: $('clients-dec'),
  clientsInc: $('clients-inc'),
  clientsValue: $('clients-value'),
  play: $('play'),
  playLabel: $('play-label')
};

var framePending = false;

export function schedule() {
  if (framePending) return;
  framePending = true;
  window.requestAnimationFrame(flush);
}

function labels(m) {
  var phaseInfo = PHASES[state.phase];
  switch (m) {
    case 'launching':
      return ['Starting', state.clients > 1 ? 'Starting ' + state.clients + ' game clients…' : 'Starting the game…'];
    case 'maintenance':
      return ['Maintenance', 'Waiting for the servers to come back…'];
    case 'starting':
      return ['Starting', 'Starting the update…'];
    case 'stopped':
      return ['Stopped', 'The update was cancelled. Resume it when you are ready.'];
    case 'unanswered':
      return ['No answer', 'The launcher has not answered yet. Try again in a moment.'];
    case 'ready':
      return ['Ready', 'All game files are up to date. Have fun!'];
    case 'patching':
      return [phaseInfo ? phaseInfo.label : 'Checking',
        state.status || (phaseInfo ? phaseInfo.status : 'Checking game files…')];
    case 'error':
      return ['Error', ''];
    default:
      return ['Connecting', state.status || 'Contacting the patch server…'];
  }
}

function renderProgress(m) {
  var showFile = m === 'patching' && state.phase === 'downloading' && state.file !== '';
  setHidden(el.fileLine, !showFile);
  if (showFile) {
    setText(el.fileName, state.file);
    if (el.fileName.title !== state.file) el.fileName.title = state.file;
    setText(el.filePercent, Math.max(0, Math.min(100, Math.round(num(state.filePercent, 0)))) + '%');
    setText(el.fileSpeed, fixed(state.speed, 1) + ' MiB/s');
    setText(el.fileDone, fixed(state.doneMb, 1) + ' MiB');
  }

  if (m === 'patching' && state.phase === 'verifying') {
    renderVerify();
    return;
  }
  // Bytes on the wire decide the bar once the launcher reports them: a
  // large file mostly found on disk is a small download.
  var byBytes = state.downloadMb > 0 && m === 'patching';
  var total = byBytes ? Math.floor(Math.min(1, state.downloadedMb / state.downloadMb) * 100)
    : Math.max(0, Math.min(100, Math.floor(num(state.totalPercent, 0))));
  var fine = total;
  if (m === 'ready' || (m === 'patching' && state.phase === 'finished')) {
    total = 100;
    fine = 100;
  } else if (showFile && state.fileCount > 0 && !byBytes) {
    // Let the bar creep within the current file instead of jumping once
    // per file; the number shown stays the reported one.
    fine = Math.min(100, total + Math.max(0, Math.min(100, num(state.filePercent, 0))) / state.fileCount);
  }
  var transform = 'scaleX(' + (fine / 100).toFixed(4) + ')';
  if (el.overallFill.style.transform !== transform) el.overallFill.style.transform = transform;
  setText(el.overallPercent, total + '%');
  if (el.overallBar.getAttribute('aria-valuenow') !== String(total)) el.overallBar.setAttribute('aria-valuenow', String(total));
  var files = state.fileCount > 0 ? state.fileIndex + ' of ' + state.fileCount + ' files' : '';
  if (files && byBytes) {
    files += ' · ' + sizeText(state.downloadedMb) + ' of ' + sizeText(state.downloadMb);
    if (state.reusedMb > 0) files += ' · ' + sizeText(state.reusedMb) + ' reused';
    if (state.phase === 'downloading' && state.secondsLeft >= 0) files += ' · ' + leftText(state.secondsLeft);
  }
  setText(el.overallFiles, files);
}

// "40 s left", "3 min left", "1 h 5 min left": coarser the further off.
function leftText(s) {
  if (s < 55) return Math.max(5, Math.ceil(s / 5) * 5) + ' s left';
  var min = Math.max(1, Math.round(s / 60));
  return (min < 60 ? '' : Math.floor(min / 60) + ' h ') + (min % 60) + ' min left';
}

// "12 MiB", "3.5 MiB", "1.9 GiB".
function sizeText(mib) {
  if (mib >= 1024) return fixed(mib / 1024, 1) + ' GiB';
  return mib >= 10 ? Math.round(mib) + ' MiB' : fixed(mib, 1) + ' MiB';
}

// The repair's hashing: the bar follows the MiB read (files when there is
// nothing to read), the line below says both.
function renderVerify() {
  var byMb = state.verifyTotalMb > 0;
  var part = byMb ? state.verifyDoneMb / state.verifyTotalMb
    : (state.verifyFileCount > 0 ? state.verifyFiles / state.verifyFileCount : 0);
  var total = Math.max(0, Math.min(100, Math.floor(part * 100)));
  var transform = 'scaleX(' + (total / 100).toFixed(4) + ')';
  if (el.overallFill.style.transform !== transform) el.overallFill.style.transform = transform;
  setText(el.overallPercent, total + '%');
  if (el.overallBar.getAttribute('aria-valuenow') !== String(total)) el.overallBar.setAttribute('aria-valuenow', String(total));
  setText(el.overallFiles, state.verifyFileCount > 0
    ? state.verifyFiles + ' of ' + state.verifyFileCount + ' files, ' + fixed(state.verifyDoneMb, 1) + ' of ' +
      fixed(state.verifyTotalMb, 1) + ' MiB'
    : '');
}

export function flush() {
  framePending = false;
  var m = mode();
  if (el.patchbar.getAttribute('data-mode') !== m) el.patchbar.setAttribute('data-mode', m);

  var text = labels(m);
  setText(el.phase, text[0]);
  setText(el.status, text[1]);
  renderProgress(m);

  setHidden(el.progress, m === 'error');
  setHidden(el.errorPanel, m !== 'error');
  if (m === 'error') setText(el.errorMessage, state.error);
  setHidden(el.maintenance, !state.maintenance);

  setHidden(el.cancel, m !== 'patching');
  setHidden(el.retry, m !== 'error' && m !== 'unanswered');
  setHidden(el.resume, m !== 'stopped');

  var playable = state.canPlay && !state.maintenance && !state.launching;
  if (el.play.disabled === playable) el.play.disabled = !playable;
  setText(el.playLabel, state.launching ? 'Starting' : 'Play');

  setText(el.clientsValue, String(state.clients));
  el.clientsDec.disabled = state.clients <= MIN_CLIENTS;
  el.clientsInc.disabled = state.clients >= MAX_CLIENTS;

  // Panels above may have changed the news box's place.
  reportNewsRect();
}

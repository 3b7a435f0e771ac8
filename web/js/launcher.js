// Launcher page entry: routes the launcher's events to the parts of the page
// and starts the conversation. The parts register their own input handlers
// when imported.

import { post, listen, hasHost } from './protocol.js';
import { $, setText, setHidden, num } from './dom.js';
import { state, clampClients } from './state.js';
import { schedule, flush } from './status_bar.js';
import { heardFromWorker, onLaunch, playWithdrawn } from './controls.js';
import { startNewsReports } from './news.js';
import { applyBackground, resetBackground } from './background.js';
import { applyLinks, onDiscord, awaitDiscord, giveUpOnDiscordLater } from './side_panel.js';
import { fillOptions } from './options.js';
import { createTimeLeft } from './time_left.js';

const versionChip = $('version');
var timeLeft = createTimeLeft();

// Events of the patch worker. After Cancel, what the cancelled pass still
// sends (blocks and phases already on their way) is dropped until the next
// pass starts, which it always does with "maintenance".
function fromWorker(handler, startsPass) {
  return function (e) {
    if (state.stopped) {
      if (!startsPass) return;
      state.stopped = false;
    }
    heardFromWorker();
    handler(e);
  };
}

const handlers = {
  init: function (e) {
    var version = typeof e.version === 'string' ? e.version : '';
    setText(versionChip, version);
    setHidden(versionChip, version === '');
    state.clients = clampClients(e.clientCount);
    state.animatedBg = e.animatedBg !== false;
    state.backgrounds = Array.isArray(e.backgrounds)
      ? e.backgrounds.filter(function (b) { return typeof b === 'string' && b !== ''; })
      : [];
    state.links = e.links && typeof e.links === 'object' ? e.links : {};
    applyLinks();
    resetBackground();
  },
  maintenance: fromWorker(function (e) {
    state.maintenance = e.active === true;
  }, true),
  phase: fromWorker(function (e) {
    var phase = String(e.phase || '');
    if (phase === 'checking' || phase === 'verifying') {
      state.verifyFiles = 0;
      state.verifyFileCount = 0;
      state.verifyDoneMb = 0;
      state.verifyTotalMb = 0;
    }
    if (phase === 'checking') {
      timeLeft = createTimeLeft();
      state.secondsLeft = -1;
      state.fileCount = 0;
      state.fileIndex = 0;
      state.totalPercent = 0;
      state.file = '';
    }
    if (phase !== state.phase) state.status = '';
    state.phase = phase;
    state.running = true;
    state.error = null;
  }),
  status: fromWorker(function (e) {
    state.status = String(e.text == null ? '' : e.text);
  }),
  filecount: fromWorker(function (e) {
    state.fileCount = Math.max(0, num(e.fileCount, 0));
    state.fileIndex = 0;
    state.totalPercent = 0;
  }),
  progress: fromWorker(function (e) {
    state.fileIndex = num(e.fileIndex, state.fileIndex);
    state.fileCount = num(e.fileCount, state.fileCount);
    state.totalPercent = num(e.totalPercent, state.totalPercent);
    if ('filePercent' in e) {
      state.filePercent = num(e.filePercent, 0);
      state.speed = num(e.speed, 0);
      state.doneMb = num(e.doneMb, 0);
      state.file = String(e.file == null ? '' : e.file);
    }
    if ('downloadMb' in e) {
      state.downloadMb = Math.max(0, num(e.downloadMb, 0));
      state.downloadedMb = Math.max(0, num(e.downloadedMb, 0));
      state.reusedMb = Math.max(0, num(e.reusedMb, 0));
      state.secondsLeft = timeLeft.sample(performance.now(), state.downloadedMb, state.downloadMb);
    }
  }),
  verify: fromWorker(function (e) {
    state.verifyFiles = Math.max(0, num(e.files, 0));
    state.verifyFileCount = Math.max(0, num(e.fileCount, 0));
    state.verifyDoneMb = Math.max(0, num(e.doneMb, 0));
    state.verifyTotalMb = Math.max(0, num(e.totalMb, 0));
  }),
  ready: fromWorker(function (e) {
    state.canPlay = e.canPlay === true;
    if (state.canPlay) {
      state.running = false;
      state.phase = 'finished';
      state.file = '';
    } else {
      playWithdrawn();
    }
  }),
  error: fromWorker(function (e) {
    state.error = String(e.message == null ? '' : e.message);
    state.running = false;
    state.file = '';
  }),
  launch: onLaunch,
  options: fillOptions,
  discord: onDiscord
};

awaitDiscord();
applyBackground();
applyLinks();
flush();
if (hasHost) {
  listen(handlers, schedule);
  post('ui.ready');
  post('news.navigate', { target: 'news' });
}
startNewsReports();
giveUpOnDiscordLater();

// The game options dialog. The launcher reads and writes the game's
// settings file; the dialog only shows what "options" sends and posts back
// what the player saves. The download speed limit is the launcher's own
// setting and is saved with its own command, only when it changed.

import { post } from './protocol.js';
import { $, setText, num } from './dom.js';
import { reportNewsRect } from './news.js';

const LEVELS = ['Lowest', 'Low', 'Medium', 'High', 'Highest'];
const SLIDERS = ['detail', 'distant', 'view', 'shadow'];
// KiB/s; 0 is no limit.
const SPEED_LIMITS = [0, 512, 1024, 2048, 5120, 10240];

const dialog = $('options-dialog');
const form = $('options-form');
const body = $('options-body');
const save = $('options-save');
const resolution = $('opt-resolution');
const fullscreen = $('opt-fullscreen');
const speedLimit = $('opt-maxkibps');
var loadedLimit = 0;

function limitLabel(kib) {
  if (kib === 0) return 'No limit';
  if (kib % 1024 === 0) return (kib / 1024) + ' MiB/s';
  return kib + ' KiB/s';
}

function fillSpeedLimits(current) {
  var list = SPEED_LIMITS.slice();
  // A value set by hand in Veltrune.ini stays choosable.
  if (list.indexOf(current) < 0) list.push(current);
  list.sort(function (a, b) { return a - b; });
  speedLimit.textContent = '';
  list.forEach(function (kib) {
    var opt = document.createElement('option');
    opt.value = String(kib);
    opt.textContent = limitLabel(kib);
    speedLimit.appendChild(opt);
  });
  speedLimit.value = String(current);
}

function levelOf(v) {
  var n = Math.round(num(v, 2));
  return Math.max(0, Math.min(4, n));
}

function syncSliderLabel(name) {
  var input = $('opt-' + name);
  setText($('out-' + name), LEVELS[levelOf(input.value)]);
}

SLIDERS.forEach(function (name) {
  $('opt-' + name).addEventListener('input', function () { syncSliderLabel(name); });
});

export function fillOptions(evt) {
  SLIDERS.forEach(function (name) {
    $('opt-' + name).value = String(levelOf(evt[name]));
    syncSliderLabel(name);
  });
  fullscreen.checked = evt.fullscreen === true;

  var w = Math.floor(num(evt.resW, 1024));
  var h = Math.floor(num(evt.resH, 768));
  var list = Array.isArray(evt.resolutions) ? evt.resolutions.slice() : [];
  var found = list.some(function (r) { return r && r.w === w && r.h === h; });
  // The stored size stays choosable even when this display does not list it.
  if (!found) list.unshift({ w: w, h: h, stored: true });
  resolution.textContent = '';
  list.forEach(function (r) {
    if (!r) return;
    var opt = document.createElement('option');
    opt.value = r.w + 'x' + r.h;
    opt.textContent = r.w + ' × ' + r.h + (r.stored ? ' (current)' : '');
    resolution.appendChild(opt);
  });
  resolution.value = w + 'x' + h;
  loadedLimit = Math.max(0, Math.floor(num(evt.maxKiBps, 0)));
  fillSpeedLimits(loadedLimit);
  body.setAttribute('aria-busy', 'false');
  save.disabled = false;
}

function openOptions() {
  if (dialog.open) return;
  body.setAttribute('aria-busy', 'true');
  save.disabled = true;
  dialog.showModal();
  reportNewsRect();
  post('options.load');
}

function closeOptions() {
  if (dialog.open) dialog.close();
}

dialog.addEventListener('close', function () {
  reportNewsRect();
  $('open-options').focus();
});
$('open-options').addEventListener('click', openOptions);
$('options-x').addEventListener('click', closeOptions);
$('options-cancel').addEventListener('click', closeOptions);
// The repair runs as a patch pass; the status bar shows its progress, so
// the dialog gets out of the way.
$('opt-verify').addEventListener('click', function () {
  post('patch.verify');
  closeOptions();
});
form.addEventListener('submit', function (e) {
  e.preventDefault();
  if (save.disabled) return;
  var res = String(resolution.value || '1024x768').split('x');
  var msg = {};
  SLIDERS.forEach(function (name) { msg[name] = levelOf($('opt-' + name).value); });
  msg.fullscreen = fullscreen.checked;
  msg.resW = Math.floor(num(res[0], 1024));
  msg.resH = Math.floor(num(res[1], 768));
  post('options.save', msg);
  var limit = Math.max(0, Math.floor(num(speedLimit.value, 0)));
  if (limit !== loadedLimit) post('settings.setMaxKiBps', { maxKiBps: limit });
  closeOptions();
});

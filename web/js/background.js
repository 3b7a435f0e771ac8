// The backdrop behind the page: an animated video or its still picture from
// the launcher's asset folder, with the locally drawn backdrop underneath
// when neither loads.

import { post } from './protocol.js';
import { $, setHidden } from './dom.js';
import { state } from './state.js';

// Host name under which the launcher maps its asset folder. The launcher
// does not tell the page a changed name, so an operator who changes it
// passes it in the start page's address (?assetsHost=name).
const ASSETS_HOST = (function () {
  var given = new URLSearchParams(window.location.search).get('assetsHost');
  return given && /^[A-Za-z0-9.-]+$/.test(given) ? given : 'client-assets';
})();

const toggle = $('bg-toggle');
const still = $('bg-still');
const video = $('bg-video');
const reducedMotion = window.matchMedia ? window.matchMedia('(prefers-reduced-motion: reduce)') : null;
var videoFailed = false;
var stillFailed = false;

function assetUrl(name) {
  return 'https://' + ASSETS_HOST + '/' + encodeURIComponent(name);
}

export function applyBackground() {
  var name = state.backgrounds.length ? state.backgrounds[0] : '';
  var stillUrl = name && !stillFailed ? assetUrl(name + '.png') : '';
  var animate = !!name && state.animatedBg && !videoFailed && !(reducedMotion && reducedMotion.matches);

  toggle.setAttribute('aria-pressed', state.animatedBg ? 'true' : 'false');
  toggle.title = 'Animated background: ' + (state.animatedBg ? 'on' : 'off');

  if (stillUrl && still.getAttribute('src') !== stillUrl) still.src = stillUrl;
  setHidden(still, !stillUrl || animate);

  if (animate) {
    var src = assetUrl(name + '.mp4');
    if (video.getAttribute('src') !== src) {
      if (stillUrl) video.poster = stillUrl;
      video.src = src;
    }
    setHidden(video, false);
    var p = video.play();
    if (p && p.catch) p.catch(function () { /* autoplay refused: the poster stays */ });
  } else {
    video.pause();
    setHidden(video, true);
  }
}

// A new list of backgrounds gets a fresh try at both files.
export function resetBackground() {
  videoFailed = false;
  stillFailed = false;
  applyBackground();
}

video.addEventListener('error', function () {
  videoFailed = true;
  video.removeAttribute('src');
  video.load();
  applyBackground();
});
still.addEventListener('error', function () {
  // The locally drawn backdrop underneath takes over.
  stillFailed = true;
  still.removeAttribute('src');
  applyBackground();
});
if (reducedMotion) {
  const onMotion = function () { applyBackground(); };
  if (reducedMotion.addEventListener) reducedMotion.addEventListener('change', onMotion);
  else if (reducedMotion.addListener) reducedMotion.addListener(onMotion);
}

toggle.addEventListener('click', function () {
  state.animatedBg = !state.animatedBg;
  post('settings.setAnimatedBg', { enabled: state.animatedBg });
  applyBackground();
});

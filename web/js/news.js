// The news box and its tabs. The native news view floats over this box,
// above everything on the page, so it must be hidden whenever something
// covers the box.

import { post } from './protocol.js';
import { $ } from './dom.js';

const newsArea = $('news-area');
const dialog = $('options-dialog');
const tabs = [$('tab-news'), $('tab-ranking')];

var lastRect = '';
var started = false;

export function reportNewsRect(force) {
  if (!started) return;
  var r = newsArea.getBoundingClientRect();
  var covered = dialog.open || document.visibilityState === 'hidden';
  var msg = {
    visible: !covered && r.width > 0 && r.height > 0,
    x: Math.round(r.left),
    y: Math.round(r.top),
    w: Math.round(r.width),
    h: Math.round(r.height)
  };
  var key = JSON.stringify(msg);
  if (!force && key === lastRect) return;
  lastRect = key;
  post('news.rect', msg);
}

// Reports go out only from here on, once the launcher has heard "ui.ready".
export function startNewsReports() {
  started = true;
  reportNewsRect(true);
}

function selectTab(tab, focus) {
  tabs.forEach(function (t) {
    var on = t === tab;
    t.setAttribute('aria-selected', on ? 'true' : 'false');
    t.tabIndex = on ? 0 : -1;
  });
  newsArea.setAttribute('aria-labelledby', tab.id);
  if (focus) tab.focus();
  post('news.navigate', { target: tab.getAttribute('data-target') });
}

tabs.forEach(function (tab, i) {
  tab.addEventListener('click', function () { selectTab(tab, false); });
  tab.addEventListener('keydown', function (e) {
    if (e.key === 'ArrowRight' || e.key === 'ArrowLeft') {
      e.preventDefault();
      selectTab(tabs[(i + (e.key === 'ArrowRight' ? 1 : tabs.length - 1)) % tabs.length], true);
    }
  });
});

if (typeof ResizeObserver === 'function') {
  const ro = new ResizeObserver(function () { reportNewsRect(); });
  ro.observe(newsArea);
  ro.observe(document.body);
}
window.addEventListener('resize', function () { reportNewsRect(); });
document.addEventListener('visibilitychange', function () { reportNewsRect(); });
if (document.fonts && document.fonts.ready) {
  document.fonts.ready.then(function () { reportNewsRect(); });
}

window.addEventListener('pagehide', function () {
  // Do not leave the native view floating over a page that is going away.
  if (lastRect) {
    var r = JSON.parse(lastRect);
    r.visible = false;
    post('news.rect', r);
  }
});

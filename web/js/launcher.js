// Launcher page logic. The native side talks to us only through the web
// view's message channel: we post command objects, it posts event objects.
(function () {
  'use strict';

  // Host name under which the launcher maps its asset folder. The launcher
  // does not tell the page a changed name, so an operator who changes it
  // passes it in the start page's address (?assetsHost=name).
  var ASSETS_HOST = (function () {
    var given = new URLSearchParams(window.location.search).get('assetsHost');
    return given && /^[A-Za-z0-9.-]+$/.test(given) ? given : 'client-assets';
  })();
  var MIN_CLIENTS = 1;
  var MAX_CLIENTS = 8;
  // A start request sent while a cancelled pass is still winding down is
  // ignored by the native side without a word; after this long with no
  // event we offer the button again.
  var START_SILENCE_MS = 4000;
  var DISCORD_PATIENCE_MS = 20000;
  var LEVELS = ['Lowest', 'Low', 'Medium', 'High', 'Highest'];
  var PHASES = {
    checking: { label: 'Checking', status: 'Checking game files…' },
    downloading: { label: 'Downloading', status: 'Downloading updates…' },
    updating: { label: 'Updating launcher', status: 'The launcher restarts itself to finish the update.' },
    finished: { label: 'Up to date', status: 'All game files are up to date.' }
  };

  var webview = window.chrome && window.chrome.webview;

  function post(cmd, args) {
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

  function $(id) { return document.getElementById(id); }

  var el = {
    version: $('version'),
    bgToggle: $('bg-toggle'),
    bgStill: $('bg-still'),
    bgVideo: $('bg-video'),
    newsArea: $('news-area'),
    tabs: [$('tab-news'), $('tab-ranking')],
    registerCard: $('register-card'),
    discord: $('discord'),
    discordTitle: $('discord-title'),
    discordOnline: $('discord-online-text'),
    discordMembers: $('discord-members'),
    discordNote: $('discord-note'),
    discordJoin: $('discord-join'),
    socials: $('socials'),
    youtube: $('link-youtube'),
    facebook: $('link-facebook'),
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
    playLabel: $('play-label'),
    dialog: $('options-dialog'),
    optionsForm: $('options-form'),
    optionsBody: $('options-body'),
    optionsSave: $('options-save'),
    resolution: $('opt-resolution'),
    fullscreen: $('opt-fullscreen')
  };
  var sliders = ['detail', 'distant', 'view', 'shadow'];

  // ---- State ---------------------------------------------------------

  var state = {
    links: {},
    backgrounds: [],
    animatedBg: true,
    clients: 1,
    phase: '',
    status: '',
    running: false,      // a patch pass is under way
    stopped: false,      // the player cancelled it
    starting: false,     // a start was requested; no answer yet
    maintenance: false,
    canPlay: false,
    launching: false,
    error: null,
    fileCount: 0,
    fileIndex: 0,
    totalPercent: 0,
    file: '',
    filePercent: 0,
    speed: 0,
    doneMb: 0
  };
  var startTimer = 0;
  var launchTimer = 0;

  function clampClients(n) {
    n = Math.floor(Number(n));
    if (!isFinite(n) || n < MIN_CLIENTS) return MIN_CLIENTS;
    return n > MAX_CLIENTS ? MAX_CLIENTS : n;
  }

  function num(v, fallback) {
    var n = Number(v);
    return isFinite(n) ? n : fallback;
  }

  function mode() {
    if (state.launching) return 'launching';
    if (state.error !== null) return 'error';
    if (state.maintenance) return 'maintenance';
    if (state.starting) return 'starting';
    if (state.stopped) return 'stopped';
    if (state.running) return 'patching';
    if (state.canPlay) return 'ready';
    return 'connecting';
  }

  // ---- Rendering -------------------------------------------------------
  // Progress events arrive once per received block, thousands per second;
  // handlers only record state and the DOM is written once per frame.

  var framePending = false;

  function schedule() {
    if (framePending) return;
    framePending = true;
    window.requestAnimationFrame(flush);
  }

  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }

  function setHidden(node, hidden) {
    if (node.hidden !== hidden) node.hidden = hidden;
  }

  function fixed(v, digits) {
    return num(v, 0).toFixed(digits);
  }

  function flush() {
    framePending = false;
    var m = mode();
    if (el.patchbar.getAttribute('data-mode') !== m) el.patchbar.setAttribute('data-mode', m);

    var phaseInfo = PHASES[state.phase];
    var label;
    var status;
    switch (m) {
      case 'launching':
        label = 'Starting';
        status = state.clients > 1 ? 'Starting ' + state.clients + ' game clients…' : 'Starting the game…';
        break;
      case 'maintenance':
        label = 'Maintenance';
        status = 'Waiting for the servers to come back…';
        break;
      case 'starting':
        label = 'Starting';
        status = 'Starting the update…';
        break;
      case 'stopped':
        label = 'Stopped';
        status = 'The update was cancelled. Resume it when you are ready.';
        break;
      case 'ready':
        label = 'Ready';
        status = 'All game files are up to date. Have fun!';
        break;
      case 'patching':
        label = phaseInfo ? phaseInfo.label : 'Checking';
        status = state.status || (phaseInfo ? phaseInfo.status : 'Checking game files…');
        break;
      case 'error':
        label = 'Error';
        status = '';
        break;
      default:
        label = 'Connecting';
        status = state.status || 'Contacting the patch server…';
    }
    setText(el.phase, label);
    setText(el.status, status);

    var showFile = m === 'patching' && state.phase === 'downloading' && state.file !== '';
    setHidden(el.fileLine, !showFile);
    if (showFile) {
      setText(el.fileName, state.file);
      if (el.fileName.title !== state.file) el.fileName.title = state.file;
      setText(el.filePercent, Math.max(0, Math.min(100, Math.round(num(state.filePercent, 0)))) + '%');
      setText(el.fileSpeed, fixed(state.speed, 1) + ' MiB/s');
      setText(el.fileDone, fixed(state.doneMb, 1) + ' MiB');
    }

    var total = Math.max(0, Math.min(100, Math.floor(num(state.totalPercent, 0))));
    var fine = total;
    if (m === 'ready' || (m === 'patching' && state.phase === 'finished')) {
      total = 100;
      fine = 100;
    } else if (showFile && state.fileCount > 0) {
      // Let the bar creep within the current file instead of jumping once
      // per file; the number shown stays the reported one.
      fine = Math.min(100, total + Math.max(0, Math.min(100, num(state.filePercent, 0))) / state.fileCount);
    }
    var transform = 'scaleX(' + (fine / 100).toFixed(4) + ')';
    if (el.overallFill.style.transform !== transform) el.overallFill.style.transform = transform;
    setText(el.overallPercent, total + '%');
    if (el.overallBar.getAttribute('aria-valuenow') !== String(total)) el.overallBar.setAttribute('aria-valuenow', String(total));
    setText(el.overallFiles, state.fileCount > 0 ? state.fileIndex + ' of ' + state.fileCount + ' files' : '');

    setHidden(el.progress, m === 'error');
    setHidden(el.errorPanel, m !== 'error');
    if (m === 'error') setText(el.errorMessage, state.error);
    setHidden(el.maintenance, !state.maintenance);

    setHidden(el.cancel, m !== 'patching');
    setHidden(el.retry, m !== 'error');
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

  // ---- News area -------------------------------------------------------
  // The native news view floats over this box, above everything on the
  // page, so it must be hidden whenever something covers the box.

  var lastRect = '';
  var started = false;

  function reportNewsRect(force) {
    if (!started) return;
    var r = el.newsArea.getBoundingClientRect();
    var covered = el.dialog.open || document.visibilityState === 'hidden';
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

  function selectTab(tab, focus) {
    el.tabs.forEach(function (t) {
      var on = t === tab;
      t.setAttribute('aria-selected', on ? 'true' : 'false');
      t.tabIndex = on ? 0 : -1;
    });
    el.newsArea.setAttribute('aria-labelledby', tab.id);
    if (focus) tab.focus();
    post('news.navigate', { target: tab.getAttribute('data-target') });
  }

  el.tabs.forEach(function (tab, i) {
    tab.addEventListener('click', function () { selectTab(tab, false); });
    tab.addEventListener('keydown', function (e) {
      if (e.key === 'ArrowRight' || e.key === 'ArrowLeft') {
        e.preventDefault();
        selectTab(el.tabs[(i + (e.key === 'ArrowRight' ? 1 : el.tabs.length - 1)) % el.tabs.length], true);
      }
    });
  });

  if (typeof ResizeObserver === 'function') {
    var ro = new ResizeObserver(function () { reportNewsRect(); });
    ro.observe(el.newsArea);
    ro.observe(document.body);
  }
  window.addEventListener('resize', function () { reportNewsRect(); });
  document.addEventListener('visibilitychange', function () { reportNewsRect(); });
  if (document.fonts && document.fonts.ready) {
    document.fonts.ready.then(function () { reportNewsRect(); });
  }

  // ---- Background ------------------------------------------------------

  var reducedMotion = window.matchMedia ? window.matchMedia('(prefers-reduced-motion: reduce)') : null;
  var videoFailed = false;
  var stillFailed = false;

  function assetUrl(name) {
    return 'https://' + ASSETS_HOST + '/' + encodeURIComponent(name);
  }

  function applyBackground() {
    var name = state.backgrounds.length ? state.backgrounds[0] : '';
    var still = name && !stillFailed ? assetUrl(name + '.png') : '';
    var animate = !!name && state.animatedBg && !videoFailed && !(reducedMotion && reducedMotion.matches);

    el.bgToggle.setAttribute('aria-pressed', state.animatedBg ? 'true' : 'false');
    el.bgToggle.title = 'Animated background: ' + (state.animatedBg ? 'on' : 'off');

    if (still && el.bgStill.getAttribute('src') !== still) el.bgStill.src = still;
    setHidden(el.bgStill, !still || animate);

    if (animate) {
      var src = assetUrl(name + '.mp4');
      if (el.bgVideo.getAttribute('src') !== src) {
        if (still) el.bgVideo.poster = still;
        el.bgVideo.src = src;
      }
      setHidden(el.bgVideo, false);
      var p = el.bgVideo.play();
      if (p && p.catch) p.catch(function () { /* autoplay refused: the poster stays */ });
    } else {
      el.bgVideo.pause();
      setHidden(el.bgVideo, true);
    }
  }

  el.bgVideo.addEventListener('error', function () {
    videoFailed = true;
    el.bgVideo.removeAttribute('src');
    el.bgVideo.load();
    applyBackground();
  });
  el.bgStill.addEventListener('error', function () {
    // The locally drawn backdrop underneath takes over.
    stillFailed = true;
    el.bgStill.removeAttribute('src');
    applyBackground();
  });
  if (reducedMotion) {
    var onMotion = function () { applyBackground(); };
    if (reducedMotion.addEventListener) reducedMotion.addEventListener('change', onMotion);
    else if (reducedMotion.addListener) reducedMotion.addListener(onMotion);
  }

  el.bgToggle.addEventListener('click', function () {
    state.animatedBg = !state.animatedBg;
    post('settings.setAnimatedBg', { enabled: state.animatedBg });
    applyBackground();
  });

  // ---- Links -----------------------------------------------------------

  function hasLink(key) {
    var v = state.links[key];
    return typeof v === 'string' && v.trim() !== '';
  }

  function applyLinks() {
    setHidden(el.registerCard, !hasLink('register'));
    setHidden(el.discordJoin, !hasLink('discord'));
    setHidden(el.youtube, !hasLink('youtube'));
    setHidden(el.facebook, !hasLink('facebook'));
    setHidden(el.socials, !hasLink('youtube') && !hasLink('facebook'));
  }

  document.addEventListener('click', function (e) {
    var btn = e.target.closest && e.target.closest('[data-link]');
    if (btn) post('openurl', { target: btn.getAttribute('data-link') });
  });

  // ---- Discord ---------------------------------------------------------

  var AVATAR_COLOURS = ['#5865f2', '#2f9e63', '#c7713c', '#9b59c9', '#2f8fbf', '#c44d68', '#4f6bd1', '#b0822f'];

  function discordUnavailable() {
    el.discord.setAttribute('data-state', 'unavailable');
    el.discord.setAttribute('aria-busy', 'false');
    setText(el.discordTitle, 'Community');
    setText(el.discordOnline, 'Status unavailable');
    el.discordMembers.textContent = '';
    setHidden(el.discordMembers, true);
    setHidden(el.discordNote, false);
  }

  function renderDiscord(widget) {
    var members = Array.isArray(widget.members) ? widget.members : [];
    var online = num(widget.presence_count, members.length);
    el.discord.setAttribute('data-state', 'ok');
    el.discord.setAttribute('aria-busy', 'false');
    setText(el.discordTitle, typeof widget.name === 'string' && widget.name ? widget.name : 'Community');
    setText(el.discordOnline, online + ' online');
    var list = document.createDocumentFragment();
    members.slice(0, 100).forEach(function (m, i) {
      if (!m || typeof m !== 'object') return;
      var name = String(m.username || m.nick || 'Member');
      var status = ['online', 'idle', 'dnd'].indexOf(m.status) >= 0 ? m.status : 'online';
      var li = document.createElement('li');
      li.className = 'member';
      var avatar = document.createElement('span');
      avatar.className = 'avatar';
      avatar.style.background = AVATAR_COLOURS[(name.charCodeAt(0) + i) % AVATAR_COLOURS.length];
      avatar.textContent = name.charAt(0).toUpperCase();
      var dot = document.createElement('span');
      dot.className = 'dot dot-' + status;
      dot.title = status === 'dnd' ? 'Do not disturb' : status.charAt(0).toUpperCase() + status.slice(1);
      avatar.appendChild(dot);
      var text = document.createElement('span');
      text.className = 'member-text';
      var n = document.createElement('span');
      n.className = 'member-name ellipsis';
      n.textContent = name;
      text.appendChild(n);
      if (m.game && typeof m.game.name === 'string' && m.game.name) {
        var g = document.createElement('span');
        g.className = 'member-game ellipsis';
        g.textContent = 'Playing ' + m.game.name;
        text.appendChild(g);
      }
      li.appendChild(avatar);
      li.appendChild(text);
      list.appendChild(li);
    });
    el.discordMembers.textContent = '';
    el.discordMembers.appendChild(list);
    setHidden(el.discordMembers, false);
    setHidden(el.discordNote, members.length > 0);
    if (!members.length) setText(el.discordNote, 'Nobody is online right now.');
  }

  // ---- Options dialog ----------------------------------------------------

  function levelOf(v) {
    var n = Math.round(num(v, 2));
    return Math.max(0, Math.min(4, n));
  }

  function syncSliderLabel(name) {
    var input = $('opt-' + name);
    setText($('out-' + name), LEVELS[levelOf(input.value)]);
  }

  sliders.forEach(function (name) {
    $('opt-' + name).addEventListener('input', function () { syncSliderLabel(name); });
  });

  function fillOptions(evt) {
    sliders.forEach(function (name) {
      $('opt-' + name).value = String(levelOf(evt[name]));
      syncSliderLabel(name);
    });
    el.fullscreen.checked = evt.fullscreen === true;

    var w = Math.floor(num(evt.resW, 1024));
    var h = Math.floor(num(evt.resH, 768));
    var list = Array.isArray(evt.resolutions) ? evt.resolutions.slice() : [];
    var found = list.some(function (r) { return r && r.w === w && r.h === h; });
    // The stored size stays choosable even when this display does not list it.
    if (!found) list.unshift({ w: w, h: h, stored: true });
    el.resolution.textContent = '';
    list.forEach(function (r) {
      if (!r) return;
      var opt = document.createElement('option');
      opt.value = r.w + 'x' + r.h;
      opt.textContent = r.w + ' × ' + r.h + (r.stored ? ' (current)' : '');
      el.resolution.appendChild(opt);
    });
    el.resolution.value = w + 'x' + h;
    el.optionsBody.setAttribute('aria-busy', 'false');
    el.optionsSave.disabled = false;
  }

  function openOptions() {
    if (el.dialog.open) return;
    el.optionsBody.setAttribute('aria-busy', 'true');
    el.optionsSave.disabled = true;
    el.dialog.showModal();
    reportNewsRect();
    post('options.load');
  }

  function closeOptions() {
    if (el.dialog.open) el.dialog.close();
  }

  el.dialog.addEventListener('close', function () {
    reportNewsRect();
    $('open-options').focus();
  });
  $('open-options').addEventListener('click', openOptions);
  $('options-x').addEventListener('click', closeOptions);
  $('options-cancel').addEventListener('click', closeOptions);
  el.optionsForm.addEventListener('submit', function (e) {
    e.preventDefault();
    if (el.optionsSave.disabled) return;
    var res = String(el.resolution.value || '1024x768').split('x');
    var msg = {};
    sliders.forEach(function (name) { msg[name] = levelOf($('opt-' + name).value); });
    msg.fullscreen = el.fullscreen.checked;
    msg.resW = Math.floor(num(res[0], 1024));
    msg.resH = Math.floor(num(res[1], 768));
    post('options.save', msg);
    closeOptions();
  });

  // ---- Patch controls ----------------------------------------------------

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

  function heardFromWorker() {
    if (state.starting) {
      state.starting = false;
      clearTimeout(startTimer);
    }
  }

  el.cancel.addEventListener('click', function () {
    post('patch.cancel');
    // No event follows a cancel; the stopped state is ours to show.
    state.running = false;
    state.stopped = true;
    state.file = '';
    schedule();
    el.resume.hidden = false;
    el.resume.focus();
  });
  el.retry.addEventListener('click', function () {
    state.error = null;
    state.stopped = false;
    post('patch.retry');
    awaitStart();
    schedule();
  });
  el.resume.addEventListener('click', function () {
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
  el.clientsDec.addEventListener('click', function () { setClients(state.clients - 1); });
  el.clientsInc.addEventListener('click', function () { setClients(state.clients + 1); });
  $('clients-value').parentNode.addEventListener('keydown', function (e) {
    if (e.key === 'ArrowUp') { e.preventDefault(); setClients(state.clients + 1); }
    if (e.key === 'ArrowDown') { e.preventDefault(); setClients(state.clients - 1); }
  });

  el.play.addEventListener('click', function () {
    if (!state.canPlay || state.maintenance || state.launching) return;
    state.launching = true;
    post('game.play', { clients: state.clients });
    // The window closes once the clients start; should it not, let the
    // player try again.
    clearTimeout(launchTimer);
    launchTimer = setTimeout(function () {
      state.launching = false;
      schedule();
    }, 10000);
    schedule();
  });

  // ---- Window chrome ------------------------------------------------------

  $('titlebar').addEventListener('mousedown', function (e) {
    if (e.button !== 0 || (e.target.closest && e.target.closest('button'))) return;
    e.preventDefault();
    post('window.drag');
  });
  $('win-min').addEventListener('click', function () { post('window.minimize'); });
  $('win-close').addEventListener('click', function () { post('window.close'); });

  // ---- Events from the launcher --------------------------------------------

  var handlers = {
    init: function (e) {
      var version = typeof e.version === 'string' ? e.version : '';
      setText(el.version, version);
      setHidden(el.version, version === '');
      state.clients = clampClients(e.clientCount);
      state.animatedBg = e.animatedBg !== false;
      state.backgrounds = Array.isArray(e.backgrounds)
        ? e.backgrounds.filter(function (b) { return typeof b === 'string' && b !== ''; })
        : [];
      state.links = e.links && typeof e.links === 'object' ? e.links : {};
      videoFailed = false;
      stillFailed = false;
      applyLinks();
      applyBackground();
    },
    maintenance: function (e) {
      heardFromWorker();
      state.maintenance = e.active === true;
    },
    phase: function (e) {
      heardFromWorker();
      var phase = String(e.phase || '');
      if (phase === 'checking') {
        state.fileCount = 0;
        state.fileIndex = 0;
        state.totalPercent = 0;
        state.file = '';
      }
      if (phase !== state.phase) state.status = '';
      state.phase = phase;
      state.running = true;
      state.stopped = false;
      state.error = null;
    },
    status: function (e) {
      heardFromWorker();
      state.status = String(e.text == null ? '' : e.text);
    },
    filecount: function (e) {
      heardFromWorker();
      state.fileCount = Math.max(0, num(e.fileCount, 0));
      state.fileIndex = 0;
      state.totalPercent = 0;
    },
    progress: function (e) {
      heardFromWorker();
      state.fileIndex = num(e.fileIndex, state.fileIndex);
      state.fileCount = num(e.fileCount, state.fileCount);
      state.totalPercent = num(e.totalPercent, state.totalPercent);
      if ('filePercent' in e) {
        state.filePercent = num(e.filePercent, 0);
        state.speed = num(e.speed, 0);
        state.doneMb = num(e.doneMb, 0);
        state.file = String(e.file == null ? '' : e.file);
      }
    },
    ready: function (e) {
      heardFromWorker();
      state.canPlay = e.canPlay === true;
      if (state.canPlay) {
        state.running = false;
        state.stopped = false;
        state.phase = 'finished';
        state.file = '';
      }
    },
    error: function (e) {
      heardFromWorker();
      state.error = String(e.message == null ? '' : e.message);
      state.running = false;
      state.file = '';
    },
    options: function (e) {
      fillOptions(e);
    },
    discord: function (e) {
      if (typeof e.json !== 'string') {
        discordUnavailable();
        return;
      }
      var widget = null;
      try {
        widget = JSON.parse(e.json);
      } catch (err) {
        // A proxy's HTML error page and the like: stay quiet.
      }
      if (widget && typeof widget === 'object' && !Array.isArray(widget)) renderDiscord(widget);
      else discordUnavailable();
    }
  };

  function onMessage(event) {
    var data = event && event.data;
    if (!data || typeof data !== 'object' || typeof data.evt !== 'string') return;
    var handler = Object.prototype.hasOwnProperty.call(handlers, data.evt) ? handlers[data.evt] : null;
    if (!handler) return;
    handler(data);
    schedule();
  }

  window.addEventListener('pagehide', function () {
    // Do not leave the native view floating over a page that is going away.
    if (lastRect) {
      var r = JSON.parse(lastRect);
      r.visible = false;
      post('news.rect', r);
    }
  });

  // ---- Start -------------------------------------------------------------

  el.discord.setAttribute('data-state', 'loading');
  applyBackground();
  applyLinks();
  flush();
  if (webview) {
    webview.addEventListener('message', onMessage);
    post('ui.ready');
    post('news.navigate', { target: 'news' });
  }
  started = true;
  reportNewsRect(true);
  // No widget event comes at all when no guild is configured.
  setTimeout(function () {
    if (el.discord.getAttribute('data-state') === 'loading') discordUnavailable();
  }, DISCORD_PATIENCE_MS);
})();

// The side panel: the register card, the community (Discord) card and the
// link buttons. Links are opened by the launcher, which knows their targets;
// the page only learns which ones are set.

import { post } from './protocol.js';
import { $, setText, setHidden, num } from './dom.js';
import { state } from './state.js';

// No widget event comes at all when no guild is configured.
const DISCORD_PATIENCE_MS = 20000;
const AVATAR_COLOURS = ['#5865f2', '#2f9e63', '#c7713c', '#9b59c9', '#2f8fbf', '#c44d68', '#4f6bd1', '#b0822f'];

const el = {
  discord: $('discord'),
  discordTitle: $('discord-title'),
  discordOnline: $('discord-online-text'),
  discordMembers: $('discord-members'),
  discordNote: $('discord-note')
};

function hasLink(key) {
  var v = state.links[key];
  return typeof v === 'string' && v.trim() !== '';
}

// What names links in data-shown-by shows while one of them is set: a link
// the launcher tells the page of is added in the markup alone.
export function applyLinks() {
  document.querySelectorAll('[data-shown-by]').forEach(function (node) {
    setHidden(node, !node.getAttribute('data-shown-by').split(' ').some(hasLink));
  });
}

document.addEventListener('click', function (e) {
  var btn = e.target.closest && e.target.closest('[data-link]');
  if (btn) post('openurl', { target: btn.getAttribute('data-link') });
});

function discordUnavailable() {
  el.discord.setAttribute('data-state', 'unavailable');
  el.discord.setAttribute('aria-busy', 'false');
  setText(el.discordTitle, 'Community');
  setText(el.discordOnline, 'Status unavailable');
  el.discordMembers.textContent = '';
  setHidden(el.discordMembers, true);
  setHidden(el.discordNote, false);
}

// Built with text nodes only: member names come from a third party.
function memberItem(m, i) {
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
  return li;
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
    list.appendChild(memberItem(m, i));
  });
  el.discordMembers.textContent = '';
  el.discordMembers.appendChild(list);
  setHidden(el.discordMembers, false);
  setHidden(el.discordNote, members.length > 0);
  if (!members.length) setText(el.discordNote, 'Nobody is online right now.');
}

// The "discord" event: the widget's JSON text, or no text when the fetch failed.
export function onDiscord(e) {
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

export function awaitDiscord() {
  el.discord.setAttribute('data-state', 'loading');
}

export function giveUpOnDiscordLater() {
  setTimeout(function () {
    if (el.discord.getAttribute('data-state') === 'loading') discordUnavailable();
  }, DISCORD_PATIENCE_MS);
}

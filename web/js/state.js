// What the page knows of the launcher: filled from events and the player's
// own actions, drawn by the status bar.

export const MIN_CLIENTS = 1;
export const MAX_CLIENTS = 8;

export const state = {
  links: {},
  backgrounds: [],
  animatedBg: true,
  clients: 1,
  phase: '',
  status: '',
  running: false,      // a patch pass is under way
  stopped: false,      // the player cancelled it; only the next pass's start ends this
  starting: false,     // a start was requested; no answer yet
  unanswered: false,   // a Retry got no answer in time
  maintenance: false,
  canPlay: false,
  launching: false,    // Play was pressed, or the launcher reports clients starting
  launchConfirmed: false, // the launcher has reported the launch ("launch" active)
  error: null,
  fileCount: 0,
  fileIndex: 0,
  totalPercent: 0,
  file: '',
  filePercent: 0,
  speed: 0,
  doneMb: 0,
  // The pass in MiB: to cross the wire, crossed, and found on the player's
  // own disk instead (chunks of the old copies).
  downloadMb: 0,
  downloadedMb: 0,
  reusedMb: 0,
  secondsLeft: -1,     // of the download, once the rate is steady; -1 before
  // A repair's hashing ("verify" events): files and MiB checked of the total.
  verifyFiles: 0,
  verifyFileCount: 0,
  verifyDoneMb: 0,
  verifyTotalMb: 0
};

export function clampClients(n) {
  n = Math.floor(Number(n));
  if (!isFinite(n) || n < MIN_CLIENTS) return MIN_CLIENTS;
  return n > MAX_CLIENTS ? MAX_CLIENTS : n;
}

// The one thing the status bar shows, by precedence.
export function mode() {
  if (state.launching) return 'launching';
  if (state.error !== null) return 'error';
  if (state.maintenance) return 'maintenance';
  if (state.starting) return 'starting';
  if (state.stopped) return 'stopped';
  if (state.unanswered) return 'unanswered';
  if (state.running) return 'patching';
  if (state.canPlay) return 'ready';
  return 'connecting';
}

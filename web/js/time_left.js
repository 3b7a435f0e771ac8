// The time left of a pass's download, from the MiB crossed so far that
// progress events report, timed by the page's clock. Nothing is claimed
// before the transfer has run a few seconds; the rate is a moving average
// over several seconds; the time shown counts down by itself and an update
// may move it only a little further, so a burst or a stall never makes it
// jump.

const SAMPLE_MS = 500;      // the rate is sampled at most this often
const SETTLE_MS = 3000;     // transfer time before any estimate is shown
const AVERAGE_MS = 5000;    // time constant of the rate's moving average
const STEP_PER_S = 0.2;     // per second, the shown time moves at most this share (or 2 s) off its countdown

export function createTimeLeft() {
  var start = -1;
  var lastAt = 0;
  var lastMb = 0;
  var rate = 0;       // MiB/s
  var shown = -1;     // seconds
  var shownAt = 0;

  // One report: now in ms, MiB crossed, MiB to cross in all. Returns the
  // seconds to show, or -1 while there is nothing to claim yet.
  function sample(now, doneMb, totalMb) {
    if (start < 0 || doneMb < lastMb) {
      start = now;
      lastAt = now;
      lastMb = doneMb;
      rate = 0;
      shown = -1;
      return shown;
    }
    var ms = now - lastAt;
    if (ms < SAMPLE_MS) return shown;
    var instant = (doneMb - lastMb) * 1000 / ms;
    rate = rate > 0 ? rate + (instant - rate) * (1 - Math.exp(-ms / AVERAGE_MS)) : instant;
    lastAt = now;
    lastMb = doneMb;
    if (now - start < SETTLE_MS || rate <= 0) return shown;
    var estimate = Math.max(0, totalMb - doneMb) / rate;
    if (shown < 0) {
      shown = estimate;
    } else {
      var countdown = Math.max(0, shown - (now - shownAt) / 1000);
      var step = Math.max(2, countdown * STEP_PER_S) * (now - shownAt) / 1000;
      shown = Math.min(Math.max(estimate, countdown - step), countdown + step);
    }
    shownAt = now;
    return shown;
  }

  return { sample: sample };
}

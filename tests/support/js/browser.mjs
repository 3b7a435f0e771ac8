// One headless Debian Chromium per test file; the machine is shared.
// The demo shows a window instead when it is given a display.
import { chromium } from 'playwright-core';

export async function launchBrowser({ display } = {}) {
  return chromium.launch({
    executablePath: process.env.CHROMIUM_PATH || '/usr/bin/chromium',
    headless: !display,
    args: ['--no-sandbox'],
    ...(display ? { env: { ...process.env, DISPLAY: display } } : {}),
  });
}

// Collects console errors and uncaught exceptions of one page.
export function watchErrors(page, ignore = () => false) {
  const errors = [];
  page.on('console', (msg) => {
    if (msg.type() === 'error' && !ignore(msg.text())) errors.push(`console: ${msg.text()}`);
  });
  page.on('pageerror', (err) => {
    if (!ignore(String(err))) errors.push(`pageerror: ${err}`);
  });
  return errors;
}

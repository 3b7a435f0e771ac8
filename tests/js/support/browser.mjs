// One headless Debian Chromium per test file; the machine is shared.
import { chromium } from 'playwright-core';

export async function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM_PATH || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox'],
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

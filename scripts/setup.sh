#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian 12). Safe to re-run.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake ninja-build g++ zlib1g-dev libssl-dev pkg-config
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  googletest
  wine wine64 xvfb xauth x11-utils
  chromium openssl nginx-light curl imagemagick
  python3 ca-certificates
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Node.js may come from another packaging that already bundles npm (and
# conflicts with Debian's npm package): ask for them only when missing.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Page tests drive Debian's chromium through playwright-core (no browser download).
if [ -f package.json ] && [ ! -d node_modules/playwright-core ]; then
  echo "setup: npm ci"
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
fi
echo "setup: ok"

#!/usr/bin/env bash
# Configures and builds the Windows cross build (build/win) and the native
# tools (build/native). Safe to re-run; incremental. Configuring every time
# is cheap and picks up folders added since the last run.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS="${JOBS:-$(nproc)}"
cmake --preset windows >/dev/null
cmake --build build/win -j "$JOBS"
cmake --preset native >/dev/null
cmake --build build/native -j "$JOBS"

#!/usr/bin/env bash
# Configures and builds the Windows cross build (build/win) and the native
# tools (build/native). Safe to re-run; incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS="${JOBS:-$(nproc)}"
[ -f build/win/build.ninja ] || cmake --preset windows >/dev/null
cmake --build build/win -j "$JOBS"
[ -f build/native/build.ninja ] || cmake --preset native >/dev/null
cmake --build build/native -j "$JOBS"

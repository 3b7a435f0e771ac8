#!/usr/bin/env bash
# Developer loop: build selected targets in a private build folder and run
# selected ctest entries under a private Wine prefix and Xvfb display, so that
# several people (or shells) can work in one tree at once.
#   scripts/dev-test.sh NAME [--target T]... [-- CTEST_ARGS...]
# Example: scripts/dev-test.sh net --target net_tests -- -R '^net$'
set -uo pipefail
cd "$(dirname "$0")/.."
name="$1"; shift
targets=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case "$1" in
    --target) targets+=(--target "$2"); shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
[ "${1:-}" = "--" ] && shift
dir="build/dev-$name"
[ -f "$dir/build.ninja" ] || cmake --preset windows -B "$dir" >/dev/null || exit 1
cmake --build "$dir" -j 2 "${targets[@]}" || exit 1
export WINEPREFIX="$PWD/$dir/wineprefix"
. scripts/wine-env.sh
trap vr_wine_stop EXIT
vr_wine_start
ctest --test-dir "$dir" --output-on-failure "$@"

#!/usr/bin/env bash
# Runs every test: set-up, the layering check of src/, build, unit tests
# under Wine/Xvfb (ctest), native tool tests, and the JavaScript tests (the
# page in Chromium, and the real Veltrune.exe under Wine). Exits non-zero on
# any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

bash scripts/setup.sh || exit 1
echo "== Layering check =="
bash scripts/check-layers.sh || { echo "SOME TESTS FAILED"; exit 1; }
bash scripts/build.sh || exit 1

. scripts/wine-env.sh
trap vr_wine_stop EXIT
vr_wine_start

status=0
echo "== Windows tests (ctest under Wine) =="
ctest --test-dir build/win --output-on-failure -j "${CTEST_JOBS:-2}" --timeout 1200 || status=1

echo "== Native tests (ctest) =="
ctest --test-dir build/native --output-on-failure || status=1

if ls tests/js/*.test.mjs >/dev/null 2>&1; then
  echo "== Page tests (Chromium) =="
  (cd "$ROOT" && node --test tests/js/) || status=1
fi

# The tests' size against the product's; informational only.
bash scripts/count-lines.sh || true

if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status

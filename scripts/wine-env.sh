# Sourced by the test and demo scripts: one Xvfb display and one persistent
# wineserver for the whole run, in a test-owned prefix under build/.
# vr_wine_start starts them; vr_wine_stop stops exactly what it started.

VR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$VR_ROOT/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono/Gecko installers: nothing here needs them and they would prompt.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
VR_XVFB_PID=""
VR_WINESERVER_PID=""

vr_wine_start() {
  # A display first: a wineserver started without DISPLAY keeps later
  # windows from being created.
  local n
  for n in $(seq 91 140); do
    if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then break; fi
  done
  Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
  VR_XVFB_PID=$!
  export DISPLAY=":$n"
  local i
  for i in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X${n}" ] && break
    sleep 0.1
  done

  if [ ! -f "$WINEPREFIX/.vr-ready" ]; then
    echo "wine: creating test prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.vr-ready"
  fi
  wineserver -p -f >/dev/null 2>&1 &
  VR_WINESERVER_PID=$!
  # Start the prefix's services now, with no terminal or pipe attached: they
  # outlive every test process, and would otherwise hold ctest's output pipe
  # open so that it never sees the test end.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  # The same for the desktop process, which the first window would start:
  # it lives while any process uses the desktop, so with tests running side
  # by side it held the first windowed suite's pipe until the last one ended.
  wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &
}

vr_wine_stop() {
  if [ -n "$VR_WINESERVER_PID" ]; then
    wineserver -k >/dev/null 2>&1 || true
    kill "$VR_WINESERVER_PID" 2>/dev/null || true
    wait "$VR_WINESERVER_PID" 2>/dev/null || true
    VR_WINESERVER_PID=""
  fi
  if [ -n "$VR_XVFB_PID" ]; then
    kill "$VR_XVFB_PID" 2>/dev/null || true
    wait "$VR_XVFB_PID" 2>/dev/null || true
    VR_XVFB_PID=""
  fi
}

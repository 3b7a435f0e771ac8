#!/usr/bin/env bash
# The demo in one command: installs what is missing, builds, writes a small
# sample game, generates a list key (once) and publishes the game signed with
# it using veltrune-publish, serves it on 127.0.0.1
# with Debian's nginx (run as the current user, everything under build/demo),
# checks what the server sends, then runs the launcher under Wine to patch a
# fresh game folder from it, with the public key as its listKey. Safe to
# re-run: the key is kept, and the second publish finds every object current.
#
# For development (no set-up, no build, another build folder):
#   VR_DEMO_BUILD=0 VR_NATIVE_DIR=build/dev-x bash scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

DEMO="$ROOT/build/demo"
NATIVE_DIR="$ROOT/${VR_NATIVE_DIR:-build/native}"
WIN_DIR="$ROOT/${VR_WIN_DIR:-build/win}"
PUBLISH="$NATIVE_DIR/tools/publish/veltrune-publish"
GAME_SRC="$DEMO/sample-game"     # what the operator publishes
SERVED="$DEMO/www"               # what nginx serves
KEY_DIR="$DEMO/keys"             # the list key: private, never under what is served
KEY="$KEY_DIR/list.key"
PUBLIC_KEY=""                    # the line keygen printed, for the launcher's listKey
STATE="$DEMO/nginx"              # nginx configuration, pid, logs, temp files
VERSION=29                       # the launcher's built-in patchVersion: no self-update
MAINT_NAME="MaintanenceCheck.txt"
NGINX="$(command -v nginx || echo /usr/sbin/nginx)"  # /usr/sbin is not on every user's PATH
NGINX_PID=""

say() { echo "demo: $*"; }
fail() { echo "demo: FAILED: $*" >&2; exit 1; }

stop_server() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=""
    fi
}
trap stop_server EXIT

build() {
    if [ "${VR_DEMO_BUILD:-1}" = 0 ]; then
        [ -x "$PUBLISH" ] || fail "$PUBLISH is missing (build it, or leave VR_DEMO_BUILD unset)"
        return
    fi
    bash scripts/setup.sh
    bash scripts/build.sh
}

# The operator's key, made once; keygen prints the public key on stdout and
# never overwrites a key file, so the line is kept beside the key.
make_key() {
    if [ ! -s "$KEY" ] || [ ! -s "$KEY.pub" ]; then
        mkdir -p "$KEY_DIR"
        rm -f "$KEY" "$KEY.pub"
        "$PUBLISH" keygen --out "$KEY" >"$KEY.pub" || fail "keygen failed"
    fi
    PUBLIC_KEY=$(head -n 1 "$KEY.pub")
    [ -n "$PUBLIC_KEY" ] || fail "keygen printed no public key"
    say "list key $KEY; public key $PUBLIC_KEY"
}

publish() {
    python3 scripts/demo/make-sample-game.py "$GAME_SRC"
    local summary
    summary=$("$PUBLISH" --game "$GAME_SRC" --out "$SERVED" --version "$VERSION" --maintenance off --prune \
        --sign "$KEY")
    echo "$summary"
    # A signed list is written anew each time: its serial grows.
    if grep -q "(0 compressed" <<<"$summary"; then
        say "publish is current: every object reused, the list signed again"
    fi
    "$PUBLISH" --verify "$SERVED" --key "$PUBLIC_KEY" >/dev/null \
        || fail "the published folder does not verify against the public key"
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

start_server() {
    PORT="${VR_DEMO_PORT:-$(free_port)}"
    mkdir -p "$STATE/logs" "$STATE/tmp"
    # Only a master started as root switches users; keep the workers ours.
    local user_line="# runs as the user who started it"
    [ "$(id -u)" = 0 ] && user_line="user $(id -un) $(id -gn);"
    sed -e "s|@USER_LINE@|$user_line|" -e "s|@STATE@|$STATE|g" -e "s|@ROOT@|$SERVED|g" \
        -e "s|@PORT@|$PORT|g" -e "s|@MAINT@|$MAINT_NAME|g" \
        scripts/demo/nginx.conf.in >"$STATE/nginx.conf"
    "$NGINX" -t -q -p "$STATE" -c "$STATE/nginx.conf" -e "$STATE/logs/error.log" || fail "nginx refused its configuration"
    "$NGINX" -p "$STATE" -c "$STATE/nginx.conf" -e "$STATE/logs/error.log" &
    NGINX_PID=$!
    BASE_URL="http://127.0.0.1:$PORT/"
    local i
    for i in $(seq 1 50); do
        curl -s -o /dev/null "$BASE_URL" && break
        kill -0 "$NGINX_PID" 2>/dev/null || fail "nginx stopped; see $STATE/logs/error.log"
        sleep 0.1
    done
    say "patch server on $BASE_URL (nginx pid $NGINX_PID)"
}

# What the launcher will rely on: status codes, bytes as published, no
# transfer compression on top of the gzip members.
check_server() {
    local tmp="$DEMO/check"
    rm -rf "$tmp" && mkdir -p "$tmp"

    curl -fsS -H 'Accept-Encoding: gzip' -D "$tmp/list.headers" -o "$tmp/list.txt.gz" "${BASE_URL}list.txt.gz" \
        || fail "list.txt.gz not served"
    cmp -s "$tmp/list.txt.gz" "$SERVED/list.txt.gz" || fail "list.txt.gz differs from what was published"
    grep -qi '^content-encoding' "$tmp/list.headers" && fail "the server added a Content-Encoding"
    gzip -dc "$tmp/list.txt.gz" >"$tmp/list.txt" || fail "list.txt.gz is not gzip"
    [ "$(head -n 1 "$tmp/list.txt")" = "v $VERSION" ] || fail "the list does not start with v $VERSION"
    grep -q '^#sig ' "$tmp/list.txt" || fail "the served list is not signed"

    # One object with blanks and non-ASCII letters, asked for the way the
    # launcher asks: UTF-8, percent-encoded, '/' kept.
    local rel="Data/Lieder/Überfahrt nach Nordheim.ogg"
    local url="$BASE_URL$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe="/-._~"))' "$rel.gz")"
    curl -fsS -o "$tmp/object.gz" "$url" || fail "$rel.gz not served"
    cmp -s "$tmp/object.gz" "$SERVED/$rel.gz" || fail "$rel.gz differs from what was published"
    gzip -dc "$tmp/object.gz" | cmp -s - "$GAME_SRC/$rel" || fail "$rel.gz does not inflate to the game file"

    local code
    code=$(curl -s -o /dev/null -w '%{http_code}' "${BASE_URL}no/such/file.gz")
    [ "$code" = 404 ] || fail "a missing object answered $code, not 404"
    code=$(curl -s -o /dev/null -w '%{http_code}' "${BASE_URL}Data/")
    [ "$code" = 404 ] || fail "a folder answered $code, not 404"
    code=$(curl -s -o /dev/null -w '%{http_code}' "${BASE_URL}.veltrune-publish-state")
    [ "$code" = 404 ] || fail "the publisher's state file is served"
    [ "$(curl -fsS "${BASE_URL}$MAINT_NAME")" = false ] || fail "the maintenance flag is not off"
    say "server checks passed: signed list and objects byte for byte, gzip round trip, 404s, flag off"
}

# The launcher under Wine patches an empty game folder from $BASE_URL: the
# real Veltrune.exe in a Wine prefix and Xvfb display of the demo's own, its
# main view linked through the fake WebView2 runtime to the real page in
# Chromium, which presses Play with two clients (scripts/demo/demo_launcher.mjs).
# On a machine with a display the page is a visible window there; without
# one it runs headless. Either way its screenshots land in build/demo/. A
# second run finds everything current. Exits non-zero when the patched
# folder differs from $GAME_SRC.
run_launcher() {
    local exe="$WIN_DIR/Veltrune.exe"
    local runtime="$WIN_DIR/tests/fakes/fake_webview2/runtime"
    local fake="$WIN_DIR/tests/fakes/fake_process/fake_process.exe"
    for f in "$exe" "$runtime/EBWebView/x64/EmbeddedBrowserWebView.dll" "$fake"; do
        [ -f "$f" ] || fail "$f is missing (build the Windows tree)"
    done
    # The player's own display, looked at before Wine gets its private one.
    local display=""
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then display="$DISPLAY"; fi
    rm -f "$DEMO"/*.png
    export WINEPREFIX="$DEMO/wineprefix"
    . scripts/wine-env.sh
    trap 'vr_wine_stop; stop_server' EXIT
    vr_wine_start
    local status=0
    VR_WIN_DIR="$WIN_DIR" VR_NATIVE_DIR="$NATIVE_DIR" node scripts/demo/demo_launcher.mjs --work "$DEMO/launcher" \
        --base-url "$BASE_URL" --list-key "$PUBLIC_KEY" --game-src "$GAME_SRC" --shots "$DEMO" \
        --display "$display" || status=$?
    vr_wine_stop
    trap stop_server EXIT
    [ "$status" = 0 ] || fail "the launcher step failed"
    say "launcher step passed: patched under Wine from the signed list, two clients started, second run current"
}

show_screenshots() {
    say "screenshots of the page:"
    ls -1 "$DEMO"/*.png
}

build
make_key
publish
start_server
check_server
run_launcher
stop_server
say "done"
show_screenshots

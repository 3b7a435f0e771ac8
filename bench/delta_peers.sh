#!/usr/bin/env bash
# Delta updates side by side: what each tool moves to turn v1 into v2 (2 GiB
# of game-archive-like data, scattered rewrites, an insertion, an append),
# over the same emulated long link (bench_link_proxy under Wine: 25 ms each
# way, 100 Mbit/s per connection each way) to the same nginx on 127.0.0.1.
# Also runs the chunk-parameter sweep on the same data first.
#
#   bash bench/delta_peers.sh [--no-sweep | --sweep-only] [--no-link] [--clean]
#
# --no-link runs the rows straight to nginx instead, to tell the link's cost
# from the tools' own work (bytes down are then nginx's body bytes, without
# headers).
#
# Environment: VR_BENCH_BUILD (Windows build folder, build/dev-bench),
# VR_BENCH_DATA (data, served folder, nginx state; build/bench-data),
# VR_BENCH_DELAY_MS (25), VR_BENCH_RATE (bytes/s, 12500000),
# VR_BENCH_PEERS (rows to run, in order; default below), VR_BENCH_PUBLISH
# (veltrune-publish for the launcher's row), VR_BENCH_V1_MIB
# (2048) and VR_BENCH_FRESH_MIB (1024) for a quick trial on less data.
# Data and prepared objects are kept for the next run; --clean deletes them.
#
# Each row is two functions: prepare_<peer> (untimed; serve what the tool
# needs under $WWW) and fetch_<peer> (timed; fetch through $LINK_URL and
# leave the rebuilt v2 at $RESULT). Add a peer by writing both and naming it
# in PEERS.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

BUILD="${VR_BENCH_BUILD:-build/dev-bench}"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
DATA_ROOT="${VR_BENCH_DATA:-$ROOT/build/bench-data}"
DATA="$DATA_ROOT/data"    # v1.bin, v2.bin, fresh.bin
WWW="$DATA_ROOT/www"      # what nginx serves
STATE="$DATA_ROOT/nginx"  # nginx configuration, logs; the link's files
OUT="$DATA_ROOT/out"      # what the tools rebuild, deleted after the check
BIN="$DATA_ROOT/bin"      # the native generator and sweep
DELAY_MS="${VR_BENCH_DELAY_MS:-25}"
RATE="${VR_BENCH_RATE:-12500000}"
V1_MIB="${VR_BENCH_V1_MIB:-2048}"
FRESH_MIB="${VR_BENCH_FRESH_MIB:-1024}"
read -r -a PEERS <<<"${VR_BENCH_PEERS:-whole_gzip casync casync_1m zsync launcher}"
NGINX="$(command -v nginx || echo /usr/sbin/nginx)"

SWEEP=1 PEER_RUN=1 CLEAN=0 FRESH_RUN=0 NO_LINK=0
for arg in "$@"; do
    case "$arg" in
        --no-sweep) SWEEP=0 ;;
        --sweep-only) PEER_RUN=0 ;;
        --no-link) NO_LINK=1 ;;
        --clean) CLEAN=1 ;;
        --fresh) FRESH_RUN=1 ;;
        *) echo "usage: bash bench/delta_peers.sh [--no-sweep | --sweep-only] [--no-link] [--clean]" >&2; exit 2 ;;
    esac
done

# Every tool talks straight to 127.0.0.1.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost

say() { echo "== $*" >&2; }
fail() { echo "delta_peers: $*" >&2; exit 1; }
mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }
kib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1024 }'; }

# --- setup ---------------------------------------------------------------

install_tools() {
    local missing=0 t
    for t in casync zsync zsyncmake curl; do command -v "$t" >/dev/null || missing=1; done
    [ -x "$NGINX" ] || missing=1
    [ "$missing" = 0 ] && return
    say "installing the peers and nginx"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    $sudo apt-get update
    $sudo apt-get install -y casync zsync nginx curl
    NGINX="$(command -v nginx || echo /usr/sbin/nginx)"
}

build_native() {
    mkdir -p "$BIN"
    if [ ! -x "$BIN/gen_data" ] || [ bench/native/gen_data.cpp -nt "$BIN/gen_data" ]; then
        g++ -O2 -std=c++20 -o "$BIN/gen_data" bench/native/gen_data.cpp
    fi
    local src
    for src in bench/native/chunk_sweep.cpp src/patcher/chunker.cpp src/patcher/chunk_index.cpp; do
        if [ ! -x "$BIN/chunk_sweep" ] || [ "$src" -nt "$BIN/chunk_sweep" ]; then
            g++ -O2 -std=c++20 -I src -o "$BIN/chunk_sweep" bench/native/chunk_sweep.cpp \
                src/patcher/chunker.cpp src/patcher/chunk_index.cpp -lcrypto -lz -lpthread
            break
        fi
    done
}

build_link() {
    [ -f "$BUILD/build.ninja" ] || cmake --preset windows -B "$BUILD" >/dev/null
    cmake --build "$BUILD" -j 2 --target bench_link_proxy >/dev/null
    LINK_EXE="$BUILD/bench/bench_link_proxy.exe"
}

# The data is regenerated only when the generator changes.
make_data() {
    local stamp
    stamp="$(sha256sum bench/native/gen_data.cpp | cut -c1-16) $V1_MIB $FRESH_MIB"
    DATA_STAMP="$stamp"
    [ "$(cat "$DATA/.stamp" 2>/dev/null)" = "$stamp" ] && return
    say "generating v1 ($V1_MIB MiB), v2 and fresh ($FRESH_MIB MiB) in $DATA"
    rm -rf "$DATA" "$WWW"
    mkdir -p "$DATA"
    "$BIN/gen_data" "$DATA" "$V1_MIB" "$FRESH_MIB" | tee "$DATA/edits.txt"
    echo "$stamp" >"$DATA/.stamp"
}

# True when prepare_$1 already ran for this data; marks it done otherwise
# (call `prepared NAME && return` at the top, `mark_prepared NAME` at the end).
prepared() { [ "$(cat "$WWW/.prepared-$1" 2>/dev/null)" = "$DATA_STAMP" ]; }
mark_prepared() { echo "$DATA_STAMP" >"$WWW/.prepared-$1"; }

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

NGINX_PID=""
start_nginx() {
    NGINX_PORT=$(free_port)
    rm -rf "$STATE"
    mkdir -p "$STATE/logs" "$STATE/tmp"
    local user_line="# runs as the user who started it"
    [ "$(id -u)" = 0 ] && user_line="user $(id -un) $(id -gn);"
    sed -e "s|@USER_LINE@|$user_line|" -e "s|@STATE@|$STATE|g" -e "s|@ROOT@|$WWW|g" -e "s|@PORT@|$NGINX_PORT|g" \
        bench/delta_nginx.conf.in >"$STATE/nginx.conf"
    "$NGINX" -t -q -p "$STATE" -c "$STATE/nginx.conf" -e "$STATE/logs/error.log" || fail "nginx refused its configuration"
    "$NGINX" -p "$STATE" -c "$STATE/nginx.conf" -e "$STATE/logs/error.log" &
    NGINX_PID=$!
    local i
    for i in $(seq 1 50); do
        curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/" && return
        kill -0 "$NGINX_PID" 2>/dev/null || fail "nginx stopped; see $STATE/logs/error.log"
        sleep 0.1
    done
    fail "nginx does not answer on port $NGINX_PORT"
}

stop_nginx() {
    [ -n "$NGINX_PID" ] || return 0
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    NGINX_PID=""
}

# --- the link --------------------------------------------------------------

LINK_PID=""
# A fresh proxy per row, so its counters are that row's alone.
link_start() {
    rm -f "$STATE/link.ctl" "$STATE/link.out"
    mkfifo "$STATE/link.ctl"
    wine "$LINK_EXE" "$NGINX_PORT" "$DELAY_MS" "$RATE" <"$STATE/link.ctl" >"$STATE/link.out" 2>&1 &
    LINK_PID=$!
    exec 7>"$STATE/link.ctl"
    local i port=""
    for i in $(seq 1 600); do
        port=$(sed -n 's/^port \([0-9]*\).*/\1/p' "$STATE/link.out" | tr -d '\r')
        [ -n "$port" ] && break
        kill -0 "$LINK_PID" 2>/dev/null || fail "the link proxy stopped: $(cat "$STATE/link.out")"
        sleep 0.1
    done
    [ -n "$port" ] || fail "the link proxy did not start"
    LINK_URL="http://127.0.0.1:$port/"
}

# Sets LINK_UP, LINK_DOWN (bytes) and LINK_CONNS.
link_stop() {
    echo quit >&7 || true
    exec 7>&-
    local i line=""
    for i in $(seq 1 300); do
        # Wine writes the program's line ends as CR LF.
        line=$(grep '^final ' "$STATE/link.out" | tr -d '\r' || true)
        [ -n "$line" ] && break
        sleep 0.1
    done
    wait "$LINK_PID" 2>/dev/null || true
    LINK_PID=""
    [ -n "$line" ] || fail "the link proxy gave no counts: $(cat "$STATE/link.out")"
    read -r _ _ _ LINK_UP _ LINK_DOWN _ LINK_CONNS <<<"$line"
}

# --- peers ---------------------------------------------------------------
# prepare_X: untimed, serve what X needs under $WWW. fetch_X: timed, rebuild
# v2 at $RESULT through $LINK_URL with v1 at $DATA/v1.bin as the old copy.

# No delta: the whole v2 as one gzip -6 object, inflated as it arrives.
prepare_whole_gzip() {
    prepared whole_gzip && return
    gzip -6 -n -c "$DATA/v2.bin" >"$WWW/v2.bin.gz"
    mark_prepared whole_gzip
}
fetch_whole_gzip() {
    curl -sS --fail "${LINK_URL}v2.bin.gz" | gzip -dc >"$RESULT"
}

# casync with its defaults (64 KiB average chunks, zstd), chunk store over HTTP.
casync_make() {  # folder, extra casync options...
    local dir="$WWW/$1"
    shift
    rm -rf "$dir"
    mkdir -p "$dir"
    casync make "$@" --store="$dir/default.castr" "$dir/v2.caibx" "$DATA/v2.bin" >/dev/null
}
casync_fetch() {  # folder
    casync extract --store="${LINK_URL}$1/default.castr" --seed="$DATA/v1.bin" --seed-output=no \
        "${LINK_URL}$1/v2.caibx" "$RESULT"
}
prepare_casync() {
    prepared casync && return
    casync_make casync
    mark_prepared casync
}
fetch_casync() { casync_fetch casync; }

# casync at this launcher's chunk sizes (256 KiB / 1 MiB / 4 MiB) and gzip,
# to separate the effect of chunk size from the tool.
prepare_casync_1m() {
    prepared casync_1m && return
    casync_make casync-1m --chunk-size=262144:1048576:4194304 --compression=gzip
    mark_prepared casync_1m
}
fetch_casync_1m() { casync_fetch casync-1m; }

# zsync: v2 served whole, its block checksums in a .zsync control file; the
# client finds the blocks it has in v1 and fetches the rest by Range.
prepare_zsync() {
    prepared zsync && return
    rm -rf "$WWW/zsync"
    mkdir -p "$WWW/zsync"
    ln "$DATA/v2.bin" "$WWW/zsync/v2.bin" 2>/dev/null || cp "$DATA/v2.bin" "$WWW/zsync/v2.bin"
    (cd "$WWW/zsync" && zsyncmake -o v2.bin.zsync -u v2.bin v2.bin)
    mark_prepared zsync
}
fetch_zsync() {
    # zsync works in the output's folder and keeps the old output as .zs-old.
    (cd "$OUT" && zsync -q -i "$DATA/v1.bin" -o "$RESULT" "${LINK_URL}zsync/v2.bin.zsync")
    rm -f "$RESULT.zs-old"
}

# This launcher: not wired yet. The row expects a Windows bench program,
# $BUILD/bench/bench_delta_update.exe BASE_URL GAME_DIR, that runs the
# patcher against veltrune-publish's output under $WWW/veltrune/ (v2.bin
# published as Data/archive.bin; the patcher takes runs of missing chunks
# from its whole-file object by Range, which this nginx serves) with
# GAME_DIR holding a copy of v1 at that name, and exits 0 once the file is
# v2. Until then the row says so.
LAUNCHER_EXE="$BUILD/bench/bench_delta_update.exe"
PUBLISH="${VR_BENCH_PUBLISH:-$ROOT/build/native/tools/publish/veltrune-publish}"
prepare_launcher() {
    mkdir -p "$DATA_ROOT/game-v2/Data"
    ln -f "$DATA/v2.bin" "$DATA_ROOT/game-v2/Data/archive.bin"
    # Every run: the tool rewrites only what changed, and a newer tool may
    # publish differently from the one that ran last time.
    "$PUBLISH" --game "$DATA_ROOT/game-v2" --out "$WWW/veltrune" --version 2 --maintenance off >&2
}
fetch_launcher() {
    # The launcher updates in place, so it gets a copy of v1 (made untimed
    # by setup_launcher).
    wine "$LAUNCHER_EXE" "${LINK_URL}veltrune/" "$(winepath -w "$OUT/launcher-game")"
}
setup_launcher() {
    rm -rf "$OUT/launcher-game"
    mkdir -p "$OUT/launcher-game/Data"
    cp "$DATA/v1.bin" "$OUT/launcher-game/Data/archive.bin"
    # A player's old copy is not freshly written: without this the pass
    # would wait for the copy's 2 GiB to reach the disk.
    sync
    RESULT="$OUT/launcher-game/Data/archive.bin"
}

# --- the launcher on a fresh file: one connection against six, and a pass
# killed part-way (TerminateProcess) and resumed --------------------------
prepare_fresh() {
    prepared fresh && return
    rm -rf "$DATA_ROOT/game-fresh" "$WWW/veltrune-fresh"
    mkdir -p "$DATA_ROOT/game-fresh/Data"
    ln "$DATA/fresh.bin" "$DATA_ROOT/game-fresh/Data/fresh.bin"
    "$PUBLISH" --game "$DATA_ROOT/game-fresh" --out "$WWW/veltrune-fresh" --version 2 --maintenance off >&2
    mark_prepared fresh
}

FRESH_ROWS=()
run_fresh() {  # label, then bench_delta_update's options
    local label="$1"
    shift
    rm -rf "$OUT"
    mkdir -p "$OUT/fresh-game"
    sync
    link_start
    say "fresh $label: fetching through $LINK_URL"
    local t0 t1 rc=0 log="$STATE/fresh-$label.log"
    t0=$(date +%s.%N)
    wine "$LAUNCHER_EXE" "${LINK_URL}veltrune-fresh/" "$(winepath -w "$OUT/fresh-game")" "$@" >"$log" 2>&1 || rc=$?
    t1=$(date +%s.%N)
    link_stop
    local seconds result resumed
    seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
    if [ "$rc" != 0 ]; then
        result="failed (exit $rc; see $log)"
    elif cmp -s "$OUT/fresh-game/Data/fresh.bin" "$DATA/fresh.bin"; then
        result="ok, identical"
    else
        result="WRONG: differs"
    fi
    # The resumed pass's own bytes on the wire, from the program's report.
    resumed=$(tr -d '\r' <"$log" | sed -n 's/^resumed pass: .*, \([0-9.]*\) MiB received.*/\1/p')
    FRESH_ROWS+=("$(printf '%-22s %10s %9s %9s  %s%s' "$label" "$(mib "$LINK_DOWN")" "$seconds" \
        "$(awk -v b="$LINK_DOWN" -v s="$seconds" 'BEGIN { printf "%.1f", b / 1048576 / s }')" "$result" \
        "${resumed:+; resumed pass $resumed MiB = $(awk -v r="$resumed" -v g="$FRESH_GZ" 'BEGIN { printf "%.1f", 100 * r * 1048576 / g }') % of the object}")")
    say "fresh $label: $seconds s; $result"
    tr -d '\r' <"$log" | grep -E '^(killed|resumed|pass)' >&2 || true
    rm -rf "$OUT"
}

# --- running and reporting --------------------------------------------------

ROWS=()
row() {  # peer, down bytes, up bytes, connections, requests, seconds, result
    local share
    share=$(awk -v d="$2" -v w="$GZ_SIZE" 'BEGIN { if (d == "-") print "-"; else printf "%.2f%%", 100 * d / w }')
    ROWS+=("$(printf '%-12s %12s %10s %9s %6s %9s %9s  %s' "$1" \
        "$([ "$2" = - ] && echo - || mib "$2")" "$([ "$3" = - ] && echo - || kib "$3")" "$share" "$4" "$5" "$6" "$7")")
}

run_peer() {
    local peer="$1"
    if [ "$peer" = launcher ] && [ ! -f "$LAUNCHER_EXE" ]; then
        row launcher - - - - - "to be measured"
        return
    fi
    say "$peer: preparing"
    "prepare_$peer"
    rm -rf "$OUT"
    mkdir -p "$OUT"
    RESULT="$OUT/$peer.bin"
    if declare -F "setup_$peer" >/dev/null; then "setup_$peer"; fi
    local before
    before=$(wc -l <"$STATE/logs/access.log")
    if [ "$NO_LINK" = 1 ]; then
        LINK_URL="http://127.0.0.1:$NGINX_PORT/"
    else
        link_start
    fi
    # Every row starts with the earlier rows' writes on disk, so none pays
    # for another's.
    sync
    say "$peer: fetching through $LINK_URL"
    local t0 t1 rc=0
    t0=$(date +%s.%N)
    "fetch_$peer" >"$STATE/$peer.log" 2>&1 || rc=$?
    t1=$(date +%s.%N)
    if [ "$NO_LINK" = 1 ]; then
        LINK_DOWN=$(tail -n "+$((before + 1))" "$STATE/logs/access.log" | awk '{ s += $6 } END { print s + 0 }')
        LINK_UP=- LINK_CONNS=-
    else
        link_stop
    fi
    local requests result seconds
    requests=$(($(wc -l <"$STATE/logs/access.log") - before))
    seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
    if [ "$rc" != 0 ]; then
        result="failed (exit $rc; see $STATE/$peer.log)"
    elif cmp -s "$RESULT" "$DATA/v2.bin"; then
        result="ok, identical to v2"
    else
        result="WRONG: the result differs from v2"
    fi
    row "$peer" "$LINK_DOWN" "$LINK_UP" "$LINK_CONNS" "$requests" "$seconds" "$result"
    say "$peer: $seconds s, $(mib "$LINK_DOWN") MiB down; $result"
    rm -rf "$OUT"
}

# Wine and nginx, once for every row of the run (the peer table and the
# fresh-file runs share them).
SERVICES=0
start_services() {
    [ "$SERVICES" = 1 ] && return
    export WINEPREFIX="$BUILD/wineprefix"
    . scripts/wine-env.sh
    vr_wine_start
    start_nginx
    SERVICES=1
}

cleanup() {
    if [ -n "$LINK_PID" ]; then
        exec 7>&- 2>/dev/null || true
        kill "$LINK_PID" 2>/dev/null || true
    fi
    stop_nginx
    if declare -F vr_wine_stop >/dev/null; then vr_wine_stop; fi
}
trap cleanup EXIT

install_tools
build_native
make_data

if [ "$SWEEP" = 1 ]; then
    say "chunk-parameter sweep"
    "$BIN/chunk_sweep" "$DATA/v1.bin" "$DATA/v2.bin" "$DATA/fresh.bin" | tee "$DATA_ROOT/sweep.txt"
fi

if [ "$PEER_RUN" = 1 ]; then
    build_link
    mkdir -p "$WWW"
    prepare_whole_gzip
    GZ_SIZE=$(stat -c %s "$WWW/v2.bin.gz")
    start_services
    for peer in "${PEERS[@]}"; do run_peer "$peer"; done
    {
        echo
        if [ "$NO_LINK" = 1 ]; then
            echo "v1 -> v2 straight to nginx on 127.0.0.1, no link (down: body bytes only)"
        else
            echo "v1 -> v2 over the link: ${DELAY_MS} ms each way, $RATE bytes/s per connection each way"
        fi
        echo "v2 $(mib "$(stat -c %s "$DATA/v2.bin")") MiB; whole v2 gzip -6 $(mib "$GZ_SIZE") MiB"
        printf '%-12s %12s %10s %9s %6s %9s %9s  %s\n' peer "down MiB" "up KiB" "of v2.gz" conns requests seconds result
        printf '%s\n' "${ROWS[@]}"
    } | tee "$DATA_ROOT/peers$([ "$NO_LINK" = 1 ] && echo -nolink).txt"
fi

if [ "$FRESH_RUN" = 1 ]; then
    [ -f "$LAUNCHER_EXE" ] || fail "no $LAUNCHER_EXE: build the target bench_delta_update first"
    build_link
    mkdir -p "$WWW"
    prepare_fresh
    FRESH_GZ=$(stat -c %s "$WWW/veltrune-fresh/Data/fresh.bin.gz")
    start_services
    run_fresh "one connection" --connections 1
    run_fresh "six connections" --connections 6
    run_fresh "killed at 60 %, resumed" --connections 6 --kill-at 0.6
    {
        echo
        echo "fresh $(mib "$(stat -c %s "$DATA/fresh.bin")") MiB file (whole object $(mib "$FRESH_GZ") MiB) over the link: ${DELAY_MS} ms each way, $RATE bytes/s per connection"
        printf '%-22s %10s %9s %9s  %s\n' run "down MiB" seconds "MiB/s" result
        printf '%s\n' "${FRESH_ROWS[@]}"
    } | tee "$DATA_ROOT/fresh.txt"
fi

if [ "$CLEAN" = 1 ]; then
    cleanup
    trap - EXIT
    rm -rf "$DATA_ROOT"
fi

#!/bin/sh
# ctest fixture clean-up: stops the server tls_setup.sh started. Usage: tls_cleanup.sh DIR
dir="$1"
if [ -f "$dir/pid" ]; then
  pid="$(cat "$dir/pid")"
  # Only if that process is still our server, not a later one with the same id.
  if grep -qa tls_server.py "/proc/$pid/cmdline" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  rm -f "$dir/pid"
fi

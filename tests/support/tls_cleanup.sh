#!/bin/sh
# ctest fixture clean-up: stops the server tls_setup.sh started. Usage: tls_cleanup.sh DIR
dir="$1"
if [ -f "$dir/pid" ]; then
  kill "$(cat "$dir/pid")" 2>/dev/null || true
  rm -f "$dir/pid"
fi

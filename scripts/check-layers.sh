#!/usr/bin/env bash
# Layering check: a source file under src/ may include headers of its own
# layer and of the layers below it, never of a layer above. patcher and game
# share one level and stay apart. Exits non-zero and names every offending
# include.
#   text < platform < net < patcher, game < webview2 < host < bridge < app
set -uo pipefail
cd "$(dirname "$0")/.."

declare -A rank=([text]=0 [platform]=1 [net]=2 [patcher]=3 [game]=3 [webview2]=4 [host]=5 [bridge]=6 [app]=7)

status=0
while IFS= read -r file; do
  layer="${file#src/}"
  layer="${layer%%/*}"
  if [ -z "${rank[$layer]+set}" ]; then
    echo "check-layers: $file is in src/$layer/, which is not a known layer" >&2
    status=1
    continue
  fi
  while IFS=: read -r line target; do
    used="${target%%/*}"
    [ -z "${rank[$used]+set}" ] && continue  # a system or generated header
    if [ "${rank[$used]}" -gt "${rank[$layer]}" ] ||
       { [ "${rank[$used]}" -eq "${rank[$layer]}" ] && [ "$used" != "$layer" ]; }; then
      echo "check-layers: $file:$line includes \"$target\": $layer may not use $used" >&2
      status=1
    fi
  done < <(grep -n -o '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*"' "$file" |
           sed -E 's/^([0-9]+):.*"([^"]*)"$/\1:\2/')
done < <(find src -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' -o -name '*.rc' \) | sort)

if [ $status -eq 0 ]; then echo "check-layers: every include under src/ respects the layer order"; fi
exit $status

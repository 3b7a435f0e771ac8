#!/bin/sh
# ctest fixture, run natively: a tiny real file system for the full-disk
# tests, reached from Wine through the Z: drive.
#   DIR/full      a 4 MiB tmpfs (a full disk is a few MiB away)
# Mounting needs root; without it DIR/mounted is absent and those tests skip.
# Usage: small_disks.sh mount|umount DIR
set -u
action="$1"
dir="$2"
unmount() {
  for m in "$dir/full" "$dir/readonly"; do  # readonly: left by older builds
    if mountpoint -q "$m" 2>/dev/null; then umount "$m"; fi
  done
  rm -f "$dir/mounted"
}
case "$action" in
  mount)
    unmount  # left over from an interrupted run
    mkdir -p "$dir/full"
    if mount -t tmpfs -o size=4m,mode=0777 tmpfs "$dir/full" 2>/dev/null; then
      touch "$dir/mounted"
      echo "small disk mounted under $dir"
    else
      unmount
      echo "small disk not mounted (needs root); the tests that use it skip"
    fi
    ;;
  umount) unmount ;;
  *) echo "usage: $0 mount|umount DIR" >&2; exit 2 ;;
esac
exit 0

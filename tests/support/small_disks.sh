#!/bin/sh
# ctest fixture, run natively: two tiny real file systems for the local write
# failure tests, reached from Wine through the Z: drive.
#   DIR/full      a 4 MiB tmpfs (a full disk is a few MiB away)
#   DIR/readonly  a read-only tmpfs (no file can be created in it)
# Mounting needs root; without it DIR/mounted is absent and those tests skip.
# Usage: small_disks.sh mount|umount DIR
set -u
action="$1"
dir="$2"
unmount() {
  for m in "$dir/full" "$dir/readonly"; do
    if mountpoint -q "$m" 2>/dev/null; then umount "$m"; fi
  done
  rm -f "$dir/mounted"
}
case "$action" in
  mount)
    unmount  # left over from an interrupted run
    mkdir -p "$dir/full" "$dir/readonly"
    if mount -t tmpfs -o size=4m,mode=0777 tmpfs "$dir/full" 2>/dev/null &&
       mount -t tmpfs -o ro,size=64k,mode=0777 tmpfs "$dir/readonly" 2>/dev/null; then
      touch "$dir/mounted"
      echo "small disks mounted under $dir"
    else
      unmount
      echo "small disks not mounted (needs root); the tests that use them skip"
    fi
    ;;
  umount) unmount ;;
  *) echo "usage: $0 mount|umount DIR" >&2; exit 2 ;;
esac
exit 0

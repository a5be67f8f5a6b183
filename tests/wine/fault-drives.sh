#!/usr/bin/env bash
# Maps Wine drives that fail as real disks do, for the extraction tests (root needed for
# mount; without it the drives are missing and those tests skip):
#   X:  a 64 KiB tmpfs: writes beyond it fail with a full disk
#   R:  a read-only tmpfs holding an empty directory R:\target
#   S:  a plain scratch directory, to stand as a current drive
# "cleanup" unmounts and unmaps them again.
set -uo pipefail
source "$(dirname "$0")/wine-env.sh"
drives=$(dirname "$WINEPREFIX")/wine-drives
dosdevices=$WINEPREFIX/dosdevices

cleanup() {
  for d in full readonly; do mountpoint -q "$drives/$d" && umount "$drives/$d"; done
  rm -f "$dosdevices/x:" "$dosdevices/r:" "$dosdevices/s:"
  rm -rf "$drives"
}

if [ "${1:-}" = cleanup ]; then cleanup; exit 0; fi

cleanup
mkdir -p "$drives/full" "$drives/readonly" "$drives/scratch"
if mount -t tmpfs -o size=64k tmpfs "$drives/full" 2>/dev/null; then
  ln -s "$drives/full" "$dosdevices/x:"
fi
if mount -t tmpfs -o size=64k tmpfs "$drives/readonly" 2>/dev/null; then
  mkdir "$drives/readonly/target"
  mount -o remount,ro "$drives/readonly"
  ln -s "$drives/readonly" "$dosdevices/r:"
fi
ln -s "$drives/scratch" "$dosdevices/s:"
ls -l "$dosdevices"

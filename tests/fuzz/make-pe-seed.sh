#!/usr/bin/env bash
# Writes pe-corpus/tiny-installer.exe, the PE locator fuzzer's seed: the smallest PE32 that
# carries an "ISDATA" RCDATA resource (the stored seed image) beside an icon group, in the
# shape of a real installer. Kept in the repository; run again only to change it.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'void start(void) {}\n' > "$work/start.c"
cat > "$work/seed.rc" <<RC
LANGUAGE 0x04, 0x02
ISDATA RCDATA "$PWD/corpus/stored-tree.img"
107 ICON "$PWD/../../resources/brenvelt.ico"
LANGUAGE 0x09, 0x01
1 24 "$PWD/../../resources/installer.manifest"
RC
i686-w64-mingw32-windres "$work/seed.rc" -O coff -o "$work/seed.res"
i686-w64-mingw32-gcc -Os -nostdlib -e _start -s -Wl,--no-insert-timestamp "$work/start.c" "$work/seed.res" \
  -o pe-corpus/tiny-installer.exe
ls -l pe-corpus/tiny-installer.exe

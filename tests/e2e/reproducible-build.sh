#!/usr/bin/env bash
# Two builds of the installer from two fresh clones of the committed tree, with the same
# SOURCE_DATE_EPOCH, must give the same bytes.
#   reproducible-build.sh SOURCE_DIR PACKER
set -euo pipefail
source_dir=$1 packer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOURCE_DATE_EPOCH=1700000000
for n in 1 2; do
  git clone -q "$source_dir" "$work/clone$n"
  [ "$n" = 2 ] && sleep 1  # different file times, clamped by SOURCE_DATE_EPOCH
  cmake -S "$work/clone$n" -B "$work/build$n" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/clone$n/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DBRENVELT_PACK="$packer" >/dev/null
  cmake --build "$work/build$n" --target BrenveltSetup >/dev/null
done
a=$work/build1/installer/BrenveltSetup.exe b=$work/build2/installer/BrenveltSetup.exe
sha256sum "$a" "$b" | sed "s|$work/||"
cmp "$a" "$b"
echo "reproducible: both builds are byte-identical"

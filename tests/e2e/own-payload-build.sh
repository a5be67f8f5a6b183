#!/usr/bin/env bash
# An installer built around the user's own payload, both ways: a directory is packed and
# embedded, and an image is embedded byte for byte even when verify refuses it.
#   own-payload-build.sh SOURCE_DIR PACKER
set -euo pipefail
source_dir=$1 packer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/app/bin"
printf 'MZ not really a program' > "$work/app/Brenvelt.exe"
printf '\xef\xbb\xbfnotice\r\n' > "$work/app/首次使用必看.txt"
printf 'own library' > "$work/app/bin/own.dll"
printf '\x14\x00\x00\x00\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0e' > "$work/hostile.img"

build() {  # build NAME CMAKE_OPTION: the installer of that build
  cmake -S "$source_dir" -B "$work/$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBRENVELT_PACK="$packer" "$2" >/dev/null
  cmake --build "$work/$1" --target BrenveltSetup >/dev/null
  echo "$work/$1/installer/BrenveltSetup.exe"
}

setup=$(build dir "-DBRENVELT_PAYLOAD_DIR=$work/app")
"$packer" verify "$setup"
listing=$("$packer" list "$setup")
for name in 'Brenvelt.exe' '首次使用必看.txt' 'bin\own.dll'; do
  grep -qF "$name" <<<"$listing" || { echo "missing from the installer: $name"; exit 1; }
done

setup=$(build image "-DBRENVELT_PAYLOAD_IMAGE=$work/hostile.img")
if "$packer" verify "$setup"; then echo "verify accepted a map that is not a permutation"; exit 1; fi
# The resource holds the 20 bytes exactly as given.
python3 -c 'import sys; sys.exit(open(sys.argv[1], "rb").read() not in open(sys.argv[2], "rb").read())' \
  "$work/hostile.img" "$setup" || { echo "image not embedded byte for byte"; exit 1; }
echo "own payloads: a directory is packed and embedded, an image embedded as it stands"

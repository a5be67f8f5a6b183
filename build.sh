#!/usr/bin/env bash
# Installs what the project needs (on Debian 12), builds the packer and the Windows
# programs, and leaves the user-facing outputs in dist/.
#
#   ./build.sh                        the installer of the bundled sample application
#   ./build.sh --payload DIR          an installer carrying the application in DIR
#   ./build.sh --payload-image FILE   an installer carrying FILE byte for byte, checked
#                                     or not (tests build hostile installers this way)
set -euo pipefail
cd "$(dirname "$0")"

usage() { sed -n '5,8p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
payload_dir="" payload_image=""
while [ $# -gt 0 ]; do
  case "$1" in
    --payload) [ $# -ge 2 ] || usage; payload_dir=$(realpath "$2"); shift 2 ;;
    --payload-image) [ $# -ge 2 ] || usage; payload_image=$(realpath "$2"); shift 2 ;;
    -h|--help) usage ;;
    *) echo "build.sh: unknown argument: $1" >&2; usage ;;
  esac
done
if [ -n "$payload_dir" ] && [ ! -d "$payload_dir" ]; then echo "build.sh: $payload_dir is not a directory" >&2; exit 2; fi
if [ -n "$payload_image" ] && [ ! -f "$payload_image" ]; then echo "build.sh: $payload_image is not a file" >&2; exit 2; fi

./scripts/setup.sh

cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset windows -DBRENVELT_PACK="$PWD/build/native/packer/brenvelt-pack" \
  -DBRENVELT_PAYLOAD_DIR="$payload_dir" -DBRENVELT_PAYLOAD_IMAGE="$payload_image" >/dev/null
cmake --build --preset windows

mkdir -p dist
strip -o dist/brenvelt-pack build/native/packer/brenvelt-pack
cp build/windows/installer/BrenveltSetup.exe dist/
echo "built: dist/brenvelt-pack, dist/BrenveltSetup.exe"

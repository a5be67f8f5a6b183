#!/usr/bin/env bash
# Installs what the project needs (on Debian 12), builds the packer and the Windows
# programs, and leaves the user-facing outputs in dist/.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh

cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset windows >/dev/null
cmake --build --preset windows

mkdir -p dist
cp build/native/packer/brenvelt-pack dist/
echo "built: $(ls dist | tr '\n' ' ')"

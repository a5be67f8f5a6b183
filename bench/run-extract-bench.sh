#!/usr/bin/env bash
# Extraction overhead under Wine: a synthetic ~6 MB payload, extracted by ExtractPayload
# and by the bare-calls baseline, alternately. Needs ./build.sh first.
#   bench/run-extract-bench.sh [RUNS]    (default 9)
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/wine/wine-env.sh
runs=${1:-9}
work=$(mktemp -d)
trap 'rm -rf "$work" "$WINEPREFIX/drive_c/brenvelt-bench"' EXIT
tests/wine/prepare-prefix.sh >/dev/null
python3 bench/make-synthetic-tree.py "$work/tree"
dist/brenvelt-pack pack "$work/tree" -o "$work/synthetic.img"
cp "$work/synthetic.img" "$WINEPREFIX/drive_c/synthetic.img"
rm -rf "$WINEPREFIX/drive_c/brenvelt-bench"
echo "command: wine build/windows/bench/extract_bench.exe C:\\synthetic.img C:\\brenvelt-bench $runs"
wine build/windows/bench/extract_bench.exe 'C:\synthetic.img' 'C:\brenvelt-bench' "$runs"
rm -f "$WINEPREFIX/drive_c/synthetic.img"

#!/usr/bin/env bash
# Creates the project's Wine prefix once (about 15 s); a later run finds it ready.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
if [ ! -f "$WINEPREFIX/.brenvelt-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i
  # .txt files open in notepad, as on a real desktop.
  wine reg add 'HKCR\.txt' /ve /d txtfile /f >/dev/null
  wineserver -w
  touch "$WINEPREFIX/.brenvelt-ready"
fi
echo "wine prefix ready: $WINEPREFIX"

#!/usr/bin/env bash
# Takes the README's screenshots under Xvfb: the prompt shown while Brenvelt runs, the
# error box of an installer whose payload is broken, and what a clean install opens. Needs ./build.sh first.
#   docs/take-screenshots.sh   -> docs/prompt.png, docs/error.png, docs/installed.png
set -euo pipefail
cd "$(dirname "$0")/.."
source tests/wine/wine-env.sh
tests/wine/prepare-prefix.sh >/dev/null
read_fd=$(mktemp -u)
Xvfb -displayfd 4 -noreset -screen 0 800x600x24 -nolisten tcp 4>"$read_fd.display" 2>/dev/null &
xvfb=$!
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true; rm -f "$read_fd.display"' EXIT
timeout 10 bash -c "until [ -s '$read_fd.display' ]; do sleep 0.1; done"
export DISPLAY=:$(cat "$read_fd.display")

# Chinese text needs a CJK font in place of the message font; Wine's own desktop window
# draws the boxes with their title bars, which a bare X server would not.
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Tahoma /d 'WenQuanYi Micro Hei' /f >/dev/null
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS Shell Dlg' /d 'WenQuanYi Micro Hei' /f >/dev/null

desktop() {  # desktop NAME PROGRAM...: runs PROGRAM inside a Wine desktop window
  local name=$1; shift
  wine explorer "/desktop=$name,560x220" "$@" >/dev/null 2>&1 &
  timeout 30 xdotool search --sync --name "^$name - Wine desktop\$" | head -n 1
}

shoot() {  # shoot DESKTOP_WINDOW OUTPUT
  sleep 4  # the box has no window of its own to wait for inside the desktop
  import -window "$1" "$2"
}

# The installer looks for the application's window on its own desktop: run both in one.
screen=$(desktop prompt build/windows/sample/Brenvelt.exe)
sleep 2
wine explorer /desktop=prompt,560x220 build/windows/installer/BrenveltSetup.exe >/dev/null 2>&1 &
shoot "$screen" docs/prompt.png
wineserver -k || true
wineserver -w || true

shoot "$(desktop error build/windows/tests/e2e/BrenveltSetup-truncated.exe)" docs/error.png
wineserver -k || true
wineserver -w || true

# A clean install: the notice in the text viewer, and the application behind it.
rm -rf "$WINEPREFIX/drive_c/ProgramData/Brenvelt"
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Lucida Console' /d 'WenQuanYi Micro Hei' /f >/dev/null
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v System /d 'WenQuanYi Micro Hei' /f >/dev/null
shoot "$(desktop installed build/windows/installer/BrenveltSetup.exe)" docs/installed.png
wineserver -k || true
rm -rf "$WINEPREFIX/drive_c/ProgramData/Brenvelt"
wine reg delete 'HKCU\Software\Brenvelt' /f >/dev/null 2>&1 || true
echo "wrote docs/prompt.png docs/error.png docs/installed.png"

# Sourced by the Wine helpers: the project's own prefix and quiet, offline Wine.
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=${BRENVELT_WINEPREFIX:-$repo_root/build/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
# Wine names Unix files in the locale's charset: without UTF-8, Chinese names cannot be made.
export LC_ALL=C.UTF-8

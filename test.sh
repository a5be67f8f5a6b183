#!/usr/bin/env bash
# Runs the whole test suite: native tests and fuzzing, then the Windows tests under Wine.
# Expects ./build.sh to have run.
set -euo pipefail
cd "$(dirname "$0")"
exec </dev/null  # the tests read no input, and a closed stdin would hand fd 0 to whatever opens next
status=0
ctest --preset native -j 2 || status=1
ctest --preset windows || status=1
exit $status

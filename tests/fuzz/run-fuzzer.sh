#!/usr/bin/env bash
# Runs a fuzz target from a committed seed corpus; new inputs go to a scratch corpus so
# the committed one stays small. Any finding fails the run, and its input is kept in
# build/fuzz-findings for a regression case.
#   run-fuzzer.sh FUZZER SEED_DIR [LIBFUZZER_OPTION ...]   e.g. -max_total_time=20 or -runs=N
set -euo pipefail
fuzzer=$1 seeds=$2
shift 2
findings=$(cd "$(dirname "$0")/../.." && pwd)/build/fuzz-findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" "$@" -print_final_stats=1 -artifact_prefix="$findings/" "$scratch" "$seeds" 2>&1 | tail -n 12

#!/usr/bin/env bash
# Runs a fuzz target for a bounded time from the committed seed corpus; new inputs go to
# a scratch corpus so the committed one stays small. Any finding fails the run.
set -euo pipefail
fuzzer=$1 corpus=$2 seconds=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/" \
  "$scratch" "$corpus" 2>&1 | tail -n 12

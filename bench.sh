#!/usr/bin/env bash
# Prints the figures we track: install time, stub size, payload size, packing time, peak
# memory, and long fuzzing runs. Needs ./build.sh first; takes a few minutes.
#   BENCH_RUNS=N ./bench.sh    (default 7 runs per timed figure)
set -euo pipefail
cd "$(dirname "$0")"
exec /usr/bin/python3 -u bench/bench.py

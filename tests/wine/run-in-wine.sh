#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix, with its exit code.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
exec wine "$@"

#!/usr/bin/env bash
# The long soak (bench/tool/soak.cpp): 1,000 provisionings of the virtual
# token through the dialog's flows (every tenth an automatic write) and 100
# bulk runs of 10 lines, with the process's descriptors, threads, memory and
# shared-memory objects measured before, during and after, and every result
# row and log line counted. Prints the figures; exits non-zero when they are
# not flat or something is not accounted for.
#
#   scripts/soak.sh [--provisions N] [--bulk-runs M] [--bulk-lines L] [--auto-every K]
#
# CTest knows the same run as the test "tool_soak" (label "soak"), which the
# test presets leave out; a short version ("tool_soak_short", 50
# provisionings and 5 bulk runs) runs with the other pcscd tests.
#
# pcscd and the virtual tokens are started for the run and stopped after
# it, under the machine-wide pcscd lock (NORVIK_PCSCD_LOCK, default
# /tmp/norvik-pcscd.lock); a caller that already holds it sets
# NORVIK_PCSCD_LOCK_HELD=1.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default -j "${JOBS:-$(nproc)}" \
  --target provisor_soak Quillon norvik-sim norvik-simctl norvik-pcsc-wait >/dev/null

export NORVIK_BIN_DIR="$PWD/build/default/bin"
export PCSC_ENV_DIR="${PCSC_ENV_DIR:-$PWD/build/default/pcsc-soak}"
lock=(flock "${NORVIK_PCSCD_LOCK:-/tmp/norvik-pcscd.lock}")
[ -n "${NORVIK_PCSCD_LOCK_HELD:-}" ] && lock=()  # the caller holds it already
exec "${lock[@]}" bash -c '
  trap "bash scripts/pcsc-env.sh stop >/dev/null 2>&1" EXIT
  bash scripts/pcsc-env.sh start --sims 2 >/dev/null
  "$NORVIK_BIN_DIR/provisor_soak" --check "$@"
' soak "$@"

#!/usr/bin/env bash
# Builds the plain configuration and runs every benchmark. Those that need
# a reader get pcscd and the virtual token, started here and stopped again.
# Benchmarks print their own ratios; nothing here passes or fails on speed.
#
# There is one pcscd per machine: like scripts/soak.sh, the whole run holds
# the machine-wide pcscd lock (NORVIK_PCSCD_LOCK, default
# /tmp/norvik-pcscd.lock), so a soak or another bench waits instead of
# sharing the readers. A caller that already holds it sets
# NORVIK_PCSCD_LOCK_HELD=1.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${NORVIK_PCSCD_LOCK_HELD:-}" ]; then
  export NORVIK_PCSCD_LOCK_HELD=1
  exec flock "${NORVIK_PCSCD_LOCK:-/tmp/norvik-pcscd.lock}" bash "$0" "$@"
fi

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
BIN="$PWD/build/default/bin"

echo "== SM4 and MAC against OpenSSL =="
"$BIN/bench_crypto"
echo "== trace calls and ring throughput =="
"$BIN/bench_log"
echo "== one export against the PC/SC double =="
"$BIN/bench_export_double"
echo "== reading a 10,000-line bulk file =="
"$BIN/bulk_parse_bench"

export NORVIK_BIN_DIR="$BIN"
export PCSC_ENV_DIR="${PCSC_ENV_DIR:-/tmp/norvik-bench-$(id -u)}"
trap 'bash scripts/pcsc-env.sh stop || true' EXIT
bash scripts/pcsc-env.sh start --sims 2

echo "== APDU round trips through pcscd + vpcd + norvik-sim =="
"$BIN/sim_roundtrip_bench"
echo "== one export against the bare PC/SC sequence =="
"$BIN/bench_export_pcscd"
echo "== another user attacking the trace ring: extra time per library call (needs root) =="
"$BIN/bench_trace_attack"
echo "== provisioning one profile: library against replayed APDUs =="
"$BIN/quillon_provisioning_bench"
if [ -x "$BIN/bulk_run_bench" ]; then
  echo "== a 100-line bulk run: the import flow against the calls in a loop =="
  "$BIN/bulk_run_bench"
fi
if [ -x "$BIN/dialog_bench" ]; then
  echo "== a provisioning press in the dialog against its five library calls =="
  "$BIN/dialog_bench" provision 30
  echo "== the idle dialog: CPU and UI lateness, ${DIALOG_IDLE_SECONDS:=60} s =="
  "$BIN/dialog_bench" idle "$DIALOG_IDLE_SECONDS"
fi
if [ -x "$BIN/keyloom_bench" ]; then
  echo "== keyloom: --all-readers on two tokens, and what --verify costs =="
  "$BIN/keyloom_bench"
fi
if [ -x "$BIN/reader_events_bench" ]; then
  echo "== the reader event watcher on two readers: insertion to event, idle processor time =="
  "$BIN/reader_events_bench"
fi

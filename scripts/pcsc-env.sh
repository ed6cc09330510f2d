#!/usr/bin/env bash
# Starts and stops the PC/SC test environment: pcscd (with the vpcd reader
# driver) and norvik-sim instances, one per virtual reader.
#
#   pcsc-env.sh start [--sims N]     pcscd (reused when one already answers)
#                                    plus N simulators (default 2)
#   pcsc-env.sh stop                 stops exactly what "start" started
#   pcsc-env.sh status
#   pcsc-env.sh sim-start IDX [norvik-sim options...]   (re)start one simulator
#   pcsc-env.sh sim-stop IDX
#
# Simulator IDX serves reader "Virtual PCD 00 0IDX" on port 35963+IDX, with
# control socket $PCSC_ENV_DIR/simIDX.sock and state file simIDX.state.
# Defaults: sim 0 is the 100-profile model with screen lock (serial
# NV2A00000001); sim 1 the older 50-profile model without screen lock
# (serial NV1B00000002). Extra options after "sim-start IDX" replace them.
#
# Environment:
#   PCSC_ENV_DIR    where pid files, logs, sockets and state live
#                   (default /tmp/pcsc-env-$UID)
#   NORVIK_BIN_DIR  directory holding norvik-sim and norvik-pcsc-wait
#                   (default: found on PATH, else build/default/bin)
#   PCSCD_APDU_LOG  set to 1 to have pcscd log every APDU (-a)
set -euo pipefail

ENV_DIR=${PCSC_ENV_DIR:-/tmp/pcsc-env-$(id -u)}
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$ENV_DIR"

find_bin() {
  local name=$1
  if [ -n "${NORVIK_BIN_DIR:-}" ] && [ -x "$NORVIK_BIN_DIR/$name" ]; then
    echo "$NORVIK_BIN_DIR/$name"
  elif command -v "$name" >/dev/null 2>&1; then
    command -v "$name"
  elif [ -x "$REPO/build/default/bin/$name" ]; then
    echo "$REPO/build/default/bin/$name"
  else
    echo "pcsc-env: $name not found (set NORVIK_BIN_DIR)" >&2
    return 1
  fi
}

log() { echo "pcsc-env: $*" >&2; }

# Alive and really the program we started (pids get reused).
# Zombies count as gone: without an init that reaps, they linger.
pid_is() {
  local pid=$1 comm=$2 stat
  [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$comm" ] && [ "$(echo "${stat##*) }" | cut -d' ' -f1)" != Z ]
}

pcscd_answers() {
  "$(find_bin norvik-pcsc-wait)" --timeout "${1:-0.3}" 2>/dev/null
}

stop_pid() {
  local pidfile=$1 comm=$2 pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  if pid_is "$pid" "$comm"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      pid_is "$pid" "$comm" || break
      sleep 0.1
    done
    if pid_is "$pid" "$comm"; then
      log "$comm ($pid) ignores SIGTERM, sending SIGKILL"
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$pidfile"
}

start_pcscd() {
  if [ -f "$ENV_DIR/pcscd.pid" ] && pid_is "$(cat "$ENV_DIR/pcscd.pid")" pcscd; then
    log "pcscd already started by us (pid $(cat "$ENV_DIR/pcscd.pid"))"
    return 0
  fi
  rm -f "$ENV_DIR/pcscd.pid"
  if pcscd_answers 0.5; then
    log "reusing the pcscd that is already running"
    return 0
  fi
  if ps -C pcscd -o stat= 2>/dev/null | grep -qv '^Z'; then
    log "a pcscd process exists but does not answer; not starting a second one"
    return 1
  fi
  local args=(-f)
  [ "${PCSCD_APDU_LOG:-0}" = 1 ] && args+=(-a)
  # Detached and with its own stdio so that callers waiting on our output
  # (CTest fixtures) are not held up by the daemon.
  setsid pcscd "${args[@]}" </dev/null >"$ENV_DIR/pcscd.log" 2>&1 &
  echo $! >"$ENV_DIR/pcscd.pid"
  if ! pcscd_answers 10; then
    log "pcscd did not come up; see $ENV_DIR/pcscd.log"
    stop_pid "$ENV_DIR/pcscd.pid" pcscd
    return 1
  fi
  log "pcscd started (pid $(cat "$ENV_DIR/pcscd.pid"))"
}

default_sim_args() {
  case $1 in
    0) echo "--serial NV2A00000001 --model 100" ;;
    1) echo "--serial NV1B00000002 --model 50-nolock" ;;
    *) echo "--serial NV2A0000000$(( $1 + 1 )) --model 100" ;;
  esac
}

sim_start() {
  local idx=$1; shift
  if ! [[ $idx =~ ^[0-9]$ ]]; then log "simulator index must be 0-9"; return 1; fi
  local port=$((35963 + idx)) reader="Virtual PCD 00 0$idx"
  local args
  if [ $# -gt 0 ]; then args=("$@"); else read -r -a args <<<"$(default_sim_args "$idx")"; fi
  stop_pid "$ENV_DIR/sim$idx.pid" norvik-sim
  rm -f "$ENV_DIR/sim$idx.state"
  setsid "$(find_bin norvik-sim)" --port "$port" --control "$ENV_DIR/sim$idx.sock" \
    --state "$ENV_DIR/sim$idx.state" "${args[@]}" </dev/null >"$ENV_DIR/sim$idx.log" 2>&1 &
  echo $! >"$ENV_DIR/sim$idx.pid"
  if ! "$(find_bin norvik-pcsc-wait)" --timeout 15 --reader "$reader" --card; then
    log "simulator $idx did not show up in \"$reader\"; see $ENV_DIR/sim$idx.log"
    return 1
  fi
  log "simulator $idx (pid $(cat "$ENV_DIR/sim$idx.pid")) in \"$reader\""
}

sim_stop() {
  stop_pid "$ENV_DIR/sim$1.pid" norvik-sim
  rm -f "$ENV_DIR/sim$1.sock"
}

cmd=${1:-status}
shift || true
case $cmd in
  start)
    sims=2
    while [ $# -gt 0 ]; do
      case $1 in
        --sims) sims=$2; shift 2 ;;
        *) log "unknown option $1"; exit 2 ;;
      esac
    done
    start_pcscd
    for ((i = 0; i < sims; i++)); do sim_start "$i"; done
    ;;
  stop)
    for f in "$ENV_DIR"/sim*.pid; do
      [ -e "$f" ] || continue
      idx=${f##*/sim}; idx=${idx%.pid}
      sim_stop "$idx"
    done
    if [ -f "$ENV_DIR/pcscd.pid" ]; then
      stop_pid "$ENV_DIR/pcscd.pid" pcscd
      log "pcscd stopped"
    fi
    ;;
  status)
    if [ -f "$ENV_DIR/pcscd.pid" ] && pid_is "$(cat "$ENV_DIR/pcscd.pid")" pcscd; then
      echo "pcscd: running, started by us (pid $(cat "$ENV_DIR/pcscd.pid"))"
    elif pcscd_answers; then
      echo "pcscd: running, not ours"
    else
      echo "pcscd: not running"
    fi
    for f in "$ENV_DIR"/sim*.pid; do
      [ -e "$f" ] || continue
      idx=${f##*/sim}; idx=${idx%.pid}
      if pid_is "$(cat "$f")" norvik-sim; then
        echo "sim $idx: running (pid $(cat "$f")), control $ENV_DIR/sim$idx.sock"
      else
        echo "sim $idx: not running (stale pid file)"
      fi
    done
    ;;
  sim-start) [ $# -ge 1 ] || { log "usage: sim-start IDX [options]"; exit 2; }; sim_start "$@" ;;
  sim-stop) [ $# -eq 1 ] || { log "usage: sim-stop IDX"; exit 2; }; sim_stop "$1" ;;
  *) sed -n '2,26p' "${BASH_SOURCE[0]}" >&2; exit 2 ;;
esac

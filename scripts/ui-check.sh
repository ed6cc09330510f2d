#!/usr/bin/env bash
# A user-level check of Provisor: the real window on a private X display,
# driven through the accessibility bus by scripts/ui_driver.py, against pcscd
# and one virtual token. Provisor runs from a copy of the build's bin
# directory in a temporary folder, so it starts as on a new machine (no
# Norvik2Cfg.ini) and asks for the access key first.
#
#   scripts/ui-check.sh            (after cmake --build --preset default)
#
# Environment:
#   NORVIK_BIN_DIR  the build's bin directory (default build/default/bin)
#   UI_CHECK_OUT    where the screenshots of every step go
#                   (default build/default/ui-check)
#
# Starts Xvfb, a D-Bus session with the accessibility bus, pcscd (unless one
# already answers) and the token, and stops exactly those on every way out.
# pcscd and the virtual reader ports are machine-wide, so the whole check
# holds the machine-wide pcscd lock (NORVIK_PCSCD_LOCK, default
# /tmp/norvik-pcscd.lock), as scripts/bench.sh and scripts/soak.sh do; a
# caller that already holds it (CTest run under the lock, as for every
# pcscd test) sets NORVIK_PCSCD_LOCK_HELD=1.
set -euo pipefail
if [ -z "${NORVIK_PCSCD_LOCK_HELD:-}" ]; then
  export NORVIK_PCSCD_LOCK_HELD=1
  exec flock "${NORVIK_PCSCD_LOCK:-/tmp/norvik-pcscd.lock}" bash "$0" "$@"
fi
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=$(cd "${NORVIK_BIN_DIR:-$REPO/build/default/bin}" && pwd)
OUT=${UI_CHECK_OUT:-$REPO/build/default/ui-check}

fail() { echo "ui-check: FAILED: $*" >&2; exit 1; }
for f in Provisor libQuillon.so norvik-sim norvik-pcsc-wait; do
  [ -e "$BIN/$f" ] || fail "$BIN/$f is missing; build first (cmake --build --preset default)"
done
for tool in Xvfb dbus-daemon dbus-send xdotool xclip oathtool import /usr/libexec/at-spi-bus-launcher; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done
/usr/bin/python3 -c 'import pyatspi, Xlib' 2>/dev/null || fail "python3-pyatspi or python3-xlib is missing; run scripts/install-deps.sh"

# shellcheck source=ui-session.sh
source "$REPO/scripts/ui-session.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ui-check.XXXXXX")
export PCSC_ENV_DIR="$WORK/pcsc"
export NORVIK_BIN_DIR="$BIN"
export UI_DRIVER_PID_FILE="$WORK/provisor.pid"
PCSC_STARTED=0
DRIVER_PID=""

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$DRIVER_PID" ]; then ui_stop_pids "$DRIVER_PID"; fi
  # A driver killed half-way leaves Provisor behind.
  if [ -f "$UI_DRIVER_PID_FILE" ]; then
    pid=$(cat "$UI_DRIVER_PID_FILE")
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Provisor ]; then ui_stop_pids "$pid"; fi
  fi
  if [ $PCSC_STARTED = 1 ]; then bash "$REPO/scripts/pcsc-env.sh" stop || true; fi
  ui_session_stop
  if [ $status = 0 ]; then
    rm -rf "$WORK"
  else
    echo "ui-check: logs kept in $WORK, screenshots in $OUT" >&2
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$SECONDS
mkdir -p "$OUT"
# Only the pictures and log of an earlier run: the folder may be anyone's.
rm -f "$OUT"/[0-9][0-9]-*.png "$OUT/provisor.log"

ui_session_start "$WORK/session" || fail "no X display / accessibility bus"
PCSC_STARTED=1
bash "$REPO/scripts/pcsc-env.sh" start --sims 1 || fail "pcscd or the virtual token did not start (see $PCSC_ENV_DIR)"

# The program as shipped, from the build's bin directory: the executable,
# its library and the QR helpers side by side, and nothing else (no
# configuration file, no log of an earlier run).
APP="$WORK/app"
mkdir -p "$APP"
cp -a "$BIN/Provisor" "$BIN"/libQuillon.so* "$BIN"/*.dll "$APP/"

# In the background so that a signal is acted on at once (bash runs traps
# only between foreground commands); `timeout` bounds the whole run even if
# the driver hangs somewhere its own time limits do not reach.
timeout 150 /usr/bin/python3 "$REPO/scripts/ui_driver.py" check --app-dir "$APP" --out "$OUT" &
DRIVER_PID=$!
driver_status=0
wait "$DRIVER_PID" || driver_status=$?
DRIVER_PID=""
[ $driver_status = 0 ] || fail "the driver reported a failure (status $driver_status; see above and $OUT)"
echo "ui-check: passed in $((SECONDS - started)) s; screenshots in $OUT"

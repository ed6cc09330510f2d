# Sourced by scripts that run the Provisor window without a desktop: a private
# X display (Xvfb), a D-Bus session bus and the accessibility (AT-SPI) bus on
# it, so a driver can find the window's controls by their accessible names.
#
#   ui_session_start DIR   starts them; DIR holds the fifos and logs. Exports
#                          DISPLAY, DBUS_SESSION_BUS_ADDRESS and the Qt
#                          settings that put widgets on the accessibility bus.
#   ui_session_stop        stops exactly what ui_session_start started (the
#                          bus daemons the session bus launched included);
#                          safe to call more than once and after a failed start.
#
# Every wait is on a condition with a time limit: Xvfb and dbus-daemon tell
# through a pipe when they are ready, the accessibility bus answers a call.

UI_SESSION_XVFB_PID=""
UI_SESSION_DBUS_PID=""
UI_SESSION_A11Y_ADDRESS=""

ui_log() { echo "ui-session: $*" >&2; }

# The pids of PID's descendants, deepest first, listed before any is killed:
# a killed parent would hand its children to init and hide them from us.
ui_descendants() {
  local child
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
    ui_descendants "$child"
    echo "$child"
  done
}

ui_alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  [ "$(echo "${stat##*) }" | cut -d' ' -f1)" != Z ]
}

# Stops the given pids: SIGTERM, up to 5 s, then SIGKILL.
ui_stop_pids() {
  local pid left
  [ $# -gt 0 ] || return 0
  kill -TERM "$@" 2>/dev/null || true
  for _ in $(seq 100); do
    left=0
    for pid in "$@"; do ui_alive "$pid" && left=1; done
    [ $left = 0 ] && return 0
    sleep 0.05
  done
  for pid in "$@"; do
    if ui_alive "$pid"; then
      ui_log "pid $pid ignores SIGTERM, sending SIGKILL"
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
}

# Reads one line from the fifo FILE within SECONDS; the writer is the daemon
# we just started, so end of file means it died.
ui_read_fifo() {
  local fifo=$1 seconds=$2 line=""
  exec {fd}<"$fifo"
  IFS= read -r -t "$seconds" -u "$fd" line || true
  exec {fd}<&-
  echo "$line"
}

ui_session_start() {
  local dir=$1
  mkdir -p "$dir"
  # The accessibility bus puts its socket there; private, so two sessions
  # never share one.
  export XDG_RUNTIME_DIR="$dir/runtime"
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
  rm -f "$dir/xvfb.fifo" "$dir/dbus.fifo"
  mkfifo "$dir/xvfb.fifo" "$dir/dbus.fifo"

  # -displayfd: Xvfb picks a free display itself and writes its number once
  # it accepts clients. 24 bits, so colour emoji keep their colours.
  Xvfb -displayfd 3 -screen 0 "${UI_SCREEN:-1280x1024x24}" -nolisten tcp -noreset \
    3>"$dir/xvfb.fifo" </dev/null >"$dir/xvfb.log" 2>&1 &
  UI_SESSION_XVFB_PID=$!
  local display
  display=$(ui_read_fifo "$dir/xvfb.fifo" 20)
  if ! [[ $display =~ ^[0-9]+$ ]]; then
    ui_log "Xvfb did not start; see $dir/xvfb.log"
    return 1
  fi
  export DISPLAY=":$display"
  unset WAYLAND_DISPLAY

  # The session bus starts the accessibility bus on demand (org.a11y.Bus);
  # both inherit DISPLAY from here.
  dbus-daemon --session --nofork --nopidfile --print-address=3 \
    3>"$dir/dbus.fifo" </dev/null >"$dir/dbus.log" 2>&1 &
  UI_SESSION_DBUS_PID=$!
  local address
  address=$(ui_read_fifo "$dir/dbus.fifo" 20)
  if [ -z "$address" ]; then
    ui_log "dbus-daemon did not start; see $dir/dbus.log"
    return 1
  fi
  export DBUS_SESSION_BUS_ADDRESS=$address
  # The call blocks until the launcher runs and its bus answers.
  local reply
  if ! reply=$(timeout 20 dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
      org.a11y.Bus.GetAddress 2>>"$dir/dbus.log"); then
    ui_log "the accessibility bus did not start; see $dir/dbus.log"
    return 1
  fi
  UI_SESSION_A11Y_ADDRESS=$(echo $reply)
  # Qt puts its widgets on the bus only when asked to.
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  export QT_QPA_PLATFORM=xcb
  # No desktop settings to pick a theme from: the plain Fusion style.
  export QT_STYLE_OVERRIDE=Fusion
  ui_log "display $DISPLAY, session bus and accessibility bus up"
}

# The pid of the process that owns NAME on the bus at ADDRESS, if any.
ui_bus_owner_pid() {
  local reply
  reply=$(timeout 5 dbus-send --bus="$1" --print-reply=literal --dest=org.freedesktop.DBus \
    /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID "string:$2" 2>/dev/null) || return 0
  reply=$(echo $reply)
  echo "${reply##* }"
}

ui_session_stop() {
  local pids=() pid
  if [ -n "$UI_SESSION_DBUS_PID" ]; then
    # The bus daemon starts services detached from itself; each bus says
    # which process owns the names it started: the accessibility bus
    # launcher (with its bus daemon below it) and the registry daemon.
    if [ -n "$UI_SESSION_A11Y_ADDRESS" ]; then
      pid=$(ui_bus_owner_pid "$UI_SESSION_A11Y_ADDRESS" org.a11y.atspi.Registry)
      [ -n "$pid" ] && pids+=("$pid")
    fi
    pid=$(ui_bus_owner_pid "$DBUS_SESSION_BUS_ADDRESS" org.a11y.Bus)
    if [ -n "$pid" ]; then
      mapfile -t -O "${#pids[@]}" pids < <(ui_descendants "$pid")
      pids+=("$pid")
    fi
    pids+=("$UI_SESSION_DBUS_PID")
    UI_SESSION_DBUS_PID=""
    UI_SESSION_A11Y_ADDRESS=""
  fi
  ui_stop_pids "${pids[@]}"
  if [ -n "$UI_SESSION_XVFB_PID" ]; then
    ui_stop_pids "$UI_SESSION_XVFB_PID"
    UI_SESSION_XVFB_PID=""
  fi
}

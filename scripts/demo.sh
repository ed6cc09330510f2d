#!/usr/bin/env bash
# Installs what the project needs, builds it, starts pcscd with the virtual
# Norvik-2 token and walks through the library against it. Then it opens the
# Provisor tool on the same virtual reader:
#
#   with a display ($DISPLAY or $WAYLAND_DISPLAY): Provisor opens there, set
#     up with the token's factory access key; pick "Virtual PCD 00 00" and
#     press connect. pcscd and the token stay up until the window is closed.
#   without one: Provisor runs on a private X display, is connected to the
#     token with "advanced" ticked, and its picture goes to docs/provisor.png.
#   DEMO_GUI=0: the library walk-through only.
#
# Stops exactly the services it started.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD

# Only what the demo starts is installed and built; scripts/test.sh installs
# and builds the rest.
bash scripts/install-deps.sh --demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)"

BIN="$REPO/build/demo/bin"
export NORVIK_BIN_DIR="$BIN"
export PCSC_ENV_DIR="${PCSC_ENV_DIR:-/tmp/norvik-demo-$(id -u)}"
# shellcheck source=ui-session.sh
source scripts/ui-session.sh
cleanup() {
  bash scripts/pcsc-env.sh stop || true
  ui_session_stop
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
bash scripts/pcsc-env.sh start --sims 1

echo
"$BIN/quillon-demo" "Virtual PCD 00 00"
echo
echo "oathtool says: $(oathtool --totp 3132333435363738393031323334353637383930)"

[ "${DEMO_GUI:-1}" = 0 ] && exit 0

# The tool as shipped, in a folder of its own: the configuration file and
# the operation log it writes beside itself stay out of the build tree.
APP="$REPO/build/demo/demo-app"
rm -rf "$APP"
mkdir -p "$APP"
cp -a "$BIN/Provisor" "$BIN"/libQuillon.so* "$BIN"/*.dll "$APP/"
driver() { /usr/bin/python3 "$REPO/scripts/ui_driver.py" "$@"; }

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  # The first start asks for the access key; it is answered (factory key)
  # on a private display, so the operator's window opens ready to connect.
  (
    trap ui_session_stop EXIT
    ui_session_start "$PCSC_ENV_DIR/ui"
    driver first-start --app-dir "$APP"
  )
  echo
  echo "Provisor is open: choose \"Virtual PCD 00 00\", press connect; close the window to end the demo."
  (cd "$APP" && ./Provisor)
else
  ui_session_start "$PCSC_ENV_DIR/ui"
  driver screenshot --app-dir "$APP" --png "$REPO/docs/provisor.png"
  echo "No display: the connected tool's picture is in docs/provisor.png"
fi

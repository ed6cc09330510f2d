#!/usr/bin/env bash
# Installs what the project needs, builds it, starts pcscd with the virtual
# Norvik-2 token and walks through the library against it. With
# DEMO_GUI=1 (and a display) it then opens the Provisor tool on the same
# virtual reader. Stops exactly the services it started.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

BIN="$PWD/build/default/bin"
export NORVIK_BIN_DIR="$BIN"
export PCSC_ENV_DIR="${PCSC_ENV_DIR:-/tmp/norvik-demo-$(id -u)}"
trap 'bash scripts/pcsc-env.sh stop || true' EXIT
bash scripts/pcsc-env.sh start --sims 1

echo
"$BIN/quillon-demo" "Virtual PCD 00 00"
echo
echo "oathtool says: $(oathtool --totp 3132333435363738393031323334353637383930)"

if [ "${DEMO_GUI:-0}" = 1 ]; then
  "$BIN/Provisor"
fi

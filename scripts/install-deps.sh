#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, fuzz and
# demo. Idempotent: packages already present are left alone, and the package
# lists are refreshed only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  dpkg-dev file  # dpkg-shlibdeps (which needs file): cpack works out the Debian packages' dependencies with it
  libpcsclite-dev pcscd pcsc-tools vsmartcard-vpcd
  libssl-dev
  libexpat1-dev  # the PSKC reader's XML parser
  qt6-base-dev qt6-base-dev-tools libgl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  oathtool zbar-tools imagemagick qrencode
  python3-pskc  # an independent RFC 6030 reader and writer for the PSKC export's tests
  xvfb xauth x11-apps
  # scripts/ui-check.sh and the demo drive the real Provisor window: the
  # accessibility bus, its Python client, X input and the clipboard
  dbus-daemon at-spi2-core python3-pyatspi python3-xlib xdotool xclip
  # the dialog's texts and emoji, in the demo's picture too; Wayland desktops
  fonts-dejavu-core fonts-noto-color-emoji qt6-wayland
  procps psmisc
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

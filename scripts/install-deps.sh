#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, fuzz and
# demo; with --demo only what scripts/demo.sh needs. Idempotent: packages
# already present are left alone, and the package lists are refreshed only
# when something is missing.
set -euo pipefail

# What building the library, the virtual token and Provisor, and running the
# demo (scripts/demo.sh), takes.
DEMO_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libpcsclite-dev pcscd vsmartcard-vpcd
  libssl-dev
  libexpat1-dev  # the PSKC reader's XML parser
  qt6-base-dev qt6-base-dev-tools libgl-dev
  # the QR programs shipped beside Provisor, and the demo's oathtool line
  oathtool zbar-tools imagemagick
  # the demo without a display: a private X server, and the driver that
  # answers the first start and takes the picture through the accessibility
  # bus, X input and the clipboard
  xvfb xauth dbus-daemon at-spi2-core python3-pyatspi python3-xlib xdotool xclip
  # the dialog's texts and emoji, in the demo's picture too; Wayland desktops
  fonts-dejavu-core fonts-noto-color-emoji qt6-wayland
  procps psmisc
)
# The rest of what the tests, benchmarks, fuzzers and package checks need.
TEST_PACKAGES=(
  git
  dpkg-dev file  # dpkg-shlibdeps (which needs file): cpack works out the Debian packages' dependencies with it
  pcsc-tools
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  qrencode x11-apps
  python3-pskc  # an independent RFC 6030 reader and writer for the PSKC export's tests
)

PACKAGES=("${DEMO_PACKAGES[@]}")
if [ "${1:-}" != "--demo" ]; then PACKAGES+=("${TEST_PACKAGES[@]}"); fi

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

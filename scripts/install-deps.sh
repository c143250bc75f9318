#!/usr/bin/env bash
# Installs every Debian 12 package the agent needs to build, run and be tested. Idempotent.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
PKGS=(
  build-essential cmake ninja-build pkg-config git
  libssl-dev openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libqt6svg6-dev qt6-qpa-plugins libgl-dev
  libp11-kit-dev p11-kit p11-kit-modules softhsm2 opensc
  libcurl4-openssl-dev curl duktape-dev
  libglib2.0-dev libglib2.0-bin gsettings-desktop-schemas
  xvfb xauth libcap2-bin procps x11-apps netpbm xdotool
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

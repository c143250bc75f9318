#!/usr/bin/env bash
# Installs what is needed, builds and starts the agent with its built-in defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
SUDO=""; [ "$(id -u)" != 0 ] && SUDO="sudo"
# Port 81 is below 1024: the binary needs the capability to bind it.
$SUDO setcap cap_net_bind_service=+ep build/Client/kovrax || echo "setcap failed: use a port above 1023, e.g. build/Client/kovrax 8081" >&2
exec build/Client/kovrax "$@"

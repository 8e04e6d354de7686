#!/usr/bin/env bash
# Installs what is missing, builds, and runs the server in the foreground (Ctrl+C stops it).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
install_missing "${BUILD_PACKAGES[@]}"
build_server build -DBUILD_TESTING=OFF
exec build/server/ortv-data-server

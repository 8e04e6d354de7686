#!/usr/bin/env bash
# Builds the Debian packages of the server: amd64 into build-pkg/ and arm64 (cross built) into
# build-pkg-arm64/. Installs what is missing. Prints the two package files.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
source scripts/arm64.sh
enable_arm64
# cpack's DEB generator computes the library dependencies with dpkg-shlibdeps (dpkg-dev), which
# needs file(1).
install_missing "${BUILD_PACKAGES[@]}" "${ARM64_PACKAGES[@]}" dpkg-dev file

make_package() {
    local dir=$1; shift
    build_server "$dir" -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr "$@"
    rm -f "$dir"/*.deb
    local log
    log=$(cd "$dir" && cpack -G DEB 2>&1) || { echo "$log" >&2; return 1; }
    ls "$dir"/*.deb
}

make_package build-pkg
# The toolchain file counts on the first configure only: no warning about it afterwards.
make_package build-pkg-arm64 --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$ARM64_TOOLCHAIN"
check_arm64_binary build-pkg-arm64/server/ortv-data-server

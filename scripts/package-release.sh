#!/usr/bin/env bash
# Builds the Debian packages of this machine's release, amd64 (native) and arm64 (cross built),
# into build-pkg/RELEASE/, with the release in their version (1.0.0-1+deb12 on Debian 12) and
# the dependencies dpkg-shlibdeps finds for the release's own Qt libraries. Installs what is
# missing. ./package.sh calls it for every supported release, each in its own root.
#   scripts/package-release.sh [AMD64_BUILD_DIR ARM64_BUILD_DIR]
# With build directories (./test.sh passes the ones its suites ran from) it packages what they
# built, and also the same source as the lower version 1.0.0-0 (amd64) into
# build-pkg/RELEASE/previous/, which the package test upgrades from; without, it builds into
# build-pkg-amd64/ and build-pkg-arm64/ without the tests.
# Every package is checked with this release's lintian: an error or a warning fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
source scripts/arm64.sh
source scripts/roots.sh
enable_arm64
# cpack's DEB generator computes the library dependencies with dpkg-shlibdeps (dpkg-dev), which
# needs file(1). help2man makes the arm64 programs' man pages through qemu.
install_missing "${BUILD_PACKAGES[@]}" "${ARM64_PACKAGES[@]}" dpkg-dev file qemu-user lintian
out=build-pkg/$(host_release)
rm -rf "$out"
mkdir -p "$out"

amd64_dir=${1:-build-pkg-amd64}
arm64_dir=${2:-build-pkg-arm64}
testing=()
[ $# -gt 0 ] || testing=(-DBUILD_TESTING=OFF)

# make_packages BUILD_DIR OUT_DIR CMAKE_ARGUMENT...
make_packages() {
    local dir=$1 to=$2; shift 2
    build_server "$dir" -DCMAKE_INSTALL_PREFIX=/usr "$@"
    rm -f "$dir"/*.deb
    local log
    log=$(cd "$dir" && cpack -G DEB 2>&1) || { echo "$log" >&2; return 1; }
    cp "$dir"/*.deb "$to/"
}

make_packages "$amd64_dir" "$out" "${testing[@]}"
# The toolchain file counts on the first configure only: no warning about it afterwards.
make_packages "$arm64_dir" "$out" "${testing[@]}" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="$ARM64_TOOLCHAIN"
check_arm64_binary "$arm64_dir/server/ortv-data-server"
check_arm64_binary "$arm64_dir/bridge/ortv-mqtt-bridge"
if [ $# -gt 0 ]; then
    mkdir -p "$out/previous"
    make_packages build-pkg-previous "$out/previous" -DBUILD_TESTING=OFF -DORTV_DEBIAN_REVISION=0
fi

# lintian as Debian's archive runs it; its notice about running as root is no finding.
if ! lintian --fail-on error,warning "$out"/*.deb; then
    echo "lintian: errors or warnings in the packages of $(host_release)" >&2
    exit 1
fi
echo "lintian: $(ls "$out"/*.deb | wc -l) packages of $(host_release) clean"

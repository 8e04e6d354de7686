#!/usr/bin/env bash
# Cross builds the server and its tests for 64-bit ARM into build-arm64/ and runs every test
# under qemu's user-mode emulator (no binfmt_misc needed). Installs what is missing. Run as
# ./test.sh --arm64. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
source scripts/arm64.sh
enable_arm64
# qemu-user runs the arm64 tests; iproute2 gives the tests of the real binary a private
# network namespace. The bridge's tests start the host's own MQTT broker (amd64, natively).
install_missing "${BUILD_PACKAGES[@]}" "${ARM64_PACKAGES[@]}" qemu-user iproute2 mosquitto prometheus nftables openssl
# The toolchain file counts on the first configure only: no warning about it afterwards.
build_server build-arm64 --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$ARM64_TOOLCHAIN" \
    -DBUILD_TESTING=ON
check_arm64_binary build-arm64/server/ortv-data-server
ctest --test-dir build-arm64 --output-on-failure -j2

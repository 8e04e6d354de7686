#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
# ./test.sh --arm64: the cross build for 64-bit ARM, every test run under qemu.
[ "${1:-}" = --arm64 ] && exec scripts/test-arm64.sh
source scripts/setup.sh
# iproute2 gives the tests of the real binary a private network namespace.
install_missing "${BUILD_PACKAGES[@]}" iproute2
build_server build -DBUILD_TESTING=ON
ctest --test-dir build --output-on-failure -j2
scripts/test-sanitizers.sh   # the whole suite again under AddressSanitizer and UBSan
scripts/test-fuzz.sh         # each libFuzzer target for a bounded time
scripts/test-arm64.sh        # the arm64 cross build, the whole suite under qemu (./test.sh --arm64)

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
#   ./test.sh                    everything on this machine's Debian release
#   ./test.sh --release RELEASE  everything on another supported release (bookworm, trixie),
#                                inside a cached minimal root of it
#   ./test.sh --arm64            only the arm64 cross build, every test under qemu
set -euo pipefail
cd "$(dirname "$0")"
case "${1:-}" in
    --arm64) exec scripts/test-arm64.sh ;;
    --release) exec scripts/test-release.sh "${2:-}" ;;
    "") ;;
    *) echo "usage: ./test.sh [--release RELEASE | --arm64]" >&2; exit 2 ;;
esac
source scripts/setup.sh
source scripts/roots.sh
# iproute2 gives the tests of the real binary a private network namespace; the bridge's tests
# start Debian's MQTT broker and make their TLS certificates with openssl.
install_missing "${BUILD_PACKAGES[@]}" iproute2 mosquitto prometheus nftables openssl
build_server build -DBUILD_TESTING=ON
ctest --test-dir build --output-on-failure -j2
scripts/test-sanitizers.sh   # the whole suite again under AddressSanitizer and UBSan
scripts/test-fuzz.sh         # each libFuzzer target for a bounded time
scripts/test-arm64.sh        # the arm64 cross build, the whole suite under qemu (./test.sh --arm64)
# This release's packages, amd64 and arm64, into build-pkg/RELEASE/, from the builds tested above.
scripts/package-release.sh build build-arm64
# The packages' test boots a container; inside another release's root (./test.sh --release)
# the caller runs it from outside.
[ -n "${ORTV_IN_RELEASE_ROOT:-}" ] ||
    scripts/test-package.sh "$(host_release)" "build-pkg/$(host_release)"

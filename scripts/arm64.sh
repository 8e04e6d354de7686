# Sourced after scripts/setup.sh by the scripts that cross build for 64-bit ARM: Debian's arm64
# Qt packages installed beside the host's (multiarch) and the cross compiler. A cross configure
# asks dpkg-architecture (dpkg-dev) for the packages' architecture; Debian 13's cross compiler
# does not bring it along.
ARM64_PACKAGES=(crossbuild-essential-arm64 dpkg-dev qt6-base-dev:arm64 qt6-httpserver-dev:arm64
                qt6-websockets-dev:arm64 libmosquitto-dev:arm64 libssl-dev:arm64)
ARM64_TOOLCHAIN=cmake/aarch64-linux-gnu.cmake

# Lets apt install arm64 packages; install_missing refreshes the package lists before it
# installs anything.
enable_arm64() {
    dpkg --print-foreign-architectures | grep -qx arm64 && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" dpkg --add-architecture arm64
}

# Fails unless the file is a 64-bit ARM executable.
check_arm64_binary() {
    readelf -h "$1" | grep -q 'Machine:.*AArch64' ||
        { echo "$1 is not an arm64 binary" >&2; return 1; }
}

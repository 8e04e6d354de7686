# Sourced by run.sh and test.sh: installs the Debian packages the build needs when any is
# missing, then configures and builds into build/. Quiet when everything is already there.

# What every build needs; callers add their own packages to install_missing. help2man makes
# the client's man page from its --help; the MQTT bridge links libmosquitto and OpenSSL.
BUILD_PACKAGES=(cmake make g++ ccache qt6-base-dev qt6-httpserver-dev qt6-websockets-dev
                shared-mime-info help2man libmosquitto-dev libssl-dev)

install_missing() {
    local missing=() p
    for p in "$@"; do
        # One line per installed architecture of the package (arm64 beside amd64 for the cross
        # build).
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing missing packages: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq >/dev/null &&
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
            --no-install-recommends "${missing[@]}" >/dev/null ||
        { echo "apt-get install failed" >&2; return 1; }
}

# ccache keeps what the compilers made between runs and between clones of the tree (CI builds
# a fresh clone every time): rebuilding unchanged sources takes seconds instead of minutes, for
# each of the native, sanitized, fuzzing and arm64 builds. Paths below the tree count relative
# to it, so another clone finds the same objects.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
COMPILER_LAUNCHER=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

build_server() {
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$COMPILER_LAUNCHER" "$@" >/dev/null &&
        cmake --build "$dir" -j"$(nproc)" -- --no-print-directory -s
}

# Sourced after scripts/setup.sh: minimal Debian roots of the releases the project supports,
# made once with debootstrap from the host's own package registry and kept in a cache, and a
# way to run a command inside one.

# The releases the project builds, tests and packages for, oldest first.
SUPPORTED_RELEASES=(bookworm trixie)
ROOT_CACHE=${ORTV_ROOT_CACHE:-/var/cache/ortv-roots}

host_release() {
    (. /etc/os-release && echo "$VERSION_CODENAME")
}

# Fails with a message unless the release is one the project supports.
check_release() {
    local r
    for r in "${SUPPORTED_RELEASES[@]}"; do [ "$r" = "$1" ] && return 0; done
    echo "unsupported release '$1' (supported: ${SUPPORTED_RELEASES[*]})" >&2
    return 1
}

# The Debian archive the host installs from (deb822 or one-line sources).
debian_mirror() {
    local url
    url=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
    [ -n "$url" ] || url=$(awk '$1 == "deb" && $2 !~ /security/ {print $2; exit}' \
                               /etc/apt/sources.list 2>/dev/null)
    [ -n "$url" ] || { echo "no Debian archive found in the host's apt sources" >&2; return 1; }
    echo "$url"
}

# release_root RELEASE NAME [PACKAGE...]: prints the path of the cached root RELEASE-NAME, a
# minbase root with the packages given; makes it the first time (a few minutes). A root whose
# making was cut short is made again.
release_root() {
    local release=$1 name=$2; shift 2
    local dir=$ROOT_CACHE/$release-$name
    if [ ! -e "$dir/.ortv-root-complete" ]; then
        install_missing debootstrap >&2
        local mirror include=()
        mirror=$(debian_mirror) || return 1
        [ $# -eq 0 ] || include=(--include="$(IFS=,; echo "$*")")
        mkdir -p "$ROOT_CACHE"
        rm -rf "$dir"
        echo "Making a $release root in $dir (once)" >&2
        debootstrap --variant=minbase "${include[@]}" "$release" "$dir" "$mirror" \
            >"$dir.log" 2>&1 ||
            { tail -n 5 "$dir.log" >&2; echo "debootstrap of $release failed" >&2; return 1; }
        touch "$dir/.ortv-root-complete"
    fi
    echo "$dir"
}

# in_root DIR COMMAND...: runs the command as root inside DIR with /proc, /sys and /dev of the
# host, a clean environment and the host's name resolution. The mounts live in a mount
# namespace of their own, so they go when the command ends, however it ends.
in_root() {
    local dir=$1; shift
    cp /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    local mount_namespace=(unshare --mount --propagation private)
    # Inside a chroot (a fresh-machine run), whose / is no mount point, the new namespace's
    # mounts cannot be made private; they are taken down when the command ends instead.
    "${mount_namespace[@]}" true 2>/dev/null || mount_namespace=()
    "${mount_namespace[@]}" sh -c '
        dir=$1; shift
        mounted=
        cleanup() { for m in $mounted; do umount -l "$dir/$m"; done; }
        trap cleanup EXIT INT TERM
        for m in proc sys dev dev/pts; do
            mount --rbind "/$m" "$dir/$m" || exit 1
            mounted="$m $mounted"
        done
        chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            LANG=C.UTF-8 ${CI:+CI=$CI} "$@"' in-root "$dir" "$@"
}

# The project's tree as it is now (committed or not), without build output or history, at
# /project in the root. Files are compared by content and a changed one gets a new time, so the
# root's build directories rebuild what changed, even a file that went back to an older time.
sync_tree_into_root() {
    rsync -rlpc --delete --exclude='/build*' --exclude=/.git ./ "$1/project/"
}

# copy_packages_from_root ROOT RELEASE: the packages built in the root, into build-pkg/RELEASE/.
copy_packages_from_root() {
    mkdir -p "build-pkg/$2"
    rsync -a --delete "$1/project/build-pkg/$2/" "build-pkg/$2/"
}

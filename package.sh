#!/usr/bin/env bash
# Builds the Debian packages for every supported release and both architectures into
# build-pkg/RELEASE/: this machine's release natively, the others inside cached minimal roots of
# theirs (scripts/roots.sh), so each links and depends on its own release's Qt. Installs what is
# missing. Prints the package files.
#   ./package.sh                       the packages only
#   ./package.sh --repo DIR --key KEY  then also into the signed apt repository DIR
#                                      (scripts/apt-repo.sh; KEY is in the caller's gpg keyring)
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
source scripts/roots.sh
repo="" key=""
while [ $# -gt 0 ]; do
    case $1 in
    --repo) repo=${2:?--repo needs a directory}; shift 2 ;;
    --key) key=${2:?--key needs a gpg key id}; shift 2 ;;
    *) echo "usage: ./package.sh [--repo DIR --key KEY]" >&2; exit 2 ;;
    esac
done
[ -z "$repo" ] || [ -n "$key" ] || { echo "--repo needs --key KEY to sign with" >&2; exit 2; }
for release in "${SUPPORTED_RELEASES[@]}"; do
    if [ "$release" = "$(host_release)" ]; then
        scripts/package-release.sh
    else
        install_missing rsync
        root=$(release_root "$release" build)
        sync_tree_into_root "$root"
        in_root "$root" /project/scripts/package-release.sh
        copy_packages_from_root "$root" "$release"
    fi
done
ls build-pkg/*/*.deb
if [ -n "$repo" ]; then
    pairs=()
    for release in "${SUPPORTED_RELEASES[@]}"; do pairs+=("$release=build-pkg/$release"); done
    scripts/apt-repo.sh "$repo" "$key" "${pairs[@]}"
fi

#!/usr/bin/env bash
# Builds the Debian packages for every supported release and both architectures into
# build-pkg/RELEASE/: this machine's release natively, the others inside cached minimal roots of
# theirs (scripts/roots.sh), so each links and depends on its own release's Qt. Installs what is
# missing. Prints the package files.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
source scripts/roots.sh
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

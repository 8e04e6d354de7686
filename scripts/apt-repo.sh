#!/usr/bin/env bash
# scripts/apt-repo.sh DIR KEY RELEASE=PKGDIR...: puts the packages of each RELEASE's PKGDIR
# into the apt repository in DIR, made and kept with Debian's reprepro (suites bookworm and
# trixie, component main, amd64 and arm64), and signs it with the gpg key KEY (a key id or
# fingerprint in the caller's keyring, GNUPGHOME; no key is kept in the tree). A version
# already there is replaced by a newer one; DIR keeps growing across calls. Writes the key's
# public part to DIR/ortv-archive-keyring.gpg, the file a board puts in /etc/apt/keyrings/.
# reprepro keeps its settings and database in DIR/conf and DIR/db: a web server need only
# serve DIR/dists, DIR/pool and the keyring. Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
source scripts/roots.sh

[ $# -ge 3 ] || { echo "usage: $0 DIR KEY RELEASE=PKGDIR..." >&2; exit 2; }
dir=$1 key=$2; shift 2
install_missing reprepro gnupg
gpg --batch --list-secret-keys "$key" >/dev/null 2>&1 ||
    { echo "no secret key $key in ${GNUPGHOME:-~/.gnupg}" >&2; exit 1; }

declare -A version_id=([bookworm]=12 [trixie]=13)
mkdir -p "$dir/conf"
for release in "${SUPPORTED_RELEASES[@]}"; do
    cat <<EOT

Origin: ORTV
Label: ORTV data server
Codename: $release
Architectures: amd64 arm64
Components: main
Description: ORTV data server, client and MQTT bridge for Debian ${version_id[$release]}
SignWith: $key
EOT
done | tail -n +2 >"$dir/conf/distributions"

for pair in "$@"; do
    release=${pair%%=*} pkgdir=${pair#*=}
    check_release "$release"
    debs=("$pkgdir"/*.deb)
    [ -e "${debs[0]}" ] || { echo "no packages in $pkgdir" >&2; exit 1; }
    reprepro -b "$dir" --silent includedeb "$release" "${debs[@]}"
done
# Signs every suite again, also when only the key changed.
reprepro -b "$dir" --silent export
gpg --batch --yes --export "$key" >"$dir/ortv-archive-keyring.gpg"
for release in "${SUPPORTED_RELEASES[@]}"; do
    echo "$release: $(reprepro -b "$dir" list "$release" | wc -l) packages"
done

#!/usr/bin/env bash
# ./test.sh --release RELEASE: the whole of ./test.sh for another supported Debian release, run
# inside a cached minimal root of it (scripts/roots.sh) with a copy of this tree; then, from this
# machine, the test of that release's packages under a booted systemd. For this machine's own
# release it is plain ./test.sh. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
source scripts/roots.sh
release=${1:?usage: ./test.sh --release RELEASE}
check_release "$release"
[ "$release" = "$(host_release)" ] && exec ./test.sh

install_missing rsync
root=$(release_root "$release" build)
sync_tree_into_root "$root"
# The root keeps its build directories between runs, so a run after a small change is quick.
in_root "$root" env ORTV_IN_RELEASE_ROOT=1 bash -c 'cd /project && ./test.sh'
copy_packages_from_root "$root" "$release"
scripts/test-package.sh "$release" "build-pkg/$release"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan on) into build-fuzz/ and runs each for
# a bounded time from its seed corpus. Exits non-zero on any finding.
# FUZZ_SECONDS (default 30) sets the time per target.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
install_missing "${BUILD_PACKAGES[@]}" clang libclang-rt-dev
seconds=${FUZZ_SECONDS:-30}
dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ "$COMPILER_LAUNCHER" \
      -DBUILD_TESTING=OFF -DORTV_SANITIZE=ON -DORTV_FUZZ=ON >/dev/null
cmake --build "$dir" -j2 --target fuzz_datacore fuzz_transceiver >/dev/null
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in datacore transceiver; do
    seeds=tests/fuzz/corpus/${target#data}   # datacore -> core
    work=$dir/corpus-$target                 # what the run learns stays out of the tree
    artifacts=$dir/findings-$target/
    mkdir -p "$work" "$artifacts"
    echo "fuzz_$target: ${seconds}s"
    "$dir/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65507 \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts" \
        "$work" "$seeds" 2>"$dir/fuzz-$target.log" ||
        { tail -n 60 "$dir/fuzz-$target.log"; echo "fuzz_$target found a fault" >&2; exit 1; }
    grep -E '^stat::number_of_executed_units|^Done' "$dir/fuzz-$target.log" || true
done

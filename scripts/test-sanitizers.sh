#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ and
# runs the whole test suite there. Any report fails: a sanitizer error ends the process at once,
# and LeakSanitizer checks every test program as it exits. (The server binary itself is killed
# by its tests, so leaks at its exit are not looked for; its errors still end it, and the tests.)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
build_server build-asan -DBUILD_TESTING=ON -DORTV_SANITIZE=ON
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-asan --output-on-failure -j2

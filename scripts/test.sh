#!/usr/bin/env bash
# Builds and runs every test: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the multi-threaded tests under
# ThreadSanitizer, then the whole suite again in an optimised build (a test
# that leans on a slow build fails there).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target qv_threaded_tests
ctest --preset tsan
cmake --preset release-tests >/dev/null
cmake --build --preset release-tests -j "$jobs"
ctest --preset release-tests

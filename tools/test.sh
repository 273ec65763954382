#!/usr/bin/env bash
# Installs what the tests need, builds kova twice (optimised, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test on both.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/ensure-packages.sh cmake make g++ libgtest-dev python3

jobs=$(nproc 2>/dev/null || echo 2)

build_and_test() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DKOVA_TESTS=ON -DKOVA_WERROR=ON "$@"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

build_and_test build/release -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=ON

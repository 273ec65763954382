#!/usr/bin/env bash
# Installs what the tests need, builds kova twice (optimised, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test on
# both, then runs each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/ensure-packages.sh cmake make g++ libgtest-dev python3 clang libclang-rt-14-dev postgresql-15 libpq5 lighttpd curl tzdata chromium
# Node.js and npm for the browser-side library's tests: Debian's packages
# where the machine has none (a machine may carry its own Node.js, which
# already brings npm and conflicts with Debian's npm package).
command -v node >/dev/null || tools/ensure-packages.sh nodejs
command -v npm >/dev/null || tools/ensure-packages.sh npm
# playwright-core drives Debian's chromium; nothing downloads a browser.
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund

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

# Fuzzing: clang's libFuzzer with ASan + UBSan. Each target starts from its
# own copy of the seeds (the example and benchmark scripts, tests/fuzz/seeds,
# and tests/fuzz/seeds/<target> when there is one; for the compiled-module
# loader, those scripts as kova-compile writes them, plain and -z), so no
# target inherits the units another one found; any crash, sanitizer report
# or input running past 30 s fails the run.
CXX=clang++ cmake -S . -B build/fuzz -DKOVA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/fuzz -j"$jobs"
corpora=$(mktemp -d)
trap 'rm -rf "$corpora"' EXIT
for fuzzer in build/fuzz/tests/fuzz/*_fuzzer; do
  name=$(basename "$fuzzer")
  corpus="$corpora/$name"
  mkdir -p "$corpus"
  if [ "$name" = module_image_fuzzer ]; then
    for source in examples/*/modules/*.js bench/scripts/*.js tests/fuzz/seeds/*.js; do
      base=$(basename "$source" .js)
      # A seed text with a parse error has no image.
      build/release/kova-compile "$source" "$corpus/$base.jo" 2>/dev/null || continue
      build/release/kova-compile -z "$source" "$corpus/$base.z.jo"
    done
  else
    cp examples/*/modules/*.js bench/scripts/*.js "$corpus"/ 2>/dev/null || true
    find tests/fuzz/seeds -maxdepth 1 -type f -exec cp {} "$corpus"/ \;
  fi
  [ -d "tests/fuzz/seeds/$name" ] && cp -r "tests/fuzz/seeds/$name"/. "$corpus"/
  echo "fuzzing with $name for ${KOVA_FUZZ_SECONDS:-60} s"
  "$fuzzer" -max_total_time="${KOVA_FUZZ_SECONDS:-60}" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    "$corpus" 2>&1 | tail -n 12
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzzer $name found a fault"; exit 1; }
done

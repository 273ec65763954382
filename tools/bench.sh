#!/usr/bin/env bash
# Builds kova optimised and runs the benchmark suite against the other
# engines (installed from Debian's packages when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-packages.sh cmake make g++ python3 mujs duktape nodejs lighttpd curl wrk
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc 2>/dev/null || echo 2)" --target kova kova-compile kova_parse_bench \
  kova_image_bench kova_cgi_bench kova_regex_bench
build/release/bench/kova_parse_bench
build/release/bench/kova_regex_bench
python3 bench/run.py --kova build/release/kova "$@"
python3 bench/cgi_bench.py --kova build/release/kova --spawner build/release/bench/kova_cgi_bench
python3 bench/image_bench.py --build build/release

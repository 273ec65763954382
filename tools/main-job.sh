#!/usr/bin/env bash
# Builds kova and runs the bundled example application from a console.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-packages.sh cmake make g++
cmake -S . -B build/main -DCMAKE_BUILD_TYPE=Release -DKOVA_TESTS=OFF >/dev/null
cmake --build build/main -j"$(nproc 2>/dev/null || echo 2)" --target kova
# kova looks for KOVA.config beside the program: run a copy placed in the example.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp build/main/kova examples/hello/KOVA.config examples/hello/hello.js "$work"/
cd "$work"
./kova -e "main()" hello.js
echo

#!/usr/bin/env bash
# Builds kova, installs the example application (examples/hello) in a
# temporary folder and answers one CGI request there, as a web server would
# start it: the body on standard input, CONTENT_LENGTH and REMOTE_ADDR set.
# Prints the response (header and frames), then the request's journal entry.
# Then the orders example: the same against a throwaway PostgreSQL cluster
# loaded with example data, sending a query to the front end, with its
# modules compiled by kova-compile (".jo").
#
# With --serve-shop it builds kova and serves the shop example instead
# (examples/shop: lighttpd on a loopback port, a throwaway PostgreSQL),
# prints its URL and runs until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--serve-shop" ]; then
  tools/ensure-packages.sh cmake make g++ python3 postgresql-15 libpq5 lighttpd
  cmake -S . -B build/main -DCMAKE_BUILD_TYPE=Release -DKOVA_TESTS=OFF >/dev/null
  cmake --build build/main -j"$(nproc 2>/dev/null || echo 2)" --target kova >/dev/null
  exec python3 tools/serve_shop.py --kova build/main/kova
fi
[ "$#" -eq 0 ] || { echo "usage: tools/main-job.sh [--serve-shop]" >&2; exit 2; }
tools/ensure-packages.sh cmake make g++ python3 postgresql-15 libpq5
cmake -S . -B build/main -DCMAKE_BUILD_TYPE=Release -DKOVA_TESTS=OFF >/dev/null
cmake --build build/main -j"$(nproc 2>/dev/null || echo 2)" --target kova kova-compile >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# kova finds KOVA.config beside the program.
cp build/main/kova examples/hello/KOVA.config examples/hello/request.txt "$work"/
cp -r examples/hello/modules "$work"/modules
root=$PWD
cd "$work"
echo "=== examples/hello"
echo "request body: $(cat request.txt)"
echo "--- response"
env -i PATH="$PATH" CONTENT_LENGTH="$(wc -c < request.txt)" REMOTE_ADDR=127.0.0.1 ./kova < request.txt
echo
echo "--- journal"
cat journal.log

# The orders example reads PostgreSQL: a throwaway cluster with its data.
echo
echo "=== examples/orders (compiled modules)"
python3 "$root/tools/example_orders.py" "$root/build/main/kova" "$root/build/main/kova-compile"

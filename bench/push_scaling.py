#!/usr/bin/env python3
"""Shows that appending to an array costs O(1) amortised: times a script
that pushes n integers (n from 125,000 to 1,000,000; the cell pages hold
about 1,048,000 values in all) under kova, median of
several whole-process runs, and prints the time per push. With linear
growth the time per push stays flat as n doubles; a quadratic one would
double with n."""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = """function main() {
    var a = [];
    for (var i = 0; i < %d; i++) a.push(i);
    console.log(a.length);
}
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", default=os.path.join(HERE, "..", "build", "release", "kova"))
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kova-push-")
    kova = os.path.join(work, "kova")
    shutil.copy(os.path.abspath(options.kova), kova)
    open(os.path.join(work, "KOVA.config"), "w").close()
    print("| pushes | kova (s) | ns per push |")
    print("|---|---|---|")
    n = 125000
    while n <= 1000000:
        with open(os.path.join(work, "push.js"), "w") as handle:
            handle.write(SCRIPT % n)
        times = []
        for _ in range(options.runs):
            start = time.perf_counter()
            done = subprocess.run([kova, "-e", "main()", "push.js"], cwd=work, capture_output=True, timeout=600)
            times.append(time.perf_counter() - start)
            if done.stdout.decode().strip() != "(L) %d" % n:
                raise RuntimeError("unexpected output: %r" % done.stdout)
        median = statistics.median(times)
        print("| %d | %.3f | %.0f |" % (n, median, median / n * 1e9))
        n *= 2
    shutil.rmtree(work)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Times the benchmark scripts under kova and, for comparison, other
JavaScript engines found on the machine (mujs, duk, node --jitless).

Each script defines main() and reports through print_result(x); only that
print call is adapted per engine. Prints a table of median wall times and
the ratio of each engine's time to kova's (above 1: kova is faster).
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Kova's objects have get and set methods; the other engines get the same
# two methods, so every engine runs the same script.
OBJECT_METHODS = ("Object.prototype.set = function (k, v) { this[k] = v; return v; };\n"
                  "Object.prototype.get = function (k) { return this[k]; };\n")

# String methods that mujs or duk lack (includes, padStart, replaceAll),
# defined only where missing, in the plain way a script for that engine
# would write them; kova and node run their own.
STRING_POLYFILLS = (
    "if (!String.prototype.includes) String.prototype.includes = function (s, p) {"
    " return this.indexOf(s, p) !== -1; };\n"
    "if (!String.prototype.padStart) String.prototype.padStart = function (n, pad) {"
    " var s = String(this); if (pad === undefined || pad === '') pad = ' ';"
    " if (s.length >= n) return s; var fill = '';"
    " while (fill.length < n - s.length) fill += pad; return fill.slice(0, n - s.length) + s; };\n"
    "if (!String.prototype.replaceAll) String.prototype.replaceAll = function (a, b) {"
    " return this.split(a).join(b); };\n")

ENGINES = {
    # name: (command prefix, print definition, call appended)
    "mujs": (["mujs"], "function print_result(x) { print(x); }\n" + OBJECT_METHODS + STRING_POLYFILLS, "\nmain();\n"),
    "duk": (["duk"], "function print_result(x) { print(x); }\n" + OBJECT_METHODS + STRING_POLYFILLS, "\nmain();\n"),
    "node --jitless": (["node", "--jitless"], "function print_result(x) { console.log(x); }\n" + OBJECT_METHODS,
                       "\nmain();\n"),
}


def child_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, cwd, runs, cpu=False):
    """Median wall time of whole-process runs, or with `cpu` the median
    processor time (user + system) of the process, which a busy machine
    disturbs much less."""
    times = []
    output = None
    for _ in range(runs):
        start = time.perf_counter()
        start_cpu = child_cpu_seconds()
        completed = subprocess.run(command, cwd=cwd, capture_output=True, timeout=600)
        times.append(child_cpu_seconds() - start_cpu if cpu else time.perf_counter() - start)
        if completed.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(command), completed.stderr.decode(errors="replace")))
        output = completed.stdout.decode(errors="replace").strip()
    return statistics.median(times), output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", default=os.path.join(HERE, "..", "build", "release", "kova"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--cpu", action="store_true", help="processor time (user + system) instead of wall time")
    parser.add_argument("scripts", nargs="*")
    options = parser.parse_args()

    scripts = options.scripts or sorted(
        os.path.join(HERE, "scripts", name) for name in os.listdir(os.path.join(HERE, "scripts")))
    engines = {name: spec for name, spec in ENGINES.items() if shutil.which(spec[0][0])}

    work = tempfile.mkdtemp(prefix="kova-bench-")
    kova = os.path.join(work, "kova")
    shutil.copy(os.path.abspath(options.kova), kova)
    open(os.path.join(work, "KOVA.config"), "w").close()

    header = ["script", "kova (s)"] + ["%s (s)" % name for name in engines] + ["%s / kova" % name for name in engines]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for script in scripts:
        name = os.path.splitext(os.path.basename(script))[0]
        with open(script) as handle:
            body = handle.read()
        kova_file = os.path.join(work, name + ".js")
        with open(kova_file, "w") as handle:
            handle.write("function print_result(x) { console.log(x); }\n" + body)
        kova_time, kova_output = timed([kova, "-e", "main()", name + ".js"], work, options.runs, options.cpu)
        row = [name, "%.3f" % kova_time]
        ratios = []
        for engine, (command, printer, call) in engines.items():
            engine_file = os.path.join(work, "%s.%s.js" % (name, engine.split()[0]))
            with open(engine_file, "w") as handle:
                handle.write(printer + body + call)
            engine_time, engine_output = timed(command + [engine_file], work, options.runs, options.cpu)
            if engine_output not in (kova_output, kova_output.replace("(L) ", "", 1)):
                print("warning: %s printed %r, kova %r" % (engine, engine_output, kova_output), file=sys.stderr)
            row.append("%.3f" % engine_time)
            ratios.append("%.2f" % (engine_time / kova_time))
        print("| " + " | ".join(row + ratios) + " |")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()

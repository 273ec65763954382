#!/usr/bin/env python3
"""Loading modules from source and from compiled images (.jo).

Two module sets: the generated 1 MB module of kova_parse_bench (with a
main() added), and the ten modules of about 5,000 lines of cgi_bench.py.
Each is compiled with kova-compile, plain and with -z, then
1. loaded inside the process (kova_image_bench: best of --runs, file
   reading left out): parse from source against loading the images;
2. loaded by whole CGI requests (kova_cgi_bench: medians of --rounds, the
   commands taking turns), beside the hello-world request.

    bench/image_bench.py --build build/release
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
from cgi_bench import HELLO_JS, module_set, write  # noqa: E402
from kova_request import HEADER, body, modules, parse_frames, top_call  # noqa: E402

WAYS = (("js", None), ("jo", []), ("jo -z", ["-z"]))


def install(root, kova, kova_compile, label, sources, way):
    """A CGI application for `sources` (paths of .js files): its own module
    folder holding the sources or their images, and a request body naming
    them. Returns (program, body file)."""
    key = label + "-" + way[0].replace(" ", "")
    app = os.path.join(root, "www", key)
    folder = os.path.join(root, "modules-" + key)
    os.makedirs(app)
    os.makedirs(folder)
    shutil.copy(kova, os.path.join(app, "kova.cgi"))
    write(os.path.join(app, "KOVA.config"), "MODULE_DIR=%s\nDEBUG_PORT=\n" % folder)
    names = []
    for source in sources:
        name = os.path.basename(source)
        if way[1] is None:
            shutil.copy(source, os.path.join(folder, name))
        else:
            name = name[:-3] + ".jo"
            subprocess.run([kova_compile] + way[1] + [source, os.path.join(folder, name)], check=True)
        names.append(name)
    request = os.path.join(root, key + ".body")
    with open(request, "wb") as handle:
        handle.write(body(top_call("main()"), modules(*names)))
    program = os.path.join(app, "kova.cgi")
    answer = subprocess.run([program], stdin=open(request, "rb"), capture_output=True,
                            env={"CONTENT_LENGTH": str(os.path.getsize(request)), "REMOTE_ADDR": "127.0.0.1"})
    if not answer.stdout.startswith(HEADER) or parse_frames(answer.stdout[len(HEADER):])[-1][0] != "C":
        raise RuntimeError("%s request failed: %r" % (key, answer.stdout[:300]))
    return program, request


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build", "release"))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=300)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    kova = os.path.join(build, "kova")
    kova_compile = os.path.join(build, "kova-compile")

    with tempfile.TemporaryDirectory(prefix="kova-image-bench-") as root:
        sources = os.path.join(root, "sources")
        large = os.path.join(sources, "large")
        os.makedirs(large)
        subprocess.run([os.path.join(build, "bench", "kova_parse_bench"), "--write", os.path.join(sources, "big.js")],
                       check=True)
        names, lines = module_set(large)
        sets = (("1 MB module", [os.path.join(sources, "big.js")]),
                ("%d-line modules" % lines, [os.path.join(large, n) for n in names]))

        print("Inside the process (kova_image_bench):")
        for label, files in sets:
            print("--- " + label)
            sys.stdout.flush()
            subprocess.run([os.path.join(build, "bench", "kova_image_bench"), str(options.runs)] + files, check=True)

        hello = os.path.join(sources, "hello.js")
        write(hello, HELLO_JS)
        command = [os.path.join(build, "bench", "kova_cgi_bench"), str(options.rounds)]
        program, request = install(root, kova, kova_compile, "hello", [hello], WAYS[0])
        command += ["--", "hello world (js)", request, program]
        for label, files in sets:
            for way in WAYS:
                program, request = install(root, kova, kova_compile, label.split()[0], files, way)
                command += ["--", "%s (%s)" % (label, way[0]), request, program]
        latency = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        print("\nWhole CGI requests (kova_cgi_bench), medians of %d runs:" % options.rounds)
        print(latency)
        medians = {line[:28].strip(): float(line[28:].split()[0]) for line in latency.splitlines()[1:]}
        floor = medians["hello world (js)"]
        for name, median in medians.items():
            print("%-28s %6.2f x hello world" % (name, median / floor))


if __name__ == "__main__":
    main()

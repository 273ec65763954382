#!/usr/bin/env python3
"""Cost of one CGI request, measured side by side in one run.

1. Latency of a whole process, start to exit (kova_cgi_bench, medians of
   --rounds runs, the commands taking turns): kova answering a hello-world
   request; an empty C program started the same way (the floor of process
   start on this machine); mujs running an empty script; kova answering a
   request that loads a module set of about 5,000 lines.
2. Requests per second through lighttpd with mod_cgi, measured with wrk for
   10 seconds at concurrency 2 (one thread), for the hello-world request.

    bench/cgi_bench.py --kova build/release/kova --spawner build/release/bench/kova_cgi_bench
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
from kova_request import HEADER, body, modules, parse_frames, top_call  # noqa: E402

HELLO_JS = 'function main() { sendToFront("greeting", "Hello, world"); }\n'

FUNCTION = """function f_{m}_{n}(a, b) {{
    var total = 0;
    for (var i = 0; i < a; i++) {{
        if (i % 3 == 0) total += i * b; else total -= 1;
    }}
    var item = {{name: "item {n}", count: total, list: [1, 2, 3], sql: "select * from t{n} where id = ?id"}};
    return item.count + item.list.length;
}}
"""


def write(path, text):
    with open(path, "w") as handle:
        handle.write(text)


def module_set(folder, modules_count=10, functions=62):
    """About 5,000 lines: modules_count modules of `functions` eight-line
    functions; the last module holds main(), which calls one of each."""
    names = []
    lines = 0
    for m in range(modules_count):
        text = "".join(FUNCTION.format(m=m, n=n) for n in range(functions))
        if m == modules_count - 1:
            calls = " + ".join("f_%d_0(3, %d)" % (k, k) for k in range(modules_count))
            text += 'function main() {\n    sendToFront("sum", %s);\n}\n' % calls
        name = "m%02d.js" % m
        write(os.path.join(folder, name), text)
        names.append(name)
        lines += text.count("\n")
    return names, lines


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def requests_per_second(root, body_file, seconds, connections):
    port = free_port()
    config = os.path.join(root, "lighttpd.conf")
    write(config,
          'server.document-root = "%s"\n' % os.path.join(root, "www")
          + 'server.bind = "127.0.0.1"\nserver.port = %d\n' % port
          + 'server.modules = ("mod_access", "mod_cgi")\n'
          + 'server.errorlog = "%s"\n' % os.path.join(root, "lighttpd-error.log")
          + 'url.access-deny = (".config")\ncgi.assign = (".cgi" => "")\n')
    with open(body_file, "rb") as handle:
        payload = handle.read()
    script = os.path.join(root, "post.lua")
    write(script, 'wrk.method = "POST"\nwrk.body = "%s"\nwrk.headers["Content-Type"] = "application/octet-stream"\n'
          % payload.decode().replace("\\", "\\\\").replace('"', '\\"'))
    server = subprocess.Popen(["lighttpd", "-D", "-f", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        url = "http://127.0.0.1:%d/hello/kova.cgi" % port
        check = subprocess.run(["curl", "-sS", "--data-binary", "@" + body_file, url], capture_output=True)
        if b"greeting" not in check.stdout:
            raise RuntimeError("the server did not answer the request: %r %r" % (check.stdout, check.stderr))
        done = subprocess.run(["wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds, "-s", script, url],
                              capture_output=True, text=True, check=True)
    finally:
        server.terminate()
        server.wait(timeout=10)
    rate = re.search(r"Requests/sec:\s+([\d.]+)", done.stdout)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", done.stdout)
    if rate is None or errors is not None:
        raise RuntimeError("wrk reported:\n" + done.stdout)
    return float(rate.group(1)), done.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", default=os.path.join(HERE, "..", "build", "release", "kova"))
    parser.add_argument("--spawner", default=os.path.join(HERE, "..", "build", "release", "bench", "kova_cgi_bench"))
    parser.add_argument("--rounds", type=int, default=500)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=2)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kova-cgi-bench-") as root:
        # hello world and the 5,000-line set, each installed as CGI programs
        # with their own configuration and no journal.
        setups = {}
        for name in ("hello", "large"):
            app = os.path.join(root, "www", name)
            mods = os.path.join(root, "modules-" + name)
            os.makedirs(app)
            os.makedirs(mods)
            shutil.copy(options.kova, os.path.join(app, "kova.cgi"))
            write(os.path.join(app, "KOVA.config"), "MODULE_DIR=%s\nDEBUG_PORT=\n" % mods)
            if name == "hello":
                write(os.path.join(mods, "hello.js"), HELLO_JS)
                names, lines = ["hello.js"], 1
            else:
                names, lines = module_set(mods)
            request = os.path.join(root, name + ".body")
            with open(request, "wb") as handle:
                handle.write(body(top_call("main()"), modules(*names)))
            setups[name] = (os.path.join(app, "kova.cgi"), request, lines)
            answer = subprocess.run([setups[name][0]], stdin=open(request, "rb"), capture_output=True,
                                    env={"CONTENT_LENGTH": str(os.path.getsize(request)), "REMOTE_ADDR": "127.0.0.1"})
            if not answer.stdout.startswith(HEADER) or parse_frames(answer.stdout[len(HEADER):])[-1][0] != "C":
                raise RuntimeError("%s request failed: %r" % (name, answer.stdout[:300]))

        empty_c = os.path.join(root, "empty.c")
        write(empty_c, "int main(void) { return 0; }\n")
        empty = os.path.join(root, "empty")
        subprocess.run(["cc", "-O2", "-o", empty, empty_c], check=True)
        empty_js = os.path.join(root, "empty.js")
        write(empty_js, "")

        hello_program, hello_body, _ = setups["hello"]
        large_program, large_body, large_lines = setups["large"]
        command = [options.spawner, str(options.rounds),
                   "--", "empty C program", hello_body, empty,
                   "--", "kova hello world", hello_body, hello_program]
        mujs = shutil.which("mujs")
        if mujs:
            command += ["--", "mujs empty script", hello_body, mujs, empty_js]
        command += ["--", "kova %d-line modules" % large_lines, large_body, large_program]
        latency = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        print("Whole-process latency, medians of %d runs:" % options.rounds)
        print(latency)
        medians = {line[:28].strip(): float(line[28:].split()[0]) for line in latency.splitlines()[1:]}
        floor = medians["empty C program"]
        print("kova hello world / empty C program: %.2f" % (medians["kova hello world"] / floor))
        if mujs:
            print("kova hello world / mujs empty script: %.2f" % (medians["kova hello world"] / medians["mujs empty script"]))

        rate, report = requests_per_second(root, hello_body, options.seconds, options.connections)
        print("\nThrough lighttpd (mod_cgi), wrk -t1 -c%d -d%ds: %.0f requests/s" % (options.connections, options.seconds, rate))
        print(report)


if __name__ == "__main__":
    main()

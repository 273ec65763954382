#!/usr/bin/env python3
"""Runs the orders example: a throwaway PostgreSQL cluster with the example
data, the application installed beside a copy of kova, one CGI request.
Prints the response and the journal entry; stops the cluster at the end.

    tools/example_orders.py KOVA [KOVA_COMPILE]

With KOVA_COMPILE the modules are installed compiled (.jo, zero-suppressed)
and the request names them so."""

import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "db"))
import cluster  # noqa: E402


def main():
    kova = os.path.abspath(sys.argv[1])
    example = os.path.join(ROOT, "examples", "orders")
    server = cluster.Cluster()
    work = tempfile.mkdtemp(prefix="kova-orders-")
    try:
        server.start()
        server.psql_file(os.path.join(example, "data.sql"))
        shutil.copy(kova, os.path.join(work, "kova"))
        shutil.copytree(os.path.join(example, "modules"), os.path.join(work, "modules"))
        compiled = len(sys.argv) > 2
        if compiled:
            for name in sorted(os.listdir(os.path.join(work, "modules"))):
                if name.endswith(".js"):
                    subprocess.run([os.path.abspath(sys.argv[2]), "-z", name, name[:-3] + ".jo"],
                                   cwd=os.path.join(work, "modules"), check=True)
                    os.remove(os.path.join(work, "modules", name))
        with open(os.path.join(work, "KOVA.config"), "w") as handle:
            handle.write("MODULE_DIR = modules\nLOGFILE = journal.log\n")
            handle.write("VAR = 'db_params':'%s'\n" % server.parameters())
        with open(os.path.join(example, "request.txt"), "rb") as handle:
            body = handle.read()
        if compiled:
            # ".js" and ".jo" have the same length: the M record stays valid.
            body = body.replace(b".js", b".jo")
            print("modules compiled by kova-compile -z: %s" % ", ".join(sorted(os.listdir(os.path.join(work, "modules")))))
        print("request body: %s" % body.decode())
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "CONTENT_LENGTH": str(len(body)),
                       "REMOTE_ADDR": "127.0.0.1"}
        completed = subprocess.run(["./kova"], cwd=work, input=body, capture_output=True, env=environment,
                                   timeout=60)
        print("--- response")
        print(completed.stdout.decode(errors="replace"))
        print("--- journal")
        with open(os.path.join(work, "journal.log"), encoding="utf-8", errors="replace") as handle:
            print(handle.read())
        return 0 if completed.returncode == 0 else 1
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

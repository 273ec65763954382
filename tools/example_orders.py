#!/usr/bin/env python3
"""Runs the orders example: a throwaway PostgreSQL cluster with the example
data, the application installed beside a copy of kova, one CGI request.
Prints the response and the journal entry; stops the cluster at the end."""

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
        with open(os.path.join(work, "KOVA.config"), "w") as handle:
            handle.write("MODULE_DIR = modules\nLOGFILE = journal.log\n")
            handle.write("VAR = 'db_params':'%s'\n" % server.parameters())
        with open(os.path.join(example, "request.txt"), "rb") as handle:
            body = handle.read()
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

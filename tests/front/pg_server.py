#!/usr/bin/env python3
"""A throwaway PostgreSQL cluster for tests written in other languages.

Starts the cluster of tests/db/cluster.py, runs the SQL files given as
arguments, prints one JSON line {"parameters": ..., "port": ...} (the
connection text of a script's openDb) and waits until its standard input
closes, or SIGTERM or SIGINT arrives; then it stops and removes the cluster.
"""

import json
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "db"))
import cluster  # noqa: E402


def main():
    server = cluster.Cluster()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.start()
        for path in sys.argv[1:]:
            server.psql_file(path)
        print(json.dumps({"parameters": server.parameters(), "port": server.port}), flush=True)
        try:
            sys.stdin.read()
        except KeyboardInterrupt:
            pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())

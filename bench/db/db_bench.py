#!/usr/bin/env python3
"""Times kova's database statements against a plain libpq program.

Starts a throwaway PostgreSQL 15 cluster (tests/db/cluster.py), fills a
table with 10,000 rows of five columns of mixed types, and times the same
query three ways, each in its own process on one connection:

- libpq: bench/db/libpq_fetch.c, every cell read with PQgetvalue;
- kova select: the rows made into script values (an array of row arrays);
- kova selectToFront: the rows written as a query frame in a CGI run.

Each program runs the query COUNT times and once with 0 (connection only);
the time per query is the difference divided by COUNT (median of RUNS
runs), so start-up and connecting are not counted. Prints a table with
each time and its ratio to libpq's.

Needs postgresql-15, libpq-dev and a C compiler.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "db"))
import cluster  # noqa: E402

QUERY = "select id, name, price, weight, note from bench_rows order by id"

SETUP = """
CREATE TABLE bench_rows (id int4, name text, price numeric(10, 2), weight float4, note varchar(40));
INSERT INTO bench_rows
SELECT i, 'item number ' || i, (i * 7 % 10000) / 100.0, i / 8.0,
       CASE WHEN i % 10 = 0 THEN NULL ELSE 'note ' || (i % 97) END
FROM generate_series(1, 10000) AS i;
"""

SELECT_SCRIPT = """
function main() {
    var db = openDb("postgresql", "libpq.so.5", "%(params)s");
    var rows = [];
    for (var i = 0; i < %(count)d; i++) rows = select(db, "%(query)s");
    console.log(rows.length);
}
"""

FRONT_SCRIPT = """
function main() {
    var db = openDb("postgresql", "libpq.so.5", "%(params)s");
    for (var i = 0; i < %(count)d; i++) selectToFront(db, "rows", "%(query)s");
}
"""

CGI_BODY = b"M111614t.jsP16main()"


def timed(command, runs, cwd=None, env=None, stdin=None, sink=None):
    """Median wall time and the output. The output goes through a pipe, or
    with `sink` into that file (read back afterwards)."""
    times = []
    for _ in range(runs):
        with open(sink, "wb") if sink else open(os.devnull, "wb") as target:
            start = time.perf_counter()
            done = subprocess.run(command, cwd=cwd, env=env, input=stdin,
                                  stdout=target if sink else subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
            times.append(time.perf_counter() - start)
        if done.returncode != 0 or done.stderr:
            raise RuntimeError("%s failed: %s" % (command[0], done.stderr.decode(errors="replace")))
    if sink:
        with open(sink, "rb") as handle:
            return statistics.median(times), handle.read()
    return statistics.median(times), done.stdout


def per_query(run, count, runs):
    """(time of COUNT queries - time of none) / COUNT, and the output."""
    base, _ = run(0, runs)
    total, output = run(count, runs)
    return (total - base) / count, output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", default=os.path.join(HERE, "..", "..", "build", "release", "kova"))
    parser.add_argument("--count", type=int, default=20, help="queries per process")
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kova-db-bench-")
    server = cluster.Cluster()
    try:
        server.start()
        server.psql(SETUP)
        fetch = os.path.join(work, "libpq_fetch")
        subprocess.run(["cc", "-O2", "-I/usr/include/postgresql", os.path.join(HERE, "libpq_fetch.c"), "-o", fetch,
                        "-lpq"], check=True)
        kova = os.path.join(work, "kova")
        shutil.copy(os.path.abspath(options.kova), kova)
        with open(os.path.join(work, "KOVA.config"), "w") as handle:
            handle.write("MODULE_DIR=%s\n" % work)
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC"}
        conninfo = "host=127.0.0.1 port=%d dbname=%s user=%s password=%s" % (
            server.port, cluster.DATABASE, cluster.USER, cluster.PASSWORD)

        def run_libpq(count, runs):
            return timed([fetch, conninfo, QUERY, str(count)], runs)

        def run_script(template, cgi, sink=None):
            def run(count, runs):
                with open(os.path.join(work, "t.js"), "w") as handle:
                    handle.write(template % {"params": server.parameters(), "count": count, "query": QUERY})
                if cgi:
                    env = dict(environment, CONTENT_LENGTH=str(len(CGI_BODY)), REMOTE_ADDR="127.0.0.1")
                    return timed([kova], runs, cwd=work, env=env, stdin=CGI_BODY, sink=sink)
                return timed([kova, "-e", "main()", "t.js"], runs, cwd=work, env=environment)
            return run

        baseline, output = per_query(run_libpq, options.count, options.runs)
        if output.split()[0] != str(50000 * options.count).encode():
            raise RuntimeError("libpq_fetch read %r" % output)
        selected, output = per_query(run_script(SELECT_SCRIPT, False), options.count, options.runs)
        if output.strip() != b"(L) 10000":
            raise RuntimeError("kova select printed %r" % output[:200])
        front_file, output = per_query(run_script(FRONT_SCRIPT, True, os.path.join(work, "frames.out")),
                                       options.count, options.runs)
        if output.count(b"Z15510000") != options.count:
            raise RuntimeError("kova selectToFront wrote %r" % output[:200])
        front_pipe, output = per_query(run_script(FRONT_SCRIPT, True), options.count, options.runs)
        if output.count(b"Z15510000") != options.count:
            raise RuntimeError("kova selectToFront wrote %r" % output[:200])

        print("10,000 rows of five columns, %d queries per process, median of %d runs" % (options.count, options.runs))
        print("| fetch | ms per query | ratio to libpq |")
        print("|---|---|---|")
        for name, seconds in (("libpq (C), every cell read", baseline),
                              ("kova select, rows as script values", selected),
                              ("kova selectToFront, frames written to a file", front_file),
                              ("kova selectToFront, frames written to a pipe", front_pipe)):
            print("| %s | %.2f | %.2f |" % (name, seconds * 1000, seconds / baseline))
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

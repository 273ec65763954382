#!/usr/bin/env python3
"""Database tests of kova against a real PostgreSQL 15 server.

Starts a throwaway cluster (see cluster.py), loads fixture.sql, runs the
script cases of cases/*.cases through tests/script/run_cases.py with the
connection placeholders filled in (with --kova-compile, a second time from
compiled modules), then runs the fault test (the server is
stopped while a script holds an open transaction) and removes the cluster.
A missing PostgreSQL is a failure, never a skip.

Placeholders in the cases: {pgparams} (a whole openDb parameter text),
{pghost}, {pgport}, {pgdb}, {pguser}, {pgpwd}.

Prints "N passed, N failed" last; exits 1 when anything failed.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cluster  # noqa: E402

RUN_CASES = os.path.join(HERE, "..", "script", "run_cases.py")


def expand_cases(source_dir, target_dir, server):
    places = {
        "pgparams": server.parameters(),
        "pghost": "127.0.0.1",
        "pgport": str(server.port),
        "pgdb": cluster.DATABASE,
        "pguser": cluster.USER,
        "pgpwd": cluster.PASSWORD,
    }
    written = []
    for path in sorted(glob.glob(os.path.join(source_dir, "*.cases"))):
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
        for key, value in places.items():
            text = text.replace("{" + key + "}", value)
        target = os.path.join(target_dir, os.path.basename(path))
        with open(target, "w", encoding="utf-8") as handle:
            handle.write(text)
        written.append(target)
    return written


def run_script_cases(options, files, compiled=False):
    command = [sys.executable, RUN_CASES, "--kova", options.kova, "--kova-dbg", options.kova_dbg]
    if compiled:
        command += ["--kova-compile", options.kova_compile, "--compiled"]
    done = subprocess.run(command + files, capture_output=True, text=True)
    output = done.stdout + done.stderr
    sys.stdout.write(output)
    match = re.search(r"^(\d+) passed, (\d+) failed$", done.stdout, re.MULTILINE)
    if not match:
        return 0, 1
    passed, failed = int(match.group(1)), int(match.group(2))
    if done.returncode != 0 and failed == 0:
        failed = 1  # the runner failed without saying which case
    return passed, failed


FAULT_SCRIPT = """
function main() {
    var db = openDb("postgresql", "libpq.so.5", "%(params)s");
    execute(db, "insert into fault_rows values ('kept')");
    closeDb(db, "commit");
    db = openDb("postgresql", "libpq.so.5", "%(params)s");
    execute(db, "insert into fault_rows values ('lost')");
    try {
        select(db, "select pg_sleep(60)");
    } catch (e) {
        console.log("caught " + e.name);
        sendToFront("caught", e.name);
    }
    execute(db, "insert into fault_rows values ('after')");
    console.log("not reached");
    sendToFront("not reached", 1);
}
"""

# The CGI request that calls main() of t.js: an M record naming the module
# and a P record with the call text.
CGI_BODY = b"M111614t.jsP16main()"


def fault_test(program, server, cgi):
    """The server goes away while the script holds an open transaction: the
    run must end with its error (an error frame in a CGI run, the ERROR line
    in a console run; no crash, no hang), and after a restart the committed
    row is there and the uncommitted one is not."""
    failures = []
    server.psql("DROP TABLE IF EXISTS fault_rows; CREATE TABLE fault_rows (tag text)")
    with tempfile.TemporaryDirectory(prefix="kova-fault-") as directory:
        link = os.path.join(directory, "kova")
        os.symlink(program, link)
        with open(os.path.join(directory, "KOVA.config"), "w") as handle:
            handle.write("MODULE_DIR=%s\n" % directory if cgi else "")
        with open(os.path.join(directory, "t.js"), "w") as handle:
            handle.write(FAULT_SCRIPT % {"params": server.parameters()})
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                environment[key] = os.environ[key]
        if cgi:
            environment.update(CONTENT_LENGTH=str(len(CGI_BODY)), REMOTE_ADDR="127.0.0.1")
            command = [link]
        else:
            command = [link, "-e", "main()", "t.js"]
        process = subprocess.Popen(command, cwd=directory, env=environment, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if cgi:
            process.stdin.write(CGI_BODY)
        process.stdin.close()
        process.stdin = None  # communicate() below only reads
        sleeping = server.wait_for(
            "SELECT 1 FROM pg_stat_activity WHERE state = 'active' AND query LIKE 'select pg_sleep%'")
        if not sleeping:
            failures.append("the script's query never reached the server")
        server.halt("immediate")
        try:
            out, err = process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
            failures.append("the run hung after the server stopped")
        server.resume()
        text = out.decode("utf-8", "replace")
        if process.returncode != 0:
            failures.append("exit status %d (a crash?)" % process.returncode)
        if err:
            failures.append("standard error not empty: %r" % err.decode("utf-8", "replace"))
        if cgi:
            caught = "s16caught144162"
            ended = re.search(r"S144135[0-9A-M]\d+EVAL%20ERROR%204135%20\(t\.js:\d+:\d+\)%20:%20pgsql_sql_only\(", text)
            reached = "not%20reached" in text
        else:
            caught = "caught 4162"
            ended = re.search(r"^ERROR  4135\uff1aEVAL ERROR 4135 \(t\.js:\d+:\d+\) : pgsql_sql_only\(", text, re.MULTILINE)
            reached = "not reached" in text
        if caught not in text:
            failures.append("the interrupted query did not raise 4162: %r" % text)
        if not ended or not text.rstrip().endswith(")"):
            failures.append("the statement on the lost connection did not end the run with 4135: %r" % text)
        if reached:
            failures.append("the run went on after the error")
        rows = server.psql("SELECT tag FROM fault_rows ORDER BY tag").split()
        if rows != ["kept"]:
            failures.append("rows after restart are %r, expected only the committed 'kept'" % rows)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", required=True)
    parser.add_argument("--kova-dbg", required=True)
    parser.add_argument("--kova-compile", help="also run every case from modules compiled by it")
    parser.add_argument("--cases", default=os.path.join(HERE, "cases"))
    options = parser.parse_args()
    options.kova = os.path.abspath(options.kova)
    options.kova_dbg = os.path.abspath(options.kova_dbg)
    if options.kova_compile:
        options.kova_compile = os.path.abspath(options.kova_compile)

    try:
        server = cluster.Cluster()
    except cluster.ClusterError as error:
        print("FAIL %s" % error)
        print("0 passed, 1 failed")
        return 1
    passed = failed = 0
    try:
        server.start()
        server.psql_file(os.path.join(HERE, "fixture.sql"))
        with tempfile.TemporaryDirectory(prefix="kova-db-cases-") as directory:
            files = expand_cases(options.cases, directory, server)
            for compiled in ([False, True] if options.kova_compile else [False]):
                p, f = run_script_cases(options, files, compiled)
                passed += p
                failed += f
        runs = (("kova", options.kova, False), ("kova", options.kova, True), ("kova-dbg", options.kova_dbg, True))
        for name, program, cgi in runs:
            failures = fault_test(program, server, cgi)
            label = "fault: server stopped during an open transaction, %s run [%s]" % ("CGI" if cgi else "console", name)
            if failures:
                failed += 1
                print("FAIL " + label)
                for failure in failures:
                    print("  " + failure)
            else:
                passed += 1
                print("ok   " + label)
    except cluster.ClusterError as error:
        failed += 1
        print("FAIL %s" % error)
    finally:
        server.stop()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())

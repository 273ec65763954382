#!/usr/bin/env python3
"""Runs the real kova and kova-dbg programs on the cases of .cases files.

See README.md beside this file for the format. Each case gets a fresh
temporary directory holding a link to the program (so that KOVA.config is
looked up there), the files the case lists, and the journal it asks for.
Prints one line per case and a closing "N passed, N failed" line; exits 1
when any case fails.
"""

import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

TIME_PATTERN = r"\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}"


class Case:
    def __init__(self, name, line):
        self.name = name
        self.line = line
        self.headers = []  # (key, value) in order
        self.sections = []  # (kind, argument, text)

    def header(self, key, default=None):
        values = [v for k, v in self.headers if k == key]
        return values[-1] if values else default

    def headers_named(self, key):
        return [v for k, v in self.headers if k == key]

    def section(self, kind):
        for k, argument, text in self.sections:
            if k == kind:
                return argument, text
        return None


def parse_cases(path):
    cases = []
    current = None
    section = None  # [kind, argument, lines, keep_final_newline]

    def close_section():
        nonlocal section
        if section is None:
            return
        kind, argument, lines, newline = section
        while lines and lines[-1] == "":
            lines.pop()
        text = "\n".join(lines)
        if newline and lines:
            text += "\n"
        current.sections.append((kind, argument, text))
        section = None

    with open(path, encoding="utf-8") as handle:
        for number, raw in enumerate(handle, 1):
            line = raw.rstrip("\n")
            if line.startswith("=== "):
                if current is not None:
                    close_section()
                    cases.append(current)
                current = Case(line[4:].strip(), number)
                continue
            if current is None:
                continue  # file comments before the first case
            if line.startswith("--- "):
                close_section()
                words = line[4:].split()
                newline = "-n" not in words
                words = [w for w in words if w != "-n"]
                section = [words[0], " ".join(words[1:]), [], newline]
                continue
            if section is not None:
                section[2].append(line)
            elif line.strip() and not line.startswith("#"):
                key, _, value = line.partition(":")
                current.headers.append((key.strip(), value.strip()))
    if current is not None:
        close_section()
        cases.append(current)
    return cases


def expand(text, places):
    for key, value in places.items():
        text = text.replace("{" + key + "}", value)
    return text


def expected_pattern(text, places):
    """The expected text as a regular expression: literal, except {TIME}
    (a journal time stamp) and {ANY} (any text within one line)."""
    text = expand(text, places)
    pieces = re.split(r"(\{TIME\}|\{ANY\})", text)
    out = []
    for piece in pieces:
        if piece == "{TIME}":
            out.append(TIME_PATTERN)
        elif piece == "{ANY}":
            out.append(r"[^\n]*?")
        else:
            out.append(re.escape(piece))
    return re.compile("".join(out), re.DOTALL)


def show(data):
    return data.decode("utf-8", errors="backslashreplace")


def run_closing_early(argv0, arguments, stdin, limit, timeout, command):
    """Runs the program as a reader that goes away: it takes the first
    `limit` bytes of standard output and then closes the pipe, as a web
    server does when its client disconnects."""
    process = subprocess.Popen([argv0] + arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, **command)
    process.stdin.write(stdin)
    process.stdin.close()
    taken = process.stdout.read(limit)
    process.stdout.close()
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise
    stderr = process.stderr.read()
    return subprocess.CompletedProcess(process.args, process.returncode, taken, stderr)


def run_case(case, program_name, program_path):
    failures = []
    with tempfile.TemporaryDirectory(prefix="kova-case-") as directory:
        link = os.path.join(directory, "kova")
        os.symlink(program_path, link)
        places = {"dir": directory, "prog": link, "bindir": os.path.dirname(program_path)}

        for kind, argument, text in case.sections:
            if kind == "file":
                target = os.path.join(directory, expand(argument, places))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as handle:
                    handle.write(expand(text, places).encode("utf-8"))

        stdin_section = case.section("stdin")
        stdin = expand(stdin_section[1], places).encode("utf-8") if stdin_section else b""
        places["stdin_length"] = str(len(stdin))

        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC"}
        for assignment in case.headers_named("env"):
            key, _, value = expand(assignment, places).partition("=")
            environment[key] = value
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                environment[key] = os.environ[key]

        argv0 = expand(case.header("argv0", "{prog}"), places)
        arguments = [expand(a, places) for a in shlex.split(case.header("args", ""))]
        command = dict(executable=link, cwd=expand(case.header("cwd", "{dir}"), places), env=environment)
        timeout = float(case.header("timeout", "20"))
        read_limit = case.header("stdout-read")
        if read_limit is None:
            completed = subprocess.run([argv0] + arguments, input=stdin, capture_output=True, timeout=timeout,
                                       **command)
        else:
            completed = run_closing_early(argv0, arguments, stdin, int(read_limit), timeout, command)

        status = int(case.header("status", "0"))
        if completed.returncode != status:
            failures.append("exit status %d, expected %d" % (completed.returncode, status))

        expected = case.section("stdout")
        if expected is not None:
            if not expected_pattern(expected[1], places).fullmatch(show(completed.stdout)):
                failures.append("standard output differs\n  expected: %r\n  actual:   %r"
                                % (expand(expected[1], places), show(completed.stdout)))
        contains = case.section("stdout-contains")
        if contains is not None and not expected_pattern(contains[1], places).search(show(completed.stdout)):
            failures.append("standard output lacks %r\n  actual: %r" % (contains[1], show(completed.stdout)))

        journal = case.section("journal")
        if journal is not None:
            journal_path = os.path.join(directory, expand(journal[0] or "journal.log", places))
            if not os.path.exists(journal_path):
                failures.append("no journal file at %s" % journal_path)
            else:
                with open(journal_path, "rb") as handle:
                    written = show(handle.read())
                if not expected_pattern(journal[1], places).fullmatch(written):
                    failures.append("journal differs\n  expected: %r\n  actual:   %r"
                                    % (expand(journal[1], places), written))
        if case.section("no-journal") is not None and os.path.exists(os.path.join(directory, "journal.log")):
            failures.append("a journal file was written")

        if completed.stderr and case.header("stderr", "empty") == "empty":
            failures.append("standard error not empty: %r" % show(completed.stderr))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", required=True)
    parser.add_argument("--kova-dbg", required=True)
    parser.add_argument("case_files", nargs="+")
    options = parser.parse_args()
    programs = {"kova": os.path.abspath(options.kova), "kova-dbg": os.path.abspath(options.kova_dbg)}

    passed = failed = 0
    for case_file in options.case_files:
        for case in parse_cases(case_file):
            wanted = case.header("program", "both")
            names = ["kova", "kova-dbg"] if wanted == "both" else [wanted]
            for name in names:
                label = "%s:%d %s [%s]" % (os.path.basename(case_file), case.line, case.name, name)
                try:
                    failures = run_case(case, name, programs[name])
                except subprocess.TimeoutExpired:
                    failures = ["timed out"]
                if failures:
                    failed += 1
                    print("FAIL " + label)
                    for failure in failures:
                        print("  " + failure)
                else:
                    passed += 1
                    print("ok   " + label)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())

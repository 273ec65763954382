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
import urllib.parse

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


def module_files(case):
    """The .js files a case writes: the modules it may load."""
    return [argument for kind, argument, _ in case.sections if kind == "file" and argument.lower().endswith(".js")]


class CompiledMode:
    """Runs a case with every .js module replaced by its image from
    kova-compile (plain, or zero-suppressed with -z). Every name of a module
    file in the case (arguments, request bodies, configuration files,
    expected texts) says .jo instead: the same length, so request records
    and length prefixes stay valid. Images are compiled once per case and
    module text, and reused for the second program."""

    def __init__(self, kova_compile):
        self.kova_compile = kova_compile
        self.images = {}  # (path, text, compress) -> (image bytes or None, error text)

    @staticmethod
    def renamer(case):
        names = sorted({os.path.basename(path) for path in module_files(case)}, key=len, reverse=True)
        if not names:
            return lambda text: text
        # In an M record a length prefix comes first and the next record's
        # letter right after.
        pattern = re.compile(r"(?<![A-Za-z_.-])(%s)" % "|".join(re.escape(n[:-3]) + r"\.js" for n in names))
        return lambda text: pattern.sub(lambda m: m.group(1)[:-3] + ".jo", text)

    def compile(self, directory, path, text, compress):
        """The image of module `path` (relative to the case directory), or
        None and kova-compile's error text."""
        key = (path, text, compress)
        if key not in self.images:
            target = path[:-3] + ".jo"
            command = [self.kova_compile] + (["-z"] if compress else []) + [path, target]
            done = subprocess.run(command, cwd=directory, capture_output=True, timeout=60)
            if done.returncode == 0:
                with open(os.path.join(directory, target), "rb") as handle:
                    self.images[key] = (handle.read(), "")
            else:
                self.images[key] = (None, show(done.stderr).strip() or "exit status %d" % done.returncode)
        return self.images[key]


def expected_texts(case, places):
    """Every expected text of a case, also with percent-encoding undone (the
    error frames of CGI answers encode their text)."""
    texts = []
    for kind in ("stdout", "stdout-contains", "journal"):
        found = case.section(kind)
        if found is not None:
            text = expand(found[1], places)
            texts += [text, urllib.parse.unquote(text)]
    return texts


def parse_error_expected(case, places, error):
    """A module that kova-compile refuses: the case must expect that very
    parse error (code, file, line and message) from kova loading it."""
    found = re.match(r"PARSE ERROR (\d+) \(([^\n]*?):(\d+)\) : ([^\n]*)$", error)
    if found is None:
        return ["kova-compile failed: %r" % error]
    code, path, line, message = found.groups()
    wanted = re.compile(r"PARSE ERROR %s \([^()\n]*?%s:%s\) : %s" % (
        code, re.escape(os.path.basename(path)), line, re.escape(message)))
    if any(wanted.search(text) for text in expected_texts(case, places)):
        return []
    return ["kova-compile reported %r, which the case does not expect" % error]


def run_case(case, program_name, program_path, compiled=None, compress=False):
    failures = []
    rename = CompiledMode.renamer(case) if compiled else (lambda text: text)
    with tempfile.TemporaryDirectory(prefix="kova-case-") as directory:
        link = os.path.join(directory, "kova")
        os.symlink(program_path, link)
        places = {"dir": directory, "prog": link, "bindir": os.path.dirname(program_path)}
        modules = module_files(case) if compiled else []

        for kind, argument, text in case.sections:
            if kind == "file":
                target = os.path.join(directory, expand(argument, places))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                content = expand(text if argument in modules else rename(text), places)
                with open(target, "wb") as handle:
                    handle.write(content.encode("utf-8"))
                if argument in modules:
                    image, error = compiled.compile(directory, expand(argument, places), content, compress)
                    if image is None:
                        return parse_error_expected(case, places, error)
                    os.remove(target)
                    with open(target[:-3] + ".jo", "wb") as handle:
                        handle.write(image)

        stdin_section = case.section("stdin")
        stdin = expand(rename(stdin_section[1]), places).encode("utf-8") if stdin_section else b""
        places["stdin_length"] = str(len(stdin))

        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC"}
        for assignment in case.headers_named("env"):
            key, _, value = expand(rename(assignment), places).partition("=")
            environment[key] = value
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                environment[key] = os.environ[key]

        argv0 = expand(case.header("argv0", "{prog}"), places)
        arguments = [expand(a, places) for a in shlex.split(rename(case.header("args", "")))]
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
            text = rename(expected[1])
            if not expected_pattern(text, places).fullmatch(show(completed.stdout)):
                failures.append("standard output differs\n  expected: %r\n  actual:   %r"
                                % (expand(text, places), show(completed.stdout)))
        contains = case.section("stdout-contains")
        if contains is not None and not expected_pattern(rename(contains[1]), places).search(show(completed.stdout)):
            failures.append("standard output lacks %r\n  actual: %r" % (rename(contains[1]), show(completed.stdout)))

        journal = case.section("journal")
        if journal is not None:
            journal = (journal[0], rename(journal[1]))
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
        for kind, argument, _ in case.sections:
            if kind == "no-file" and os.path.exists(os.path.join(directory, expand(argument, places))):
                failures.append("the file %s was written" % argument)

        errors = case.section("stderr")
        if errors is not None:
            if not expected_pattern(errors[1], places).fullmatch(show(completed.stderr)):
                failures.append("standard error differs\n  expected: %r\n  actual:   %r"
                                % (expand(errors[1], places), show(completed.stderr)))
        elif completed.stderr and case.header("stderr", "empty") == "empty":
            failures.append("standard error not empty: %r" % show(completed.stderr))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova", required=True)
    parser.add_argument("--kova-dbg", required=True)
    parser.add_argument("--kova-compile", help="the module compiler, for cases of program kova-compile")
    parser.add_argument("--compiled", action="store_true",
                        help="run the cases that write .js modules from images made by kova-compile "
                             "(plain for every other case, -z for the rest)")
    parser.add_argument("case_files", nargs="+")
    options = parser.parse_args()
    programs = {"kova": os.path.abspath(options.kova), "kova-dbg": os.path.abspath(options.kova_dbg)}
    if options.kova_compile:
        programs["kova-compile"] = os.path.abspath(options.kova_compile)
    if options.compiled and not options.kova_compile:
        parser.error("--compiled needs --kova-compile")
    compiled = CompiledMode(programs["kova-compile"]) if options.compiled else None

    passed = failed = 0
    for case_file in options.case_files:
        for index, case in enumerate(parse_cases(case_file)):
            if compiled and (not module_files(case) or case.header("program") == "kova-compile"):
                continue
            compress = compiled is not None and index % 2 == 1
            wanted = case.header("program", "both")
            names = ["kova", "kova-dbg"] if wanted == "both" else [wanted]
            for name in names:
                mode = "" if not compiled else " .jo -z" if compress else " .jo"
                label = "%s:%d %s [%s%s]" % (os.path.basename(case_file), case.line, case.name, name, mode)
                try:
                    failures = run_case(case, name, programs[name], compiled, compress)
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
    # A file without modules has nothing to run from images.
    return 1 if failed or (not passed and not compiled) else 0


if __name__ == "__main__":
    sys.exit(main())

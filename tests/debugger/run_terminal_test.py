#!/usr/bin/env python3
"""kova-debug as a person uses it: a terminal session on a pseudo-terminal
debugging a real request that lighttpd runs with kova-dbg as its CGI
program.

lighttpd listens on a free loopback port; kova-dbg's KOVA.config points
DEBUG_PORT at the port kova-debug listens on. The session sets a
breakpoint, the request is posted with curl, and the session steps over
and into calls, prints variables, shows the call stack, steps out and
continues; then two more requests stop at the breakpoint kept from the
first, one to continue past a breakpoint line that stops twice, one to be
ended; a fourth runs with a conditional breakpoint and a trace label set
between requests, and lists the source at its stop; a fifth shows an error
text. The transcript and the responses are checked.

Prints "N passed, N failed" last; exits 1 when anything failed.
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
from kova_request import body, modules, parse_frames, top_call  # noqa: E402
from lighttpd import Lighttpd, free_port  # noqa: E402

KOVA_DEBUG = os.path.join(ROOT, "debug", "kova-debug")
WAIT = 20.0

APP = """\
function add(a, b) {
    var c = a + b;
    return c;
}
function main() {
    var x = add(1, 2);
    var y = add(x, 10);
    console.log("y=", y);
    sendToFront("y", y);
}
"""


class Terminal:
    """A program on a pseudo-terminal, with everything it wrote kept."""

    ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")

    def __init__(self, argv, cwd):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(cwd)
            os.environ["TERM"] = "dumb"
            os.execvp(argv[0], argv)
        self.raw = b""

    def transcript(self):
        text = self.raw.decode("utf-8", errors="replace")
        return self.ANSI.sub("", text).replace("\r", "")

    def read_some(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            return False
        self.raw += data
        return bool(data)

    def expect(self, pattern, since, timeout=WAIT):
        """Waits until `pattern` (a regular expression) appears in the
        transcript after offset `since`; returns the offset after it."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            match = regex.search(self.transcript(), since)
            if match:
                return match.end()
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("%r did not appear; the transcript after it began:\n%s"
                                     % (pattern, self.transcript()[since:]))
            self.read_some(min(left, 0.5))

    def type(self, line):
        os.write(self.fd, line.encode() + b"\r")

    def command(self, line, pattern, since):
        """Types a command line and waits for `pattern` after `since`."""
        self.type(line)
        return self.expect(pattern, since)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            os.waitpid(self.pid, 0)
        except ChildProcessError:
            pass
        os.close(self.fd)


def install(root, kova_dbg, module_dir, debug_port):
    """kova-dbg as the document root's kova.cgi, debugged at `debug_port`."""
    www = os.path.join(root, "www")
    os.makedirs(www)
    shutil.copy(kova_dbg, os.path.join(www, "kova.cgi"))
    with open(os.path.join(www, "KOVA.config"), "w") as handle:
        handle.write("MODULE_DIR=%s\nDEBUG_PORT=%d\n" % (module_dir, debug_port))
    server = Lighttpd(root, www)
    server.start()
    return server


def post(port, data, result):
    completed = subprocess.run(["curl", "-s", "--max-time", "120", "--data-binary", "@-",
                                "http://127.0.0.1:%d/kova.cgi" % port], input=data, capture_output=True)
    result["stdout"] = completed.stdout
    result["status"] = completed.returncode


def start_request(port, call, result):
    """Posts a request for `call` in a thread of its own (it waits at the stops)."""
    poster = threading.Thread(target=post, args=(port, body(top_call(call), modules("app.js")), result))
    poster.start()
    return poster


def session(kova_dbg):
    root = tempfile.mkdtemp(prefix="kova-debug-terminal-")
    source = os.path.join(root, "src")
    os.makedirs(source)
    with open(os.path.join(source, "app.js"), "w") as handle:
        handle.write(APP)
    # The server's own copy differs: the front end's text is the one that runs.
    served = os.path.join(root, "served")
    os.makedirs(served)
    with open(os.path.join(served, "app.js"), "w") as handle:
        handle.write(APP.replace("add(x, 10)", "add(x, 20)"))
    debug_port = free_port()
    server = install(root, kova_dbg, served, debug_port)
    terminal = Terminal([sys.executable, KOVA_DEBUG, "--port", str(debug_port), "--source", source], root)
    poster = None
    try:
        at = terminal.expect(r"listening on 127\.0\.0\.1:%d" % debug_port, 0)
        at = terminal.expect(r"\(kdb\) ", at)
        at = terminal.command("break app.js:6", r"Breakpoint 1 at app\.js:6\n", at)

        result = {}
        poster = start_request(server.port, "main()", result)
        at = terminal.expect(r"\[1\] request from 127\.0\.0\.1 connected", at)
        at = terminal.expect(r"\[1\] module app\.js from %s" % re.escape(os.path.join(source, "app.js")), at)
        at = terminal.expect(r"\[1\] Breakpoint 1, main at app\.js:6\n6\t    var x = add\(1, 2\);\n", at)

        # next: the call on line 6 is not a line of its own
        at = terminal.command("next", r"\[1\] main at app\.js:7\n7\t    var y = add\(x, 10\);\n", at)
        at = terminal.command("print x", r"x = 3\n", at)
        at = terminal.command("step", r"\[1\] add at app\.js:2\n2\t    var c = a \+ b;\n", at)
        at = terminal.command("bt", r">#0  add at app\.js:2:5\n #1  main at app\.js:7:16\n", at)
        at = terminal.command("print [a, b]", r"\[a, b\] = \[3,10\]\n", at)
        at = terminal.command("up", r"#1  main at app\.js:7\n", at)
        at = terminal.command("print x * 2", r"x \* 2 = 6\n", at)
        at = terminal.command("print nothing(", r"error: PARSE ERROR: CODE=\d+, MESSAGE='PARSE ERROR ", at)
        at = terminal.command("finish", r"\[1\] main at app\.js:8\n8\t    console\.log\(\"y=\", y\);\n", at)
        at = terminal.command("print y", r"y = 13\n", at)
        at = terminal.command("continue", r"\[1\] \(L\) \"y=\"13\n", at)
        at = terminal.expect(r"\[1\] request ended\n", at)
        poster.join(60)
        # lighttpd took the CGI header; the body is the frames
        values = {f[1]: f[2] for f in parse_frames(result.get("stdout", b"")) if f[0] == "s"}
        if values != {"y": 13}:
            raise AssertionError("values %r" % values)

        # Breakpoints stay for the next request. A breakpoint set at the stop
        # (line 7: an assignment and a call) stops once per pass.
        poster = start_request(server.port, "main()", result)
        at = terminal.expect(r"\[2\] Breakpoint 1, main at app\.js:6\n", at)
        at = terminal.command("break 7", r"Breakpoint 2 at app\.js:7\n", at)
        at = terminal.command("continue", r"\[2\] Breakpoint 2, main at app\.js:7\n", at)
        terminal.type("continue")
        ended = terminal.expect(r"\[2\] request ended\n", at)
        if "Breakpoint" in terminal.transcript()[at:ended]:
            raise AssertionError("stopped twice on line 7:\n%s" % terminal.transcript()[at:ended])
        at = ended
        poster.join(60)

        # This one is ended from the terminal.
        poster = start_request(server.port, "main()", result)
        at = terminal.expect(r"\[3\] Breakpoint 1, main at app\.js:6\n", at)
        at = terminal.command("delete 2", r"Deleted 1\n", at)
        at = terminal.command("info breakpoints", r"Num  What\n1    app\.js:6\n\(kdb\) ", at)
        at = terminal.command("kill", r"\[3\] request ended\n", at)
        poster.join(60)
        frames = parse_frames(result["stdout"])
        errors = [f for f in frames if f[0] == "S"]
        if len(errors) != 1 or errors[0][1] != "1855":
            raise AssertionError("frames after kill: %r" % frames)

        # Set with no request running, the module's lists carry them: a
        # condition false on the first call and true on the second, and a
        # trace label on the function around line 1.
        at = terminal.command("delete", r"Deleted 1\n", at)
        at = terminal.command("break app.js:2 if a > 1", r"Breakpoint 3 at app\.js:2 if a > 1\n", at)
        at = terminal.command("trace app.js:1 adder", r"Trace 4 at app\.js:1 as adder\n", at)
        poster = start_request(server.port, "main()", result)
        at = terminal.expect(r"\[4\] call   adder\( a=1, b=2 \)\n", at)
        at = terminal.expect(r"\[4\] return adder\( 3 \)\n", at)
        at = terminal.expect(r"\[4\] call   adder\( a=3, b=10 \)\n", at)
        at = terminal.expect(r"\[4\] Breakpoint 3, add at app\.js:2\n", at)
        at = terminal.command("list", r"  1\tfunction add\(a, b\) \{\n->2\t    var c = a \+ b;\n  3\t    return c;\n"
                                      r"(.*\n){3}  7\t    var y = add\(x, 10\);\n(.*\n)*\(kdb\) ", at)
        at = terminal.command("print c", r"c = undefined\n", at)
        at = terminal.command("next", r"\[4\] add at app\.js:3\n", at)
        at = terminal.command("print c", r"c = 13\n", at)
        at = terminal.command("continue", r"\[4\] return adder\( 13 \)\n", at)
        at = terminal.expect(r"\[4\] request ended\n", at)
        poster.join(60)

        # A run-time error's text arrives as the script raises it.
        at = terminal.command("delete", r"Deleted 2\n", at)
        poster = start_request(server.port, "add(1, 2).missing()", result)
        at = terminal.expect(r"\[5\] error: EVAL ERROR 2145 \(app\.js:\d+:\d+\) : .+\n", at)
        at = terminal.expect(r"\[5\] request ended\n", at)
        poster.join(60)
        if not any(f[0] == "S" for f in parse_frames(result["stdout"])):
            raise AssertionError("no error frame: %r" % parse_frames(result["stdout"]))
        terminal.type("quit")
        terminal.expect(r"quit\n", at)
    finally:
        transcript = terminal.transcript()
        terminal.close()
        if poster is not None:
            poster.join(5)
        server.stop()
        shutil.rmtree(root, ignore_errors=True)
    return transcript


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kova-dbg", required=True)
    args = parser.parse_args()
    try:
        transcript = session(os.path.abspath(args.kova_dbg))
    except Exception as error:
        print("FAIL terminal session:", error)
        print("0 passed, 1 failed")
        return 1
    print("PASS terminal session; transcript:")
    print(transcript)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A scripted debugging front end for tests of kova-dbg.

An `Installation` is a temporary folder with a link to the program, its
KOVA.config (MODULE_DIR, DEBUG_PORT of a free loopback port) and the
modules. `Request` runs one CGI request there as a process while the test
plays the front end: it listens on the port, and `accept` gives a
`FrontEnd` over the connection that kova-dbg opens. The messages are read
and written with the shared protocol module of kova-debug.
"""

import os
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "debug"))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))

from kovadebug import protocol  # noqa: E402
from checks import Failure, expect, expect_equal  # noqa: E402,F401
from kova_request import body, modules, parse_frames, top_call, HEADER  # noqa: E402,F401

WAIT = 15.0  # seconds a test waits for any one thing


# The shared checks, under the names the debugger tests use.
check = expect
equal = expect_equal


class Installation:
    def __init__(self, program, sources, config=""):
        self.folder = tempfile.mkdtemp(prefix="kova-debugger-")
        self.module_dir = os.path.join(self.folder, "modules")
        os.makedirs(self.module_dir)
        for name, text in sources.items():
            path = os.path.join(self.module_dir, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as handle:
                handle.write(text.encode() if isinstance(text, str) else text)
        self.program = os.path.join(self.folder, os.path.basename(program))
        os.symlink(os.path.abspath(program), self.program)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        with open(os.path.join(self.folder, "KOVA.config"), "w") as handle:
            handle.write("MODULE_DIR=%s\nLOGFILE=%s\nDEBUG_PORT=%d\n%s"
                         % (self.module_dir, self.journal_path(), self.port, config))

    def journal_path(self):
        return os.path.join(self.folder, "journal.log")

    def journal(self):
        with open(self.journal_path(), "rb") as handle:
            return handle.read().decode("utf-8", errors="replace")

    def close(self):
        self.listener.close()
        subprocess.run(["rm", "-rf", self.folder], check=False)


class Response:
    def __init__(self, stdout, status):
        self.raw = stdout
        self.status = status
        check(stdout.startswith(HEADER), "response header missing: %r" % stdout[:80])
        self.frames = parse_frames(stdout[len(HEADER):])

    def values(self):
        return {f[1]: f[2] for f in self.frames if f[0] == "s"}

    def error(self):
        """(code, message) of the error frame, or None."""
        for f in self.frames:
            if f[0] == "S":
                return f[1], f[2]
        return None


class Request:
    """One CGI request of kova-dbg (or kova) in an installation."""

    def __init__(self, installation, request_body, env=None):
        self.installation = installation
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC",
                       "CONTENT_LENGTH": str(len(request_body)), "REMOTE_ADDR": "127.0.0.1"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                environment[key] = os.environ[key]
        environment.update(env or {})
        self.process = subprocess.Popen([installation.program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, cwd=installation.folder, env=environment)
        self.process.stdin.write(request_body)
        self.process.stdin.close()
        self.process.stdin = None  # communicate() must not flush it again
        self.started = time.monotonic()

    def accept(self, timeout=WAIT):
        self.installation.listener.settimeout(timeout)
        try:
            connection, _ = self.installation.listener.accept()
        except socket.timeout:
            raise Failure("kova-dbg did not connect") from None
        return FrontEnd(protocol.Channel(connection))

    def connects_within(self, seconds):
        """True when the program connects before it ends (or the time is up)."""
        deadline = time.monotonic() + seconds
        self.installation.listener.settimeout(0.05)
        while time.monotonic() < deadline:
            try:
                connection, _ = self.installation.listener.accept()
                connection.close()
                return True
            except socket.timeout:
                if self.process.poll() is not None:
                    self.installation.listener.settimeout(0.2)
                    try:
                        connection, _ = self.installation.listener.accept()
                        connection.close()
                        return True
                    except socket.timeout:
                        return False
        return False

    def finish(self, timeout=WAIT):
        try:
            stdout, stderr = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise Failure("the request did not end within %.0f s" % timeout) from None
        check(stderr == b"", "standard error: %r" % stderr[:500])
        self.elapsed = time.monotonic() - self.started
        return Response(stdout, self.process.returncode)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


class Stop:
    def __init__(self, stack, place):
        self.stack = stack    # protocol.StackEntry list, outermost first
        self.place = place    # protocol.Place

    def where(self):
        """module:line of the stop and the function it is in ("" at top level)."""
        function = self.stack[-1].function if self.stack else ""
        return "%s:%d %s" % (self.place.module, self.place.line, function)


class FrontEnd:
    """The test's side of one debugger connection."""

    def __init__(self, channel):
        self.channel = channel
        self.messages = []  # every message body received, in order

    def receive(self, timeout=WAIT):
        body = self.channel.receive(timeout)
        self.messages.append(body)
        return body

    def expect(self, body, timeout=WAIT):
        got = self.receive(timeout)
        equal(got, body if isinstance(body, bytes) else body.encode(), "message")

    def serve(self, module, text=None, lists=None, image=None):
        """Answers the M request of `module` with a source text (or an
        image, or "&&&&" when neither is given) and its lists."""
        self.expect(b"M" + module.encode())
        if text is None and image is None:
            self.channel.send(protocol.NOT_AVAILABLE)
            return
        self.channel.send(protocol.image_text(image) if image is not None else protocol.source_text(text))
        self.channel.send(lists if lists is not None else protocol.NOT_AVAILABLE)

    def next_stop(self, timeout=WAIT):
        """Reads messages up to the next stop (S, then B); None when the
        run ends first ("X")."""
        while True:
            got = self.receive(timeout)
            if got == b"X":
                return None
            if got[:1] == b"S":
                stack = protocol.parse_stack(got)
                place = self.receive(timeout)
                check(place[:1] == b"B", "B message expected after S, got %r" % place)
                return Stop(stack, protocol.parse_place(place))

    def send(self, body):
        self.channel.send(body)

    def step(self, step):
        self.channel.send(protocol.step_command(step))

    def evaluate(self, module, function, expression, timeout=WAIT):
        self.channel.send(protocol.evaluate_command(module, function, expression))
        return protocol.text(self.receive(timeout))

    def since(self, start):
        return self.messages[start:]

    def close(self):
        self.channel.close()

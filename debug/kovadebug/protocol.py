"""The messages between kova-dbg and its debugging front end.

kova-dbg connects to the front end when a request from the front end's
machine starts. Every message, both ways, is a length prefix and a body:
"A"+k, then the k decimal digits of the body length, then the body; its
receiver answers with the prefix alone. The interpreter asks for module
texts ("M"), reports stops ("S" with the call stack, then "B" with the
place), console output ("L", "E"), error texts ("D"), traced calls ("A",
"R"), answers to evaluations ("=" or "#") and its end ("X"). At a stop the
front end sends commands: "STEP" and a digit, "B"/"b"/"T" to replace a
module's breakpoint lines, conditional breakpoints or trace labels, and
"E" to evaluate an expression in a call's scope.

This module is shared by the front end and the tests.
"""

import base64
import socket
import time
from dataclasses import dataclass

NOT_AVAILABLE = b"&&&&"
REPLY_WAIT = 10.0

STEP_END = 0     # end the run (error 1855)
STEP_RUN = 1     # continue
STEP_INTO = 2
STEP_OVER = 3
STEP_OUT = 4

# Answers the interpreter sends in Shift_JIS.
RESULT_TOO_LONG = "評価結果の文字列が長すぎます。"
BAD_FORMAT = "式のフォーマット不正"
NO_SUCH_CALL = "呼び出し履歴の指定不正"


class ProtocolError(Exception):
    """A malformed message, a wrong acknowledgement or a time-out."""


class Closed(ProtocolError):
    """The other side closed the connection."""


def prefix(length):
    digits = str(length).encode()
    return bytes([ord("A") + len(digits)]) + digits


def frame(body):
    return prefix(len(body)) + body


class Channel:
    """One connection from kova-dbg: framed messages with acknowledgements."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = b""

    def _read(self, n, deadline):
        while len(self.pending) < n:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise ProtocolError("time-out waiting for %d bytes" % n)
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(max(65536, n - len(self.pending)))
            except socket.timeout:
                raise ProtocolError("time-out waiting for %d bytes" % n) from None
            except OSError as error:
                raise Closed(str(error)) from None
            if not data:
                raise Closed("connection closed")
            self.pending += data
        piece, self.pending = self.pending[:n], self.pending[n:]
        return piece

    def _read_prefix(self, deadline):
        letter = self._read(1, deadline)[0]
        digits = letter - ord("A")
        if not 0 <= digits <= 9:
            raise ProtocolError("bad length prefix %r" % bytes([letter]))
        text = self._read(digits, deadline) if digits else b"0"
        if not text.isdigit():
            raise ProtocolError("bad length digits %r" % text)
        return int(text)

    def receive(self, timeout=None):
        """The next message's body (acknowledged)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        length = self._read_prefix(deadline)
        body = self._read(length, deadline if deadline is not None else time.monotonic() + REPLY_WAIT)
        self.sock.sendall(prefix(length))
        return body

    def send(self, body, timeout=REPLY_WAIT):
        """Sends a message and checks its acknowledgement."""
        if isinstance(body, str):
            body = body.encode()
        try:
            self.sock.sendall(frame(body))
        except OSError as error:
            raise Closed(str(error)) from None
        acknowledged = self._read_prefix(time.monotonic() + timeout)
        if acknowledged != len(body):
            raise ProtocolError("acknowledged %d bytes of %d" % (acknowledged, len(body)))

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# ---- messages from the interpreter ---------------------------------------------


@dataclass
class StackEntry:
    module: str
    function: str
    line: int
    column: int


@dataclass
class Place:
    module: str
    line: int
    column: int


def text(data):
    """Bytes of a message as text: UTF-8, with the Shift_JIS answers read as such."""
    for message in (RESULT_TOO_LONG, BAD_FORMAT, NO_SUCH_CALL):
        encoded = message.encode("shift_jis")
        at = data.find(encoded)
        if at >= 0:
            return text(data[:at]) + message + text(data[at + len(encoded):])
    return data.decode("utf-8", errors="replace")


def parse_stack(body):
    """An "S" body: the script calls in progress, outermost first."""
    entries = []
    if len(body) > 1:
        for part in body[1:].split(b";"):
            module, function, line, column = part.rsplit(b":", 3)
            entries.append(StackEntry(text(module), text(function), int(line), int(column)))
    return entries


def parse_place(body):
    """A "B" body: module, column and line of the stop."""
    module, column, line = body[1:].rsplit(b":", 2)
    return Place(text(module), int(line), int(column))


# ---- what the front end sends ----------------------------------------------------


def _bytes(value):
    return value.encode() if isinstance(value, str) else value


def source_text(source):
    """A module's source text as the answer to "M"."""
    return b"s" + _bytes(source)


def image_text(image):
    """A compiled module image (".jo" bytes) as the answer to "M"."""
    return b"o" + base64.b64encode(image)


def lines_entries(lines):
    return b"".join(b"%d:" % line for line in lines)


def text_entries(entries):
    """(line, text) pairs as "line:text;" each followed by a separator."""
    return b"".join(b"%d:%s; " % (line, _bytes(value)) for line, value in entries)


def lists_text(traces=(), lines=(), conditions=()):
    """The lists that follow a module text: trace labels, breakpoint lines
    and conditional breakpoints."""
    return b"T" + text_entries(traces) + b"###B" + lines_entries(lines) + b"$$$b" + text_entries(conditions)


def step_command(step):
    return b"STEP%d" % step


def lines_command(module, lines):
    return b"B" + _bytes(module) + b":" + lines_entries(lines)


def conditions_command(module, entries):
    return b"b" + _bytes(module) + b":" + text_entries(entries)


def traces_command(module, entries):
    return b"T" + _bytes(module) + b":" + text_entries(entries)


def evaluate_command(module, function, expression):
    """Evaluates `expression` in the innermost call of `function` in
    `module` ("" names the top level)."""
    return b"E" + _bytes(module) + b":" + _bytes(function) + b":0:0;" + _bytes(expression)

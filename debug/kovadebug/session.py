"""The kova-debug program: it listens for kova-dbg, serves module texts
from a source folder, and gives a person a terminal session at the stops.

Each request that connects is served by a thread of its own, which answers
every message at once (kova-dbg waits for the acknowledgements) and prints
what the script sends: console lines, error texts, traced calls. At a stop
the thread obeys the commands the terminal hands it. "next" and "step" move
by source lines: where the interpreter stops again on the same line (an
assignment and then the call inside it) the thread steps on by itself, and
so does "continue" when a breakpoint line stops a second time in one pass.
"""

import argparse
import os
import queue
import socket
import sys
import threading
import time

from . import protocol
from .breakpoints import Breakpoints
from .sources import SourceFolder, text_lines

PROMPT = "(kdb) "
LIST_CONTEXT = 5
ANSWER_WAIT = 30.0
DETACH_WAIT = 5.0


class Output:
    """Lines for the person, from any thread. A line printed while the
    terminal waits for input goes above the prompt, which is written again
    with what has been typed so far."""

    def __init__(self, stream, interactive):
        self.stream = stream
        self.interactive = interactive
        self.lock = threading.Lock()
        self.waiting_for_input = False
        self.typed = lambda: ""

    def line(self, text=""):
        with self.lock:
            if self.waiting_for_input and self.interactive:
                self.stream.write("\r\x1b[K" + text + "\n" + PROMPT + self.typed())
            else:
                self.stream.write(text + "\n")
            self.stream.flush()

    def reading(self, waiting):
        with self.lock:
            self.waiting_for_input = waiting


class Request:
    """One connection of kova-dbg: one request being debugged."""

    def __init__(self, number, channel, debugger):
        self.number = number
        self.channel = channel
        self.debugger = debugger
        self.output = debugger.output
        self.state = "running"   # running, stopped, ended
        self.stack = []
        self.place = None
        self.selected = 0        # the frame print and list use, 0 innermost
        self.modules = {}        # module path -> the text served, or None
        self.synced = None       # breakpoints version the run holds, None: some module has none
        self.commands = queue.Queue()
        # Line stepping: the step last sent, where the last stop shown was
        # (module, line, depth) and the columns already stopped at on it.
        self.mode = None
        self.origin = None
        self.columns = set()

    def say(self, text):
        self.output.line("[%d] %s" % (self.number, text))

    # ---- the connection's thread ---------------------------------------------

    def serve(self):
        try:
            while True:
                body = self.channel.receive(None)
                kind = body[:1]
                if kind == b"M":
                    self.answer_module(protocol.text(body[1:]))
                elif kind == b"S":
                    place = self.channel.receive(ANSWER_WAIT)
                    self.stopped(protocol.parse_stack(body), protocol.parse_place(place))
                elif kind == b"L":
                    self.say("(L) " + protocol.text(body[1:]))
                elif kind == b"E":
                    self.say("(E) " + protocol.text(body[1:]))
                elif kind == b"D":
                    self.say("error: " + protocol.text(body[1:]))
                elif kind == b"A":
                    self.say("call   " + protocol.text(body[1:]))
                elif kind == b"R":
                    self.say("return " + protocol.text(body[1:]))
                elif kind == b"X":
                    self.say("request ended")
                    break
                else:
                    self.say(protocol.text(body))
        except protocol.ProtocolError as error:
            self.say("connection lost: %s" % error)
        finally:
            self.channel.close()
            self.set_state("ended")

    def set_state(self, state):
        with self.debugger.changed:
            self.state = state
            self.debugger.changed.notify_all()

    def answer_module(self, module):
        answer, path = self.debugger.sources.answer(module)
        self.channel.send(answer)
        if path is None:
            # The run holds no lists for it: they go at the first stop.
            self.modules[module] = None
            self.synced = None
            self.say("module %s: not in the source folder, kova-dbg reads its own file" % module)
            return
        _, version = self.debugger.breakpoints.snapshot()
        self.channel.send(self.debugger.breakpoints.lists_text(module))
        self.modules[module] = answer[1:] if answer[:1] == b"s" else None
        first = len(self.modules) == 1
        if first or self.synced != version:
            self.synced = version if first else None
        self.say("module %s from %s" % (module, path))

    def frames(self):
        """(module, function, line, column), innermost first."""
        if self.stack:
            return [(e.module, e.function, e.line, e.column) for e in reversed(self.stack)]
        return [(self.place.module, "", self.place.line, self.place.column)]

    def stopped(self, stack, place):
        self.stack = stack
        self.place = place
        for module in [place.module] + [e.module for e in stack]:
            if module not in self.modules and module != "MainScript":
                self.modules[module] = None
                self.synced = None
        self.sync_breakpoints()
        here = (place.module, place.line, len(stack))
        if self.mode in (protocol.STEP_RUN, protocol.STEP_INTO, protocol.STEP_OVER) and here == self.origin \
                and place.column not in self.columns:
            # The same line again in the same pass: not a new place.
            self.columns.add(place.column)
            self.channel.send(protocol.step_command(self.mode))
            return
        self.origin = here
        self.columns = {place.column}
        self.selected = 0
        self.announce()
        self.set_state("stopped")
        while self.state == "stopped":
            self.commands.get()()

    def announce(self):
        module, function, line, _ = self.frames()[0]
        hits = self.debugger.breakpoints.stopping_at(module, line)
        text = "%s at %s:%d" % (function or "<top level>", module, line)
        if hits:
            text = "Breakpoint %d, %s" % (hits[0].number, text)
        source = self.source_line(module, line)
        if source is not None:
            text += "\n%d\t%s" % (line, source)
        self.say(text)

    def sync_breakpoints(self):
        """Gives the run the breakpoints it does not hold yet."""
        _, version = self.debugger.breakpoints.snapshot()
        if self.synced == version:
            return
        for module in list(self.modules):
            for command in self.debugger.breakpoints.commands(module):
                self.channel.send(command)
        self.synced = version

    # ---- at a stop: run in the connection's thread -------------------------------

    def submit(self, action):
        """Runs action() in the connection's thread at the stop and returns
        its result (or raises what it raised)."""
        answers = queue.Queue()

        def run():
            try:
                answers.put((True, action()))
            except protocol.ProtocolError as error:
                answers.put((False, error))
                raise  # the connection is gone: its thread ends the request
            except Exception as error:  # handed to the terminal
                answers.put((False, error))
        self.commands.put(run)
        ok, value = answers.get(timeout=ANSWER_WAIT)
        if not ok:
            raise value
        return value

    def step(self, mode):
        def send():
            self.sync_breakpoints()
            self.mode = mode
            self.channel.send(protocol.step_command(mode))
            self.set_state("running")
        self.submit(send)

    def evaluate(self, expression):
        module, function, _, _ = self.frames()[self.selected]

        def ask():
            self.channel.send(protocol.evaluate_command(module, function, expression))
            return protocol.text(self.channel.receive(ANSWER_WAIT))
        return self.submit(ask)

    def source_line(self, module, line):
        lines = self.source_lines(module)
        if lines is None or not 1 <= line <= len(lines):
            return None
        return lines[line - 1].rstrip("\r")

    def source_lines(self, module):
        served = self.modules.get(module)
        if served is not None:
            return text_lines(served)
        return self.debugger.sources.lines(module)


class Debugger:
    """The listening port, the source folder, the breakpoints, the requests."""

    def __init__(self, source_root, host, port, output):
        self.sources = SourceFolder(source_root)
        self.breakpoints = Breakpoints()
        self.output = output
        self.requests = []
        self.changed = threading.Condition()
        self.current = None
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]

    def start(self):
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        number = 0
        while True:
            try:
                connection, peer = self.listener.accept()
            except OSError:
                return
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            number += 1
            request = Request(number, protocol.Channel(connection), self)
            with self.changed:
                self.requests.append(request)
            request.say("request from %s connected" % peer[0])
            threading.Thread(target=request.serve, daemon=True).start()

    def stopped(self):
        with self.changed:
            return [r for r in self.requests if r.state == "stopped"]

    def selected(self):
        """The request the commands apply to: the chosen one while it is
        stopped, else the first stopped one."""
        stopped = self.stopped()
        if self.current in stopped:
            return self.current
        self.current = stopped[0] if stopped else None
        return self.current

    def wait_while_running(self, request):
        """Until the request stops again or ends (Ctrl-C returns early)."""
        with self.changed:
            while request.state == "running":
                self.changed.wait(0.2)

    def detach(self):
        """Lets every request run on without breakpoints, then stops listening."""
        self.listener.close()
        for request in self.stopped():
            try:
                def release(request=request):
                    for module in list(request.modules):
                        request.channel.send(protocol.lines_command(module, []))
                        request.channel.send(protocol.conditions_command(module, []))
                        request.channel.send(protocol.traces_command(module, []))
                    request.synced = object()  # never equal to a version: nothing more is sent
                    request.mode = protocol.STEP_RUN
                    request.channel.send(protocol.step_command(protocol.STEP_RUN))
                    request.set_state("running")
                request.submit(release)
            except (protocol.ProtocolError, queue.Empty):
                pass
        # Running requests still send their messages for a while.
        deadline = time.monotonic() + DETACH_WAIT
        with self.changed:
            while any(r.state != "ended" for r in self.requests) and time.monotonic() < deadline:
                self.changed.wait(0.2)


HELP = """\
Breakpoints (kept across requests; FILE is a module path or its end):
  break FILE:LINE [if CONDITION]   stop at a line (when CONDITION holds)
  break LINE [if CONDITION]        a line of the module stopped in
  trace FILE:LINE LABEL            report calls of the function around LINE
  clear FILE:LINE                  remove what is set at a line
  delete [N ...]                   remove by number (all without one)
  info breakpoints                 list them
At a stop:
  next, step, finish, continue     step over, into, out of a call; run on
  kill                             end the request (error 1855)
  print EXPRESSION                 evaluate in the selected call's scope
  backtrace                        the calls, innermost first
  frame N, up, down                select a call for print and list
  list [FILE:LINE]                 source lines around the stop
Requests:
  info requests, request N         list them, choose the stopped one to use
  quit                             let stopped requests run on, and leave
An empty line repeats next, step, continue or finish."""

ALIASES = {"b": "break", "c": "continue", "n": "next", "s": "step", "fin": "finish", "p": "print",
           "bt": "backtrace", "where": "backtrace", "f": "frame", "l": "list", "d": "delete",
           "i": "info", "k": "kill", "q": "quit", "h": "help", "r": "request"}
REPEATABLE = {"next", "step", "continue", "finish"}
STEPS = {"next": protocol.STEP_OVER, "step": protocol.STEP_INTO, "finish": protocol.STEP_OUT,
         "continue": protocol.STEP_RUN, "kill": protocol.STEP_END}


class Console:
    """The person's commands."""

    def __init__(self, debugger, output):
        self.debugger = debugger
        self.output = output
        self.last = None

    def say(self, text):
        self.output.line(text)

    def location(self, text, request):
        """FILE:LINE, or LINE in the module of the stop."""
        file, _, line = text.rpartition(":")
        if not file:
            if request is None:
                raise ValueError("no stop to take the file from: give FILE:LINE")
            file = request.frames()[request.selected][0]
        if not line.isdigit():
            raise ValueError("not a line number: %r" % line)
        return file, int(line)

    def execute(self, line):
        """Runs one command line; False when the session ends."""
        words = line.strip()
        if not words:
            if self.last is None:
                return True
            words = self.last
        name, _, rest = words.partition(" ")
        name = ALIASES.get(name, name)
        rest = rest.strip()
        self.last = words if name in REPEATABLE else None
        handler = getattr(self, "do_" + name, None)
        if handler is None:
            self.say("unknown command %r; try help" % name)
            return True
        try:
            return handler(rest) is not False
        except ValueError as error:
            self.say(str(error))
        except (protocol.ProtocolError, queue.Empty) as error:
            self.say("the request did not answer: %s" % (error or "time-out"))
        except KeyboardInterrupt:
            self.say("(interrupted)")
        return True

    def stopped_request(self):
        request = self.debugger.selected()
        if request is None:
            raise ValueError("no request is stopped")
        return request

    # ---- breakpoints ------------------------------------------------------------------

    def do_break(self, rest):
        where, _, condition = rest.partition(" if ")
        file, line = self.location(where.strip(), self.debugger.selected())
        item = self.debugger.breakpoints.add(file, line, condition.strip() or None)
        self.say("Breakpoint %d at %s:%d%s" % (item.number, file, line,
                                               " if " + item.condition if item.condition else ""))

    def do_trace(self, rest):
        where, _, label = rest.partition(" ")
        if not label.strip():
            raise ValueError("usage: trace FILE:LINE LABEL")
        file, line = self.location(where, self.debugger.selected())
        item = self.debugger.breakpoints.add_trace(file, line, label.strip())
        self.say("Trace %d at %s:%d as %s" % (item.number, file, line, item.label))

    def do_clear(self, rest):
        file, line = self.location(rest, self.debugger.selected())
        self.say("Deleted %d at %s:%d" % (self.debugger.breakpoints.clear(file, line), file, line))

    def do_delete(self, rest):
        try:
            numbers = {int(n) for n in rest.split()} or None
        except ValueError:
            raise ValueError("usage: delete [N ...]") from None
        self.say("Deleted %d" % self.debugger.breakpoints.delete(numbers))

    def do_info(self, rest):
        if rest.startswith("b"):
            items, _ = self.debugger.breakpoints.snapshot()
            if not items:
                self.say("No breakpoints.")
                return
            self.say("Num  What")
            for b in items:
                if b.label is not None:
                    what = "trace %s:%d as %s" % (b.file, b.line, b.label)
                else:
                    what = "%s:%d%s" % (b.file, b.line, " if " + b.condition if b.condition else "")
                self.say("%-4d %s" % (b.number, what))
        elif rest.startswith("r"):
            with self.debugger.changed:
                requests = [r for r in self.debugger.requests if r.state != "ended"]
            if not requests:
                self.say("No requests.")
            for r in requests:
                where = ""
                if r.state == "stopped":
                    module, function, line, _ = r.frames()[0]
                    where = " at %s:%d (%s)" % (module, line, function or "<top level>")
                self.say("%s%d %s%s" % ("*" if r is self.debugger.current else " ", r.number, r.state, where))
        else:
            raise ValueError("info breakpoints, or info requests")

    def do_request(self, rest):
        for r in self.debugger.stopped():
            if str(r.number) == rest:
                self.debugger.current = r
                r.announce()
                return
        raise ValueError("no stopped request %s" % rest)

    # ---- at a stop ----------------------------------------------------------------------

    def run_step(self, name):
        request = self.stopped_request()
        request.step(STEPS[name])
        try:
            self.debugger.wait_while_running(request)
        except KeyboardInterrupt:
            self.say("(the request runs on)")

    def do_next(self, rest):
        self.run_step("next")

    def do_step(self, rest):
        self.run_step("step")

    def do_finish(self, rest):
        self.run_step("finish")

    def do_continue(self, rest):
        self.run_step("continue")

    def do_kill(self, rest):
        self.run_step("kill")

    def do_print(self, rest):
        if not rest:
            raise ValueError("usage: print EXPRESSION")
        answer = self.stopped_request().evaluate(rest)
        if answer.startswith("="):
            self.say("%s = %s" % (rest, answer[1:]))
        else:
            self.say("error: %s" % answer.lstrip("#"))

    def do_backtrace(self, rest):
        request = self.stopped_request()
        for i, (module, function, line, column) in enumerate(request.frames()):
            mark = ">" if i == request.selected else " "
            self.say("%s#%d  %s at %s:%d:%d" % (mark, i, function or "<top level>", module, line, column))

    def select(self, request, index):
        frames = request.frames()
        if not 0 <= index < len(frames):
            raise ValueError("no frame %d" % index)
        request.selected = index
        module, function, line, _ = frames[index]
        text = "#%d  %s at %s:%d" % (index, function or "<top level>", module, line)
        source = request.source_line(module, line)
        if source is not None:
            text += "\n%d\t%s" % (line, source)
        self.say(text)

    def do_frame(self, rest):
        request = self.stopped_request()
        if not rest.isdigit():
            raise ValueError("usage: frame N")
        self.select(request, int(rest))

    def do_up(self, rest):
        request = self.stopped_request()
        self.select(request, request.selected + 1)

    def do_down(self, rest):
        request = self.stopped_request()
        self.select(request, request.selected - 1)

    def do_list(self, rest):
        request = self.debugger.selected()
        if rest:
            module, line = self.location(rest, request)
        else:
            if request is None:
                raise ValueError("no stop: give FILE:LINE")
            module, _, line, _ = request.frames()[request.selected]
        lines = request.source_lines(module) if request is not None else self.debugger.sources.lines(module)
        if lines is None:
            raise ValueError("no source for %s" % module)
        first = max(1, line - LIST_CONTEXT)
        for n in range(first, min(len(lines), line + LIST_CONTEXT) + 1):
            self.say("%s%d\t%s" % ("->" if n == line else "  ", n, lines[n - 1].rstrip("\r")))

    # ---- the session --------------------------------------------------------------------

    def do_help(self, rest):
        self.say(HELP)

    def do_quit(self, rest):
        self.debugger.detach()
        return False

    def run(self):
        while True:
            self.output.reading(True)
            try:
                line = input(PROMPT)
            except KeyboardInterrupt:
                self.output.reading(False)
                self.say("")
                continue
            except EOFError:
                self.output.reading(False)
                self.debugger.detach()
                return
            self.output.reading(False)
            if not self.execute(line):
                return


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="kova-debug",
        description="Debugging front end of kova-dbg: listens for the requests that kova-dbg connects "
                    "back from, serves their module texts and stops them at breakpoints.")
    parser.add_argument("--port", type=int, default=8777, help="the DEBUG_PORT of KOVA.config (8777)")
    parser.add_argument("--listen", default="127.0.0.1",
                        help="address to listen on (127.0.0.1; the address kova-dbg connects to: the "
                             "client address of the request)")
    parser.add_argument("--source", default=".", help="folder of the module texts to serve (.)")
    parser.add_argument("-x", dest="commands", metavar="FILE", help="run the commands of FILE first")
    args = parser.parse_args(argv)
    output = Output(sys.stdout, sys.stdin.isatty() and sys.stdout.isatty())
    try:
        debugger = Debugger(args.source, args.listen, args.port, output)
    except OSError as error:
        print("kova-debug: cannot listen on %s:%d: %s" % (args.listen, args.port, error.strerror), file=sys.stderr)
        return 1
    debugger.start()
    output.line("kova-debug: listening on %s:%d, module texts from %s (help for commands)"
                % (args.listen, debugger.port, debugger.sources.root))
    console = Console(debugger, output)
    if args.commands:
        with open(args.commands) as handle:
            for line in handle:
                if line.strip() and not line.lstrip().startswith("#"):
                    output.line(PROMPT + line.rstrip("\n"))
                    console.execute(line)
    try:
        import readline  # line editing and history for input()
        output.typed = readline.get_line_buffer
    except ImportError:
        pass
    console.run()
    return 0

"""Breakpoints, conditional breakpoints and trace labels, kept across
requests. A location names a file as the module path or its end ("app.js"
matches "app.js" and "lib/app.js")."""

import threading
from dataclasses import dataclass

from . import protocol


@dataclass
class Breakpoint:
    number: int
    file: str
    line: int
    condition: str = None   # None: stops every time
    label: str = None       # set: a trace label, not a stop


def names_module(file, module):
    return module == file or module.endswith("/" + file)


class Breakpoints:
    def __init__(self):
        self.lock = threading.Lock()
        self.items = []
        self.next_number = 1
        self.version = 0  # changes with every change

    def _add(self, **fields):
        with self.lock:
            item = Breakpoint(self.next_number, **fields)
            self.next_number += 1
            self.items.append(item)
            self.version += 1
            return item

    def add(self, file, line, condition=None):
        return self._add(file=file, line=line, condition=condition)

    def add_trace(self, file, line, label):
        return self._add(file=file, line=line, label=label)

    def delete(self, numbers=None):
        """Deletes the numbered items (every item when None); returns how many."""
        with self.lock:
            kept = [b for b in self.items if numbers is not None and b.number not in numbers]
            removed = len(self.items) - len(kept)
            self.items = kept
            self.version += 1
            return removed

    def clear(self, file, line):
        with self.lock:
            kept = [b for b in self.items if not (b.file == file and b.line == line)]
            removed = len(self.items) - len(kept)
            self.items = kept
            self.version += 1
            return removed

    def snapshot(self):
        with self.lock:
            return list(self.items), self.version

    def for_module(self, module):
        """(lines, conditions, traces) of a module, from one snapshot."""
        items, _ = self.snapshot()
        mine = [b for b in items if names_module(b.file, module)]
        lines = sorted({b.line for b in mine if b.label is None and b.condition is None})
        conditions = [(b.line, b.condition) for b in mine if b.label is None and b.condition is not None]
        traces = [(b.line, b.label) for b in mine if b.label is not None]
        return lines, conditions, traces

    def lists_text(self, module):
        lines, conditions, traces = self.for_module(module)
        return protocol.lists_text(traces=traces, lines=lines, conditions=conditions)

    def commands(self, module):
        """The three commands that set a module's lists at a stop."""
        lines, conditions, traces = self.for_module(module)
        return [protocol.lines_command(module, lines), protocol.conditions_command(module, conditions),
                protocol.traces_command(module, traces)]

    def stopping_at(self, module, line):
        items, _ = self.snapshot()
        return [b for b in items if b.label is None and b.line == line and names_module(b.file, module)]

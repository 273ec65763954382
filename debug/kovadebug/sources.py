"""Module texts from the developer's source folder, and their lines."""

import os

from . import protocol


def text_lines(data):
    """A text's lines; a line feed at the end starts no further line."""
    lines = data.decode("utf-8", errors="replace").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def safe_relative(module):
    """The module path as a relative path inside the folder, or None."""
    path = module.replace("\\", "/")
    if not path or path.startswith("/") or any(part == ".." for part in path.split("/")):
        return None
    return path


class SourceFolder:
    def __init__(self, root):
        self.root = os.path.abspath(root)

    def path_of(self, module):
        relative = safe_relative(module)
        return None if relative is None else os.path.join(self.root, relative)

    def read(self, module):
        """The file's bytes, or None when the folder does not have it."""
        path = self.path_of(module)
        if path is None or not os.path.isfile(path):
            return None
        with open(path, "rb") as handle:
            return handle.read()

    def answer(self, module):
        """The answer to an M request: a source text, a compiled image
        (".jo"), or "&&&&"; and the file's path (None when not served)."""
        data = self.read(module)
        if data is None:
            return protocol.NOT_AVAILABLE, None
        if module.lower().endswith(".jo"):
            return protocol.image_text(data), self.path_of(module)
        return protocol.source_text(data), self.path_of(module)

    def lines(self, module):
        """The module's source lines (1-based list index + 1), or None."""
        if module.lower().endswith(".jo"):
            module = module[:-3] + ".js"  # the source it was compiled from
        data = self.read(module)
        if data is None:
            return None
        return text_lines(data)

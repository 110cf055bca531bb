"""Reading statement files, and the one-line messages every command prints about them. Each
message starts with the path, so that editors and `grep` can take it like a compiler's."""

from __future__ import annotations

import sys
from pathlib import Path
from typing import NamedTuple

import vexdal_py

from vexdal.charsets import parse_statement

# Exit statuses shared by every command.
OK, FAILED, CANNOT_READ = 0, 1, 2

# The file name that stands for standard input, as in most commands; ./- names a file called -.
STDIN = "-"


class FileFailure(Exception):
    """A file that a command cannot use: the line that says why and the exit status it calls for."""

    def __init__(self, line: str, status: int, cause: Exception) -> None:
        super().__init__(line)
        self.line = line
        self.status = status
        self.cause = cause


def cannot_read(path: Path | str, error: OSError) -> str:
    return f"vexdal: error: cannot read {path}: {error.strerror or error}"


def failure_line(path: Path | str, error: vexdal_py.ParseError) -> str:
    """`path:line: Name: message`, or `path: Name: message` when the failure has no line (a
    file that is no statement, or one cut short)."""
    lineno = getattr(getattr(error, "detail", None), "lineno", None)
    where = f"{path}:{lineno}" if isinstance(lineno, int) else f"{path}"
    return f"{where}: {type(error).__name__}: {error}"


def warning_line(path: Path | str, lineno: int, message: str) -> str:
    return f"{path}:{lineno}: warning: {message}"


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def encoding_line(path: Path | str, encoding: str) -> str:
    return f"{path}: encoding {encoding}"


def shown(name: str) -> str:
    """The name a file goes by in messages: standard input, named "-", is <stdin>."""
    return "<stdin>" if name == STDIN else name


class Read(NamedTuple):
    """A file the parser accepted: its statement, its encoding ("cp866" for a DOS file, which
    the parser was handed as text) and its bytes."""

    statement: vexdal_py.Statement
    encoding: str
    data: bytes


def read_statement(name: str) -> Read:
    """The parsed statement of the file named, or of standard input for "-"; or FileFailure."""
    try:
        data = sys.stdin.buffer.read() if name == STDIN else Path(name).read_bytes()
    except OSError as error:
        raise FileFailure(cannot_read(shown(name), error), CANNOT_READ, error) from None
    try:
        statement, encoding = parse_statement(data)
    except vexdal_py.ParseError as error:
        raise FileFailure(failure_line(shown(name), error), FAILED, error) from None
    return Read(statement, encoding, data)

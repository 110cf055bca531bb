"""`vexdal check`: many statements parsed side by side in worker processes, each checked
against the bank's own turnovers and balances. Workers get a path and send back a few lines'
worth; a Statement never crosses a process boundary."""

from __future__ import annotations

import importlib
import os
import signal
import stat
import sys
from concurrent.futures import ProcessPoolExecutor
from decimal import Decimal
from functools import partial
from pathlib import Path, PurePath
from types import ModuleType
from typing import Iterable, Iterator, NamedTuple, Sequence

import vexdal_py

from vexdal import requisites
from vexdal.charsets import parse_statement
from vexdal.cli.files import cannot_read, failure_line
from vexdal.cli.reconcile import SIDES, Balances, bank_turnover, totals
from vexdal.model import load
from vexdal.money import with_kopecks


class FileReport(NamedTuple):
    """What one file came to. Exactly one of `unreadable`, `failure` and `encoding` is set."""

    path: str
    unreadable: str | None = None
    failure: str | None = None
    encoding: str | None = None
    warnings: tuple[tuple[int, str], ...] = ()
    disagreements: tuple[str, ...] = ()
    requisites: tuple[str, ...] = ()


def matching(folder: Path, pattern: str) -> Iterator[Path]:
    """The files at any depth under folder whose paths end in pattern, in any letter case:
    banks' Windows exports are often named KL_TO_1C.TXT."""
    folded = pattern.lower()
    for path in folder.rglob("*"):
        if PurePath(str(path.relative_to(folder)).lower()).match(folded) and path.is_file():
            yield path


def gather(names: Sequence[str], pattern: str) -> tuple[list[str], list[str]]:
    """The files to check, sorted and each once, and a line for each name that cannot be read.
    Folders give the files under them whose names match pattern; files named are taken as they
    are, whatever their names."""
    found: set[str] = set()
    missing = []
    for name in names:
        path = Path(name)
        try:
            mode = path.stat().st_mode
        except OSError as error:
            missing.append(cannot_read(name, error))
            continue
        if stat.S_ISDIR(mode):
            found.update(str(p) for p in matching(path, pattern))
        else:
            found.add(str(path))
    return sorted(found), missing


def figure(value: Decimal | None) -> str:
    """An amount in a line of check's: no grouping, so that the line can be read back, and
    kopecks as the bank's own figures show them."""
    return "?" if value is None else f"{with_kopecks(value):f}"


def disagreements(path: str, statement: vexdal_py.Statement) -> list[str]:
    lines = []
    mine = {side: totals(statement, side) for side in SIDES}
    for number, account in statement.accounts.items():
        for side in SIDES:
            bank = bank_turnover(account, side)
            if bank is not None and bank != mine[side][number]:
                lines.append(f"{path}: account {number}: documents {side.name}"
                             f" {figure(mine[side][number])}, the bank says {figure(bank)}")
        for interval in account.intervals:
            balances = Balances.of(interval)
            if balances.gap():
                lines.append(
                    f"{path}: account {number} {interval.date_start}..{interval.date_end or ''}:"
                    f" opening {figure(balances.opening)} + credit {figure(balances.credited)}"
                    f" - debit {figure(balances.debited)} = {figure(balances.expected_closing())},"
                    f" the bank says closing {figure(balances.closing)}")
    return lines


def bad_requisites(path: str, data: bytes) -> list[str]:
    """A warning line for each bad requisite of each document, at the line that ends it."""
    lines = []
    for section in load(data).sections:
        if section.kind == "document":
            for problem in requisites.problems(dict(section.items)):
                lines.append(f"{path}:{section.end_lineno}: warning: {problem.key} "
                             f"{problem.value}: {problem.reason}")
    return lines


def check_file(path: str, with_requisites: bool = False) -> FileReport:
    """Runs in a worker: must not raise for anything a file can hold."""
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        return FileReport(path, unreadable=cannot_read(path, error))
    try:
        statement, encoding = parse_statement(data)
    except vexdal_py.ParseError as error:
        return FileReport(path, failure=failure_line(path, error))
    return FileReport(path, encoding=encoding, warnings=tuple(statement.warnings),
                      disagreements=tuple(disagreements(path, statement)),
                      requisites=tuple(bad_requisites(path, data) if with_requisites else ()))


def ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the main process alone stops the run, so that
    # workers do not each print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def check_all(paths: list[str], jobs: int,
              with_requisites: bool = False) -> Iterator[FileReport]:
    """Reports in the order of paths, whatever order the workers finish in."""
    check = partial(check_file, with_requisites=with_requisites)
    jobs = min(jobs, len(paths))
    if jobs <= 1:
        yield from with_progress(map(check, paths), len(paths))
        return
    # Several paths per task keep the traffic between processes small next to the parsing.
    chunksize = max(1, min(32, len(paths) // (jobs * 4)))
    with ProcessPoolExecutor(jobs, initializer=ignore_interrupts) as pool:
        reports = pool.map(check, paths, chunksize=chunksize)
        # The bar runs a thread of its own, so it starts only now that map has started every
        # worker: forking a process that has threads can deadlock the child.
        yield from with_progress(reports, len(paths))


def with_progress(reports: Iterable[FileReport], total: int) -> Iterator[FileReport]:
    """reports, drawing a bar on stderr meanwhile when stderr is a terminal and tqdm is
    installed. The bar clears itself at the end, so that the lines printed after it start on a
    clean line."""
    tqdm: ModuleType | None
    try:
        tqdm = importlib.import_module("tqdm")
    except ImportError:
        tqdm = None
    if tqdm is None or not sys.stderr.isatty():
        yield from reports
        return
    with tqdm.tqdm(total=total, unit="file", file=sys.stderr, leave=False) as bar:
        for report in reports:
            bar.update()
            yield report


def default_jobs() -> int:
    # The cores this process may run on, which a container or `taskset` can make fewer than the
    # machine's.
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1

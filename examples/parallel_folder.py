"""Adds up a folder of 1CClientBankExchange statements per account, on every core.

usage: python examples/parallel_folder.py [--jobs N] PATH [PATH ...]

Each PATH is a folder, searched at any depth for statement files (*.txt, in any letter case),
or a file, taken as it is. A pool of worker processes parses the files; a worker sends back
only a small summary of its file, never the parsed statement, and the summaries add up to:

- per account, the amounts credited and debited and the number of documents;
- the documents the parser skipped (a statement's warnings), with file and line;
- the files that gave no statement, with the exception, its message and the line.

A document is credited to an account when its payee's account (ПолучательСчет) is one of its
statement's own accounts, and debited when its payer's account (ПлательщикСчет) is; a transfer
between two of them counts on both. examples/dask_folder.py does the same work on a Dask
cluster, with the summary and report of this file. Exits with status 1 when a file failed, and
2 on bad arguments or when there are no files.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterable, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from decimal import Decimal, localcontext
from pathlib import Path
from typing import NamedTuple, Optional

import vexdal_py
from vexdal.money import EXACT, with_kopecks


class Failure(NamedTuple):
    """A file that gave no statement."""

    path: str
    error: str  # the exception's class name, e.g. "UnfinishedError"
    message: str
    line: Optional[int]  # where the parser stopped, when it says


class Skipped(NamedTuple):
    """A document the parser left out of its statement, from the statement's warnings."""

    path: str
    line: int
    message: str


@dataclass
class AccountTotals:
    credited: Decimal = Decimal(0)
    debited: Decimal = Decimal(0)
    documents: int = 0


@dataclass
class Totals:
    """What some statement files add up to. This, not a Statement, is what travels between
    processes: it is small, it pickles, and the totals of parts merge into those of the whole."""

    files: int = 0
    documents: int = 0
    unmatched: int = 0  # documents on none of their statement's accounts
    accounts: dict[str, AccountTotals] = field(default_factory=dict)
    skipped: list[Skipped] = field(default_factory=list)
    failures: list[Failure] = field(default_factory=list)


def summarize(path: str) -> Totals:
    """Reads and parses one file and keeps only its totals; runs in a worker."""
    totals = Totals(files=1)
    try:
        statement = vexdal_py.parse(Path(path).read_bytes())
    except (OSError, vexdal_py.ParseError) as exc:
        line = exc.detail.lineno if isinstance(exc, vexdal_py.SyntaxError) else None
        totals.failures.append(Failure(path, type(exc).__name__, str(exc), line))
        return totals

    ours = statement.accounts
    # Every account of the statement is listed, also one that no document touches.
    for number in ours:
        totals.accounts[number] = AccountTotals()
    totals.skipped.extend(Skipped(path, line, message) for line, message in statement.warnings)
    totals.documents = len(statement.documents)
    # Totals keep every digit: Python's default context stops at 28 significant digits and
    # would round a large sum without a word.
    with localcontext(EXACT):
        for doc in statement.documents:
            amount = Decimal(doc.amount)
            if doc.payee_account in ours:
                totals.accounts[doc.payee_account].credited += amount
            if doc.counterparty_account in ours:
                totals.accounts[doc.counterparty_account].debited += amount
            touched = {doc.payee_account, doc.counterparty_account} & ours.keys()
            for number in touched:
                totals.accounts[number].documents += 1
            if not touched:
                totals.unmatched += 1
    return totals


def merge(parts: Iterable[Totals]) -> Totals:
    """The totals of all the parts, in a new object: the parts are left as they are."""
    whole = Totals()
    with localcontext(EXACT):
        for part in parts:
            whole.files += part.files
            whole.documents += part.documents
            whole.unmatched += part.unmatched
            for number, account in part.accounts.items():
                sum_ = whole.accounts.setdefault(number, AccountTotals())
                sum_.credited += account.credited
                sum_.debited += account.debited
                sum_.documents += account.documents
            whole.skipped.extend(part.skipped)
            whole.failures.extend(part.failures)
    return whole


def statement_files(paths: Iterable[str]) -> list[str]:
    """The files to parse: a file as given, and the *.txt files under a folder, in name order.
    A path that does not exist is kept, so that it is reported as a failure like any other."""
    found: list[str] = []
    for name in paths:
        path = Path(name)
        if path.is_dir():
            found.extend(sorted(str(p) for p in path.rglob("*")
                                if p.suffix.lower() == ".txt" and p.is_file()))
        else:
            found.append(name)
    return found


def money(value: Decimal) -> str:
    """Groups thousands and shows kopecks; never rounds: a finer scale than 0.00 is kept, as a
    sum keeps the finer scale of its terms."""
    return f"{with_kopecks(value):,f}".replace(",", " ")


def print_report(totals: Totals) -> None:
    read = totals.files - len(totals.failures)
    print(f"Files: {totals.files} ({read} read, {len(totals.failures)} failed)")
    print(f"Documents: {totals.documents} read, {len(totals.skipped)} skipped, "
          f"{totals.unmatched} on none of their statement's accounts")

    print(f"\nAccounts: {len(totals.accounts)}")
    if totals.accounts:
        print(f"  {'account':<20}  {'credited':>18}  {'debited':>18}  {'documents':>9}")
    for number, account in sorted(totals.accounts.items()):
        print(f"  {number:<20}  {money(account.credited):>18}  {money(account.debited):>18}  "
              f"{account.documents:>9}")

    if totals.skipped:
        print(f"\nSkipped documents: {len(totals.skipped)} (not in the totals)")
    for skipped in sorted(totals.skipped):
        print(f"  {skipped.path} line {skipped.line}: {skipped.message}")

    if totals.failures:
        print(f"\nFailed files: {len(totals.failures)}")
    for failure in sorted(totals.failures, key=lambda f: f.path):
        where = "" if failure.line is None else f" at line {failure.line}"
        print(f"  {failure.path}: {failure.error}{where}: {failure.message}")


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Adds up 1CClientBankExchange statements per account, in worker processes.")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="a folder to search for *.txt statements, or a statement file")
    parser.add_argument("--jobs", type=positive, default=os.cpu_count() or 1,
                        help="worker processes (default: the number of cores)")
    args = parser.parse_args(argv)

    paths = statement_files(args.paths)
    if not paths:
        print("error: no *.txt files found", file=sys.stderr)
        return 2
    # A chunk of files per task spares the pool a round trip per file; a few chunks per
    # worker keep every worker busy to the end.
    chunksize = max(1, len(paths) // (args.jobs * 4))
    with ProcessPoolExecutor(max_workers=args.jobs) as pool:
        totals = merge(pool.map(summarize, paths, chunksize=chunksize))
    return report(totals)


def report(totals: Totals) -> int:
    """Prints the report and returns the exit status. A reader that stops early (`| head`)
    ends the output, not with a traceback."""
    try:
        print_report(totals)
        sys.stdout.flush()
    except BrokenPipeError:
        # Point stdout at nothing, so that the flush at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 1 if totals.failures else 0


if __name__ == "__main__":
    sys.exit(main())

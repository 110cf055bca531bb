"""`vexdal export`: the documents of many statements into one file for analysis, made in
parallel: Parquet or Arrow IPC through vexdal.read_documents' columns (pyarrow needed), CSV or
JSON Lines from parse() with nothing beyond the standard library."""

from __future__ import annotations

import argparse
import csv
import io
import json
import sys
from collections.abc import Iterable, Iterator
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, Optional

import vexdal_py
from vexdal.charsets import parse_statement
from vexdal.cli.check import gather, ignore_interrupts, with_progress
from vexdal.cli.export import DOCUMENT_FIELDS
from vexdal.cli.files import (CANNOT_READ, FAILED, OK, cannot_read, failure_line, warning_line)

FORMATS = ("parquet", "arrow", "csv", "jsonl")
# A CSV cell cannot tell an absent value from an empty one: `absent` names the fields the
# document does not have, as `vexdal csv` does.
CSV_HEADER = ("path", *DOCUMENT_FIELDS, "absent")


def text_rows(path: str, fmt: str) -> tuple[str, Optional[str], Optional[str], list[Any], str]:
    """Runs in a worker: (path, unreadable line, failure line, warnings, the file's rows as
    text in the format)."""
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        return path, cannot_read(path, error), None, [], ""
    try:
        statement, _ = parse_statement(data)  # DOS files too
    except vexdal_py.ParseError as error:
        return path, None, failure_line(path, error), [], ""
    out = io.StringIO()
    if fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        for doc in statement.documents:
            values = [getattr(doc, name) for name in DOCUMENT_FIELDS]
            absent = " ".join(n for n, v in zip(DOCUMENT_FIELDS, values) if v is None)
            writer.writerow([path, *("" if v is None else v for v in values), absent])
    else:
        for doc in statement.documents:
            record = {"path": path, **{name: getattr(doc, name) for name in DOCUMENT_FIELDS}}
            out.write(json.dumps(record, ensure_ascii=False) + "\n")
    return path, None, None, list(statement.warnings), out.getvalue()


def each_file(paths: list[str], fmt: str, jobs: int) -> Iterator[Any]:
    if min(jobs, len(paths)) <= 1:
        yield from with_progress((text_rows(p, fmt) for p in paths), len(paths))  # type: ignore
        return
    chunksize = max(1, min(32, len(paths) // (jobs * 4)))
    with ProcessPoolExecutor(jobs, initializer=ignore_interrupts) as pool:
        results = pool.map(text_rows, paths, [fmt] * len(paths), chunksize=chunksize)
        yield from with_progress(results, len(paths))  # type: ignore[arg-type]


def write_text(paths: list[str], args: argparse.Namespace) -> tuple[int, int, list[str]]:
    """(documents, status, lines for stderr)."""
    status, lines, rows = OK, [], 0
    with open(args.out, "w", encoding="utf-8", newline="") as out:
        if args.format == "csv":
            csv.writer(out, lineterminator="\n").writerow(CSV_HEADER)
        for path, unreadable, failure, warnings, text in each_file(paths, args.format,
                                                                    args.jobs):
            if unreadable or failure:
                lines.append(unreadable or failure)
                status = max(status, CANNOT_READ if unreadable else FAILED)
                continue
            lines.extend(warning_line(path, n, m) for n, m in warnings if not args.quiet)
            out.write(text)
            rows += text.count("\n") if args.format == "jsonl" else len(
                list(csv.reader(io.StringIO(text))))
    return rows, status, lines


def write_arrow(paths: list[str], args: argparse.Namespace) -> tuple[int, int, list[str]]:
    try:
        import pyarrow as pa
    except ImportError:
        print(f"vexdal: error: --format {args.format} needs pyarrow: "
              "pip install 'vexdal_py[arrow]'", file=sys.stderr)
        return 0, CANNOT_READ, []
    from vexdal.many import combine, file_tables

    results: Iterable[Any] = with_progress(file_tables(paths, None, args.jobs),  # type: ignore
                                           len(paths))
    read = combine(results, None)
    status, lines = OK, []
    for path, error in read.failures:
        if isinstance(error, OSError):
            lines.append(cannot_read(path, error))
            status = max(status, CANNOT_READ)
        else:
            lines.append(failure_line(path, error))
            status = max(status, FAILED)
    if not args.quiet:
        lines.extend(warning_line(p, n, m) for p, n, m in read.warnings)
    if args.format == "parquet":
        import pyarrow.parquet as pq

        pq.write_table(read.table, args.out)
    else:
        with pa.OSFile(str(args.out), "wb") as sink, \
                pa.ipc.new_file(sink, read.table.schema) as writer:
            writer.write_table(read.table)
    return read.table.num_rows, status, lines


def run_dataset(args: argparse.Namespace) -> int:
    paths, missing = gather(args.paths, args.glob)
    writer = write_arrow if args.format in ("parquet", "arrow") else write_text
    rows, status, lines = writer(paths, args)
    for line in [*missing, *sorted(lines)]:
        print(line, file=sys.stderr)
    if missing:
        status = CANNOT_READ
    if not args.quiet:
        print(f"{args.out}: {rows} documents from {len(paths)} files", file=sys.stderr)
    return status

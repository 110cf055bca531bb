"""vexdal.read_documents: the documents of many statement files as one table, parsed on a pool
of processes. Needs pyarrow, which carries each file's columns back from its process and puts
them together."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional, Union

import vexdal_py

from vexdal.tables import documents_table

__all__ = ["ReadResult", "read_documents", "statement_files"]

PathLike = Union[str, "os.PathLike[str]"]


@dataclass
class ReadResult:
    """What read_documents gives: one pyarrow.Table with a `path` column first, the files that
    could not be read or parsed (path and exception, as parse() or open() raised it), and the
    warnings of the others (path, lineno, message)."""

    table: Any
    failures: list[tuple[str, BaseException]] = field(default_factory=list)
    warnings: list[tuple[str, int, str]] = field(default_factory=list)

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self.table.__arrow_c_stream__(requested_schema)


def statement_files(paths: Iterable[PathLike]) -> list[str]:
    """The files to read: a file as given, and the *.txt files under a folder, in name order. A
    path that does not exist is kept, so that it is reported as a failure like any other."""
    found: list[str] = []
    for name in paths:
        path = Path(name)
        if path.is_dir():
            found.extend(sorted(str(p) for p in path.rglob("*")
                                if p.suffix.lower() == ".txt" and p.is_file()))
        else:
            found.append(str(name))
    return found


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        raise ImportError("vexdal.read_documents needs pyarrow: "
                          "pip install 'vexdal_py[arrow]'") from None
    return pyarrow


def _read_one(path: str, columns: Optional[Sequence[str]],
              spill: Optional[str]) -> tuple[str, Any, Any, list[Any]]:
    """(path, failure, table, warnings) of one file; a failure leaves the table None. With spill,
    a folder, the table is written there as an Arrow IPC file and its name stands for it: the
    process that asked maps the file rather than receive the columns through a pipe."""
    pa = _pyarrow()
    try:
        table = documents_table(Path(path).read_bytes(), columns)
    except (OSError, vexdal_py.ParseError) as exc:
        return path, exc, None, []
    arrow = pa.table(table)
    if spill is None:
        return path, None, arrow, table.warnings
    fd, name = tempfile.mkstemp(suffix=".arrow", dir=spill)
    with os.fdopen(fd, "wb") as sink, pa.ipc.new_file(sink, arrow.schema) as writer:
        writer.write_table(arrow)
    return path, None, name, table.warnings


def _read_many(paths: Sequence[str], columns: Optional[Sequence[str]],
               spill: Optional[str] = None) -> list[Any]:
    return [_read_one(path, columns, spill) for path in paths]


def _mapped(pa: Any, name: str) -> Any:
    """The table a worker spilled, mapped without a copy; the file goes at once, its pages stay
    as long as the table uses them."""
    table = pa.ipc.open_file(pa.memory_map(name)).read_all()
    os.unlink(name)
    return table


def _common_decimals(pa: Any, tables: list[Any]) -> Optional[Any]:
    """The schema every table is cast to: each decimal column at the largest scale any file
    has in it. None when the tables already agree."""
    if not tables:
        return None
    fields = []
    for i, first in enumerate(tables[0].schema):
        if pa.types.is_decimal(first.type):
            scale = max(table.schema.field(i).type.scale for table in tables)
            fields.append(first.with_type(pa.decimal128(38, scale)))
        else:
            fields.append(first)
    schema = pa.schema(fields)
    return None if all(table.schema == schema for table in tables) else schema


def file_tables(names: Sequence[str], columns: Optional[Sequence[str]],
                jobs: Optional[int]) -> Iterator[tuple[str, Any, Any, list[Any]]]:
    """(path, failure, pyarrow.Table, warnings) for each file, in the order of names, parsed by
    jobs processes (default: the cores); a failure leaves the table None."""
    pa = _pyarrow()
    jobs = max(1, jobs if jobs is not None else os.cpu_count() or 1)
    if jobs == 1 or len(names) <= 1:
        for name in names:
            yield _read_one(name, columns, None)
        return
    # Files go in runs, a few per process and round, so that a pool of thousands of small files
    # is not all messages.
    per_task = max(1, min(16, len(names) // (jobs * 4)))
    runs = [names[i:i + per_task] for i in range(0, len(names), per_task)]
    with tempfile.TemporaryDirectory(prefix="vexdal-") as spill, \
            ProcessPoolExecutor(max_workers=jobs) as pool:
        for run in pool.map(_read_many, runs, [columns] * len(runs), [spill] * len(runs)):
            for path, failure, name, warnings in run:
                yield path, failure, None if name is None else _mapped(pa, name), warnings


def read_documents(paths: Iterable[PathLike] | PathLike, *,
                   columns: Optional[Iterable[str]] = None,
                   jobs: Optional[int] = None) -> ReadResult:
    """The documents of every statement among paths (files, and the *.txt files under folders)
    as one pyarrow.Table: a `path` column, then the columns of documents_table(data, columns),
    the files in name order and each file's documents in order. Amount columns take the
    largest scale of any file; a file whose amount cannot be held at that scale joins the
    failures with vexdal_py.ParseError. jobs processes parse the files (default: the cores)."""
    _pyarrow()
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    names = statement_files(paths)
    column_list = None if columns is None else list(columns)
    return combine(file_tables(names, column_list, jobs), column_list)


def combine(results: Iterable[tuple[str, Any, Any, list[Any]]],
            column_list: Optional[Sequence[str]]) -> ReadResult:
    """The tables of file_tables as one, with the failures and warnings."""
    pa = _pyarrow()
    outcome = ReadResult(table=None)
    tables, kept = [], []
    for path, failure, table, warnings in results:
        if failure is not None:
            outcome.failures.append((path, failure))
            continue
        tables.append(table)
        kept.append(path)
        outcome.warnings.extend((path, lineno, message) for lineno, message in warnings)
    schema = _common_decimals(pa, tables)
    if schema is not None:
        cast = []
        for path, table in zip(kept, tables):
            try:
                cast.append((path, table.cast(schema)))
            except pa.ArrowInvalid as exc:
                outcome.failures.append((path, vexdal_py.ParseError(
                    f"an amount cannot be held exactly at the scale of the other files: {exc}")))
        kept, tables = [p for p, _ in cast], [t for _, t in cast]
    if not tables:
        tables = [pa.table(documents_table(_ONE_DOCUMENT, column_list)).slice(0, 0)]
    table = pa.concat_tables(tables)
    lengths = [t.num_rows for t in tables] if kept else [0]
    indices = pa.array([i for i, n in enumerate(lengths) for i in [i] * n], pa.int32())
    path_column = pa.array(kept or [""], pa.string()).take(indices)
    outcome.table = table.add_column(0, pa.field("path", pa.string(), nullable=False),
                                     path_column)
    return outcome


# A statement of one document with every required key, whose table with no rows gives the
# columns for a set of files none of which could be read.
_ONE_DOCUMENT = "\n".join([
    "1CClientBankExchange", "СекцияДокумент=Платежное поручение", "Номер=1", "Дата=01.01.2024",
    "Сумма=0", "НазначениеПлатежа=", "ПлательщикИНН=", "ПлательщикБИК=", "ПлательщикБанк1=",
    "ПлательщикСчет=", "ПолучательИНН=", "ПолучательСчет=", "ПолучательБИК=",
    "ПолучательБанк1=", "КонецДокумента", "КонецФайла", ""])

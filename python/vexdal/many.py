"""vexdal.read_documents: the documents of many statement files as one table, parsed on a pool
of threads. Needs pyarrow, which takes each file's columns and puts them together."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Optional, Union

import vexdal_py

from vexdal.tables import documents_table

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["ReadResult", "read_documents", "statement_files"]

PathLike = Union[str, "os.PathLike[str]"]
# Why a file is left out: open() could not read it, or parse() refused it (or an amount of it
# cannot be held at the scale of the others).
Failure = Union[OSError, vexdal_py.ParseError]
# What file_tables gives for each file: (path, failure, table, warnings); a failure leaves the
# table None.
FileTable = tuple[str, Optional[Failure], "Optional[pa.Table]", list[tuple[int, str]]]


@dataclass
class ReadResult:
    """What read_documents gives: one pyarrow.Table with a `path` column first, the files that
    could not be read or parsed (path and exception, as parse() or open() raised it), and the
    warnings of the others (path, lineno, message)."""

    table: pa.Table
    failures: list[tuple[str, Failure]] = field(default_factory=list)
    warnings: list[tuple[str, int, str]] = field(default_factory=list)

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        # pyarrow's stubs leave the method unannotated (without pyarrow, mypy sees no call); it
        # returns a PyCapsule.
        stream = self.table.__arrow_c_stream__
        return stream(requested_schema)  # type: ignore[no-untyped-call, unused-ignore]


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


def _need_pyarrow() -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise ImportError("vexdal.read_documents needs pyarrow: "
                          "pip install 'vexdal_py[arrow]'") from None


def _read_one(path: str, columns: Optional[Sequence[str]]) -> FileTable:
    """(path, failure, table, warnings) of one file; a failure leaves the table None."""
    _need_pyarrow()
    import pyarrow as pa

    try:
        table = documents_table(Path(path).read_bytes(), columns)
    except (OSError, vexdal_py.ParseError) as exc:
        return path, exc, None, []
    return path, None, pa.table(table), table.warnings


def _common_decimals(tables: list[pa.Table]) -> Optional[pa.Schema]:
    """The schema every table is cast to: each decimal column at the largest scale any file
    has in it. None when the tables already agree."""
    import pyarrow as pa

    if not tables:
        return None
    fields: list[pa.Field[pa.DataType]] = []
    for i, first in enumerate(tables[0].schema):
        if isinstance(first.type, pa.Decimal128Type):
            scale = max(_scale(table.schema.field(i).type) for table in tables)
            fields.append(first.with_type(pa.decimal128(38, scale)))
        else:
            fields.append(first)
    schema = pa.schema(fields)
    return None if all(table.schema == schema for table in tables) else schema


def _scale(data_type: pa.DataType) -> int:
    """The scale of an amount column, decimal128 in every file's table."""
    import pyarrow as pa

    if not isinstance(data_type, pa.Decimal128Type):
        raise TypeError(f"an amount column of type {data_type}, not decimal128")
    scale: int = data_type.scale
    return scale


def file_tables(names: Sequence[str], columns: Optional[Sequence[str]],
                jobs: Optional[int]) -> Iterator[FileTable]:
    """(path, failure, pyarrow.Table, warnings) for each file, in the order of names, parsed by
    jobs threads (default: the cores); a failure leaves the table None."""
    _need_pyarrow()
    jobs = max(1, jobs if jobs is not None else os.cpu_count() or 1)
    if jobs == 1 or len(names) <= 1:
        for name in names:
            yield _read_one(name, columns)
        return
    # Threads, not processes: reading the file, the parse and the building of the Arrow columns
    # all run without the interpreter lock, so threads parse side by side, and every table stays
    # where it was made. Processes had to copy each table back to the caller (through a file
    # it maps), which cost the workers some 40 % more CPU than the parse and ate most of the
    # gain of a second core.
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        yield from pool.map(lambda name: _read_one(name, columns), names)


def read_documents(paths: Iterable[PathLike] | PathLike, *,
                   columns: Optional[Iterable[str]] = None,
                   jobs: Optional[int] = None) -> ReadResult:
    """The documents of every statement among paths (files, and the *.txt files under folders)
    as one pyarrow.Table: a `path` column, then the columns of documents_table(data, columns),
    the files in name order and each file's documents in order. Amount columns take the
    largest scale of any file; a file whose amount cannot be held at that scale joins the
    failures with vexdal_py.ParseError. jobs processes parse the files (default: the cores)."""
    _need_pyarrow()
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    names = statement_files(paths)
    column_list = None if columns is None else list(columns)
    return combine(file_tables(names, column_list, jobs), column_list)


def combine(results: Iterable[FileTable],
            column_list: Optional[Sequence[str]]) -> ReadResult:
    """The tables of file_tables as one, with the failures and warnings."""
    _need_pyarrow()
    import pyarrow as pa

    failures: list[tuple[str, Failure]] = []
    warnings_of: list[tuple[str, int, str]] = []
    tables: list[pa.Table] = []
    kept: list[str] = []
    for path, failure, table, warnings in results:
        if failure is not None or table is None:
            assert failure is not None  # a table is left out only with its failure
            failures.append((path, failure))
            continue
        tables.append(table)
        kept.append(path)
        warnings_of.extend((path, lineno, message) for lineno, message in warnings)
    schema = _common_decimals(tables)
    if schema is not None:
        cast: list[tuple[str, pa.Table]] = []
        for path, table in zip(kept, tables):
            try:
                cast.append((path, table.cast(schema)))
            except pa.ArrowInvalid as exc:
                failures.append((path, vexdal_py.ParseError(
                    f"an amount cannot be held exactly at the scale of the other files: {exc}")))
        kept, tables = [p for p, _ in cast], [t for _, t in cast]
    if not tables:
        tables = [pa.table(documents_table(_ONE_DOCUMENT, column_list)).slice(0, 0)]
    table = pa.concat_tables(tables)
    # A piece of the path column per file, each one path repeated: no Python object per row.
    path_column = pa.chunked_array(
        [pa.repeat(pa.scalar(path, pa.string()), t.num_rows) for path, t in zip(kept, tables)],
        pa.string())
    return ReadResult(table.add_column(0, pa.field("path", pa.string(), nullable=False),
                                       path_column), failures, warnings_of)


# A statement of one document with every required key, whose table with no rows gives the
# columns for a set of files none of which could be read.
_ONE_DOCUMENT = "\n".join([
    "1CClientBankExchange", "СекцияДокумент=Платежное поручение", "Номер=1", "Дата=01.01.2024",
    "Сумма=0", "НазначениеПлатежа=", "ПлательщикИНН=", "ПлательщикБИК=", "ПлательщикБанк1=",
    "ПлательщикСчет=", "ПолучательИНН=", "ПолучательСчет=", "ПолучательБИК=",
    "ПолучательБанк1=", "КонецДокумента", "КонецФайла", ""])

"""vexdal.dask.read_documents: the documents of many statement files as one Dask dataframe,
through dask.dataframe.from_map, a partition per group of files. Needs dask[dataframe] and
pyarrow; each worker reads and parses its own files, so only paths travel to it.

The columns are pandas ArrowDtype columns, the table's own Arrow types, so nothing is converted
on the way: to_parquet writes them as they are. Every amount column has the one scale given
(`scale`, 4 by default), since a dataframe's partitions share their types while the files'
amounts may be written with any scale; a file with an amount that does not fit it fails."""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from typing import Any, Optional, Union

import vexdal_py

from vexdal.many import _ONE_DOCUMENT, read_documents as _read_documents, statement_files
from vexdal.tables import documents_table

__all__ = ["read_documents"]

PathLike = Union[str, "os.PathLike[str]"]


def _paths(paths_or_glob: Union[PathLike, Iterable[PathLike]]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        name = os.fspath(paths_or_glob)
        if glob.has_magic(name):
            return sorted(glob.glob(name, recursive=True))
        paths_or_glob = [name]
    return statement_files(paths_or_glob)


def _schema(columns: Optional[Sequence[str]], scale: int) -> Any:
    """The partitions' Arrow schema: path, then the table's columns, amounts at scale."""
    import pyarrow as pa

    empty = pa.table(documents_table(_ONE_DOCUMENT, columns)).schema
    fields = [pa.field("path", pa.string(), nullable=False)]
    for field in empty:
        fields.append(field.with_type(pa.decimal128(38, scale))
                      if pa.types.is_decimal(field.type) else field)
    return pa.schema(fields)


def _frame(table: Any) -> Any:
    import pandas as pd

    return table.to_pandas(types_mapper=pd.ArrowDtype)


class _Partition:
    """Reads one group of files into a pandas DataFrame; one object, sent to every worker, holds
    what the groups share."""

    def __init__(self, columns: Optional[Sequence[str]], scale: int, errors: str) -> None:
        self.columns = columns
        self.scale = scale
        self.errors = errors

    def __call__(self, paths: Sequence[str]) -> Any:
        import pyarrow as pa

        read = _read_documents(list(paths), columns=self.columns, jobs=1)
        if read.failures and self.errors == "raise":
            path, failure = read.failures[0]
            raise vexdal_py.ParseError(
                f"{path}: {type(failure).__name__}: {failure}") from failure
        try:
            table = read.table.cast(_schema(self.columns, self.scale))
        except pa.ArrowInvalid as exc:
            raise vexdal_py.ParseError(f"an amount of {', '.join(paths)} does not fit "
                                       f"decimal128(38, {self.scale}): {exc}") from None
        return _frame(table)


def read_documents(paths_or_glob: Union[PathLike, Iterable[PathLike]],
                   columns: Optional[Iterable[str]] = None, *, files_per_partition: int = 16,
                   scale: int = 4, errors: str = "raise") -> Any:
    """A dask.dataframe.DataFrame of the documents of every statement named: a glob pattern
    ("statements/**/*.txt"), or paths of files and folders (whose *.txt files are read), in
    name order. The columns are `path`, then those of vexdal.documents_table(data, columns),
    with `meta` taken from its schema. errors="raise" fails the computation at the first file
    that cannot be read or parsed, naming it; errors="skip" leaves such files out (read them
    with vexdal.read_documents to see why)."""
    import dask.dataframe as dd

    if errors not in ("raise", "skip"):
        raise ValueError(f'errors must be "raise" or "skip", not {errors!r}')
    if files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    column_list = None if columns is None else list(columns)
    names = _paths(paths_or_glob)
    groups = [names[i:i + files_per_partition]
              for i in range(0, len(names), files_per_partition)]
    meta = _frame(_schema(column_list, scale).empty_table())
    if not groups:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(_Partition(column_list, scale, errors), [tuple(g) for g in groups],
                       meta=meta, label="vexdal-documents", enforce_metadata=False)

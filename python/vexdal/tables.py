"""Statements as tables: the documents, or the intervals of the accounts, as Arrow columns made
in C++ straight from the parser's records (`vexdal._columns`), never through Python objects.

A table implements the Arrow PyCapsule interface (`__arrow_c_stream__`, `__arrow_c_schema__`,
`__arrow_c_array__`), so pyarrow, Polars, DuckDB and pandas (through pyarrow) read it without a
copy, and this module needs none of them: `to_pyarrow()`, `to_polars()` and `to_pandas()` import
theirs only when called.

Types: texts are Arrow `utf8`; dates `date32`, null where absent; amounts `decimal128(38, s)`,
`s` the largest scale written in the column, so that no amount changes. Absent optional fields
are null; a key present with an empty value is "".

A DOS file (code page 866, declared in its header), which the parser refuses as it stands, is
transcoded and its text made into the table, as vexdal.parse_statement does; the declaration is
looked for only in a file the parser refused, so other files cost nothing more.
"""

from __future__ import annotations

import inspect
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Callable, NoReturn, Optional

import vexdal_py

from vexdal import _columns
from vexdal.charsets import dos_text

if TYPE_CHECKING:
    import pandas
    import polars
    import pyarrow

__all__ = ["Table", "documents_table", "intervals_table", "DOCUMENT_COLUMNS", "INTERVAL_COLUMNS"]

# The Document attributes in the order the class defines them: the default columns.
DOCUMENT_COLUMNS: tuple[str, ...] = tuple(
    name for name, value in vars(vexdal_py.Document).items()
    if not name.startswith("_") and inspect.isdatadescriptor(value))
INTERVAL_COLUMNS: tuple[str, ...] = ("account", "date_start", "date_end", "start_amount",
                                     "end_amount", "total_income", "total_expense")


class Table:
    """Columns of one parsed statement. `warnings` are the statement's, the same
    (lineno, message) pairs as parse() gives."""

    __slots__ = ("_columns",)

    def __init__(self, columns: _columns.Columns) -> None:
        self._columns = columns

    @property
    def num_rows(self) -> int:
        return self._columns.num_rows

    @property
    def column_names(self) -> list[str]:
        return list(self._columns.column_names)

    @property
    def warnings(self) -> list[tuple[int, str]]:
        return self._columns.warnings

    @property
    def accounts(self) -> list[str]:
        """The statement's account numbers, in the order of parse().accounts: what tells a
        document's direction."""
        return list(self._columns.accounts)

    def __len__(self) -> int:
        return self._columns.num_rows

    def __repr__(self) -> str:
        return f"<vexdal.Table: {self.num_rows} rows, {len(self._columns.column_names)} columns>"

    def __arrow_c_schema__(self) -> object:
        return self._columns.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._columns.__arrow_c_stream__(requested_schema)

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        return self._columns.__arrow_c_array__(requested_schema)

    def to_pyarrow(self) -> pyarrow.Table:
        """A pyarrow.Table (needs pyarrow)."""
        import pyarrow

        return pyarrow.table(self)

    def to_polars(self) -> polars.DataFrame:
        """A polars.DataFrame (needs Polars)."""
        import polars

        return polars.DataFrame(self)

    def to_pandas(self, **kwargs: Any) -> pandas.DataFrame:
        """A pandas.DataFrame through pyarrow (needs both); keyword arguments go to
        pyarrow.Table.to_pandas. Amounts come as decimal.Decimal objects and dates as
        datetime.date objects unless the arguments ask otherwise."""
        return self.to_pyarrow().to_pandas(**kwargs)


def _raise_parse_failure(data: bytes | str) -> NoReturn:
    """Raises what parse() raises for data, which the table's own parse refused: the same class,
    message and detail, worded in one place. Only a failing parse runs twice."""
    vexdal_py.parse(data)
    raise RuntimeError("the table's parse failed where parse() succeeds")


def _column_names(columns: Optional[Iterable[str]]) -> tuple[str, ...]:
    if columns is None:
        return DOCUMENT_COLUMNS
    if isinstance(columns, str):
        raise TypeError("columns must be an iterable of str, not a str")
    names = tuple(columns)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"columns must be str, not {type(name).__name__}")
        if not name:
            raise ValueError("a column name must not be empty")
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise ValueError(f"column {name!r} is named twice")
        seen.add(name)
    return names


def documents_table(data: bytes | str, columns: Optional[Iterable[str]] = None, *,
                    amounts: str = "decimal") -> Table:
    """The statement's documents as a table, one row per document of parse(data).documents,
    in order. A DOS (code page 866) file is read as vexdal.parse_statement reads it. Raises
    what parse() raises for data.

    columns: by default the 26 Document attributes in the class's order; else those named,
    each a Document attribute or any other key of a document section as written in the file
    (ПоказательКБК, ОКАТО, Код...), which comes as a text column named by that key.

    amounts: "decimal" gives decimal128(38, s) columns, s the largest scale written in the
    column; an amount that such a column cannot hold exactly raises vexdal_py.ParseError
    naming its line. "text" gives each amount as parse() writes it, with the scale it was
    written with, for any amount the parser reads."""
    if amounts not in ("decimal", "text"):
        raise ValueError(f'amounts must be "decimal" or "text", not {amounts!r}')
    names = _column_names(columns)
    return _made(data, _columns.documents, names, amounts == "text")


def _made(data: bytes | str, make: Callable[..., Optional[_columns.Columns]],
          *args: Any) -> Table:
    """The table make(data, *args) gives; for a DOS file, which the parser refuses as it
    stands, the table of its text transcoded from cp866, as vexdal.parse_statement reads it.
    Only a refused file is looked at for a DOS declaration. (No function is made here, as a
    lambda would be: CPython 3.12 and 3.13.0 release the code object twice when making a
    function runs out of memory, and the interpreter then fails far from the cause.)"""
    made = make(data, *args)
    if made is None:
        text = dos_text(data) if isinstance(data, bytes) else None
        if text is None:
            _raise_parse_failure(data)
        data = text
        made = make(data, *args)
        if made is None:
            _raise_parse_failure(data)
    return Table(made)


def intervals_table(data: bytes | str) -> Table:
    """One row per interval of the statement's accounts, in the order of parse(data).accounts
    and of their intervals: the account number, then the interval's six fields. A DOS file is
    read as in documents_table. Raises what parse() raises for data."""
    return _made(data, _columns.intervals)

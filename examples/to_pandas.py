"""Puts the payment documents of a 1CClientBankExchange statement into a pandas DataFrame.

usage: python examples/to_pandas.py STATEMENT_FILE

documents_frame(data) is for your own code (put examples/ on the import path, or copy the
file): one row per document, a column per field of vexdal_py.Document in the order of its
table in the README, then two columns of its own. No column is float, so no amount is rounded:

  doc_date, outcome_date, income_date  datetime64[ns], NaT where the document has no such date
  amount                               decimal.Decimal objects (object dtype); format(value, "f")
                                       gives back the text the parser returned
  the other fields                     pandas "string", <NA> where the key is absent
  direction                            "credit" when the payee's account is one of the
                                       statement's accounts, "debit" when the payer's is,
                                       "transfer" when both are, "neither" when neither is
  other_party                          where a credit came from or a debit went to: the name,
                                       else "ИНН" and the INN; "own accounts" for a transfer,
                                       "payer → payee" for neither

datetime64[ns] holds the days from 1677-09-22 to 2262-04-11; documents_frame raises ValueError
for a date outside them rather than lose it (01.02.23 is the year 23: a hook can add the
century).
turnover(frame) sums the amounts per other party and direction.

main prints the first documents, that turnover, and the documents the parser skipped (a
statement's warnings), which neither holds. The columns come from vexdal.documents_table(),
made in C++ without a Python object per value. Needs pandas and pyarrow: pip install
'vexdal_py[examples]'. Exits with status 1 when the file is not a statement the parser accepts
or holds such a date, and 2 when it cannot be read.
"""

from __future__ import annotations

import argparse
import datetime
import sys
from collections.abc import Sequence
from decimal import Decimal, localcontext
from pathlib import Path
from typing import Optional

import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

import vexdal
import vexdal_py
from vexdal.money import EXACT

# The document's fields in the order of the README's table, the columns of documents_table.
FIELDS = vexdal.tables.DOCUMENT_COLUMNS
DATES = {"doc_date", "outcome_date", "income_date"}
# The whole days datetime64[ns] holds.
FIRST_DAY, LAST_DAY = "1677-09-22", "2262-04-11"
DIRECTIONS = ("credit", "debit", "transfer", "neither")
# pandas' own string dtype, the same from pandas 1.5 on: missing values are <NA>, never NaN.
TEXT = "string"
HEAD_COLUMNS = ["doc_date", "doc_number", "amount", "direction", "other_party"]


def sides(row: dict[str, Optional[str]], accounts: set[str]) -> tuple[str, str]:
    """The document's direction for the statement's accounts, and the party on the other side.
    Payer and payee keys are fixed by the format, whichever side is ours."""
    payer = row["counterparty"] or row["counterparty_1"] or f"ИНН {row['counterparty_inn']}"
    payee = row["payee"] or f"ИНН {row['payee_inn']}"
    credit = row["payee_account"] in accounts
    debit = row["counterparty_account"] in accounts
    if credit and debit:
        return "transfer", "own accounts"
    if credit:
        return "credit", payer
    if debit:
        return "debit", payee
    return "neither", f"{payer} → {payee}"


def check_dates(data: bytes | str, table: pa.Table) -> None:
    """Raises ValueError for the first date that datetime64[ns] cannot hold."""
    first, last = (datetime.date.fromisoformat(day) for day in (FIRST_DAY, LAST_DAY))
    for name in FIELDS:
        if name not in DATES:
            continue
        column = table.column(name)
        outside = pc.or_(pc.less(column, pa.scalar(first, pa.date32())),
                         pc.greater(column, pa.scalar(last, pa.date32())))
        row = pc.index(outside, True).as_py()
        if row >= 0:
            # A date out of datetime's own range has no Python form: the parser's text says it.
            doc = vexdal_py.parse(data).documents[row]
            raise ValueError(f"{name} {getattr(doc, name)} of document {doc.doc_number} is "
                             f"outside the days datetime64[ns] can hold, {FIRST_DAY} to "
                             f"{LAST_DAY}")


def documents_frame(data: bytes | str) -> pd.DataFrame:
    """One row per document of the statement; the columns are described at the top of this
    file. Raises what vexdal_py.parse() raises, and ValueError for a date that datetime64[ns]
    cannot hold."""
    return table_frame(data, vexdal.documents_table(data, amounts="text"))


def table_frame(data: bytes | str, documents: vexdal.Table) -> pd.DataFrame:
    """documents_frame's frame from the statement's table, made with amounts="text"."""
    table = documents.to_pyarrow()
    check_dates(data, table)
    frame: pd.DataFrame = table.to_pandas(date_as_object=False,
                                          types_mapper={pa.string(): pd.StringDtype()}.get)
    for name in DATES:
        # pyarrow gives days as datetime64[ms]: the same days in the dtype pandas 2 and 3 share.
        frame[name] = frame[name].astype("datetime64[ns]")
    # Amounts as the parser wrote them, each with its own scale, so that format(value, "f")
    # gives the text back.
    frame["amount"] = pd.Series([Decimal(text) for text in table.column("amount").to_pylist()],
                                dtype=object)
    accounts = set(documents.accounts)
    pairs = [sides(row, accounts) for row in table.select(
        ["counterparty", "counterparty_1", "counterparty_inn", "payee", "payee_inn",
         "payee_account", "counterparty_account"]).to_pylist()]
    frame["direction"] = pd.Series([direction for direction, _ in pairs], dtype=TEXT)
    frame["other_party"] = pd.Series([party for _, party in pairs], dtype=TEXT)
    return frame


def turnover(frame: pd.DataFrame) -> pd.DataFrame:
    """The sum of the amounts per other party (rows) and direction (columns), as Decimals;
    0.00 where a party has no document in that direction."""
    # Sums keep every digit: Python's default context stops at 28 significant digits and would
    # round without a word.
    with localcontext(EXACT):
        sums = frame.groupby(["other_party", "direction"])["amount"].sum()
    # pandas takes any scalar as fill_value; pandas-stubs list only a few types.
    table = sums.unstack("direction", fill_value=Decimal("0.00"))  # type: ignore[arg-type]
    return table[[d for d in DIRECTIONS if d in table.columns]]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Prints the documents of a 1CClientBankExchange statement as a pandas "
        "DataFrame, and the turnover per other party and direction.")
    parser.add_argument("path", metavar="STATEMENT_FILE")
    path = Path(parser.parse_args(argv).path)
    try:
        data = path.read_bytes()
    except OSError as exc:
        print(f"error: cannot read {path}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    try:
        documents = vexdal.documents_table(data, amounts="text")
        frame = table_frame(data, documents)
    except (vexdal_py.ParseError, ValueError) as exc:
        where = f" at line {exc.detail.lineno}" if isinstance(exc, vexdal_py.SyntaxError) else ""
        print(f"error: {path}{where}: {exc}", file=sys.stderr)
        return 1

    print(f"{path}, documents: {len(frame)}\n")
    print(frame[HEAD_COLUMNS].head(10).to_string(index=False))
    print("\nTurnover per other party and direction:\n")
    print(turnover(frame).to_string() if len(frame) else "(no documents)")
    # The parser leaves out a document it cannot read: totals without it must say so.
    if documents.warnings:
        print(f"\nSkipped documents: {len(documents.warnings)} (not in the frame or the turnover)")
    for lineno, message in documents.warnings:
        print(f"  line {lineno}: {message}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Puts the payment documents of a 1CClientBankExchange statement into a pandas DataFrame.

usage: python examples/to_pandas.py STATEMENT_FILE

documents_frame(statement) is for your own code (put examples/ on the import path, or copy the
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
statement's warnings), which neither holds. Needs pandas: pip install
'vexdal_py[examples]'. Exits with status 1 when the file is not a statement the parser accepts
or holds such a date, and 2 when it cannot be read.
"""

from __future__ import annotations

import argparse
import inspect
import sys
from collections.abc import Sequence
from decimal import Decimal, localcontext
from pathlib import Path
from typing import Optional

import pandas as pd

import vexdal_py
from vexdal.money import EXACT

# The document's fields in the order of the README's table, read from the class, so that a
# field the parser gains becomes a column without an edit here.
FIELDS = tuple(name for name, value in vars(vexdal_py.Document).items()
               if not name.startswith("_") and inspect.isdatadescriptor(value))
DATES = {"doc_date", "outcome_date", "income_date"}
# The whole days datetime64[ns] holds. Dates come as YYYY-MM-DD with four-digit years, so their
# texts sort as the days do.
FIRST_DAY, LAST_DAY = "1677-09-22", "2262-04-11"
DIRECTIONS = ("credit", "debit", "transfer", "neither")
# pandas' own string dtype, the same from pandas 1.5 on: missing values are <NA>, never NaN.
TEXT = "string"
HEAD_COLUMNS = ["doc_date", "doc_number", "amount", "direction", "other_party"]


def sides(doc: vexdal_py.Document, accounts: dict[str, vexdal_py.Account]) -> tuple[str, str]:
    """The document's direction for the statement's accounts, and the party on the other side.
    Payer and payee keys are fixed by the format, whichever side is ours."""
    payer = doc.counterparty or doc.counterparty_1 or f"ИНН {doc.counterparty_inn}"
    payee = doc.payee or f"ИНН {doc.payee_inn}"
    credit = doc.payee_account in accounts
    debit = doc.counterparty_account in accounts
    if credit and debit:
        return "transfer", "own accounts"
    if credit:
        return "credit", payer
    if debit:
        return "debit", payee
    return "neither", f"{payer} → {payee}"


def date_column(name: str, docs: list[vexdal_py.Document]) -> pd.Series:
    texts: list[Optional[str]] = [getattr(doc, name) for doc in docs]
    for doc, text in zip(docs, texts):
        if text is not None and not FIRST_DAY <= text <= LAST_DAY:
            raise ValueError(f"{name} {text} of document {doc.doc_number} is outside the days "
                             f"datetime64[ns] can hold, {FIRST_DAY} to {LAST_DAY}")
    # pandas 2 reads such texts to nanoseconds and pandas 3 to microseconds: one dtype for both.
    dates = pd.to_datetime(pd.Series(texts, dtype=object), format="%Y-%m-%d")
    return dates.astype("datetime64[ns]")


def documents_frame(statement: vexdal_py.Statement) -> pd.DataFrame:
    """One row per document of the statement; the columns are described at the top of this
    file. Raises ValueError for a date that datetime64[ns] cannot hold."""
    docs = statement.documents
    columns: dict[str, pd.Series] = {}
    for name in FIELDS:
        if name in DATES:
            columns[name] = date_column(name, docs)
        elif name == "amount":
            columns[name] = pd.Series([Decimal(doc.amount) for doc in docs], dtype=object)
        else:
            columns[name] = pd.Series([getattr(doc, name) for doc in docs], dtype=TEXT)
    pairs = [sides(doc, statement.accounts) for doc in docs]
    columns["direction"] = pd.Series([direction for direction, _ in pairs], dtype=TEXT)
    columns["other_party"] = pd.Series([party for _, party in pairs], dtype=TEXT)
    return pd.DataFrame(columns)


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
        statement = vexdal_py.parse(data)
        frame = documents_frame(statement)
    except (vexdal_py.ParseError, ValueError) as exc:
        where = f" at line {exc.detail.lineno}" if isinstance(exc, vexdal_py.SyntaxError) else ""
        print(f"error: {path}{where}: {exc}", file=sys.stderr)
        return 1

    print(f"{path}, documents: {len(frame)}\n")
    print(frame[HEAD_COLUMNS].head(10).to_string(index=False))
    print("\nTurnover per other party and direction:\n")
    print(turnover(frame).to_string() if len(frame) else "(no documents)")
    # The parser leaves out a document it cannot read: totals without it must say so.
    if statement.warnings:
        print(f"\nSkipped documents: {len(statement.warnings)} (not in the frame or the turnover)")
    for lineno, message in statement.warnings:
        print(f"  line {lineno}: {message}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

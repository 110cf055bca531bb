"""`vexdal json` and `vexdal csv`: a statement as data for other programs. Every value stays the
parser's text, so amounts keep their scale and nothing passes through a float."""

from __future__ import annotations

import csv
import inspect
import json
from typing import TextIO

import vexdal_py


def attributes(cls: type) -> tuple[str, ...]:
    """The class's public attributes in the order the module defines them, for a Document the
    order of its fields in the README's table. Read from the class, so that a field the parser
    gains reaches the JSON and the CSV without an edit here."""
    return tuple(name for name, value in vars(cls).items()
                 if not name.startswith("_") and inspect.isdatadescriptor(value))


DOCUMENT_FIELDS = attributes(vexdal_py.Document)
INTERVAL_FIELDS = attributes(vexdal_py.Interval)

# The CSV columns after the document's fields. `absent` names the fields the document does not
# have at all, because a CSV cell cannot tell an absent value from an empty one.
CSV_EXTRA_COLUMNS = ("direction", "absent")


def fields(record: vexdal_py.Document | vexdal_py.Interval,
           names: tuple[str, ...]) -> dict[str, str | None]:
    return {name: getattr(record, name) for name in names}


def statement_json(statement: vexdal_py.Statement) -> dict[str, object]:
    return {
        "encoding": statement.encoding,
        "header": dict(statement.header),
        # A list, not an object keyed by number: the accounts' order is the file's, and not
        # every JSON reader keeps the order of an object's keys.
        "accounts": [
            {"number": account.number,
             "intervals": [fields(interval, INTERVAL_FIELDS) for interval in account.intervals]}
            for account in statement.accounts.values()
        ],
        "documents": [fields(doc, DOCUMENT_FIELDS) for doc in statement.documents],
        "warnings": [{"lineno": lineno, "message": message}
                     for lineno, message in statement.warnings],
    }


def write_json(statement: vexdal_py.Statement, out: TextIO, lines: bool) -> None:
    """The whole statement as one indented object, or with `lines` each document as one line of
    JSON Lines."""
    if lines:
        for doc in statement.documents:
            out.write(json.dumps(fields(doc, DOCUMENT_FIELDS), ensure_ascii=False) + "\n")
    else:
        json.dump(statement_json(statement), out, ensure_ascii=False, indent=2)
        out.write("\n")


DIRECTIONS = {
    (False, True): "credit",
    (True, False): "debit",
    (True, True): "transfer",
    (False, False): "neither",
}


def direction(doc: vexdal_py.Document, accounts: dict[str, vexdal_py.Account]) -> str:
    """Which way the money goes for the statement's own accounts, read from the payer's side
    and the payee's side."""
    return DIRECTIONS[doc.counterparty_account in accounts, doc.payee_account in accounts]


def write_csv(statement: vexdal_py.Statement, out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(DOCUMENT_FIELDS + CSV_EXTRA_COLUMNS)
    for doc in statement.documents:
        values = [getattr(doc, name) for name in DOCUMENT_FIELDS]
        absent = " ".join(name for name, value in zip(DOCUMENT_FIELDS, values) if value is None)
        writer.writerow(["" if value is None else value for value in values]
                        + [direction(doc, statement.accounts), absent])

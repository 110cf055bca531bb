"""`vexdal json` and `vexdal csv`: a statement as data for other programs. Every value stays the
parser's text, so amounts keep their scale and nothing passes through a float. The keys asked for
with --keys are read from the file model, which keeps every key of a section."""

from __future__ import annotations

import csv
import inspect
import json
from typing import TextIO

import vexdal_py

from vexdal.cli.files import Read
from vexdal.model import load


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


def document_keys(read: Read, keys: tuple[str, ...]) -> list[dict[str, str | None]]:
    """For each document of the statement, in order, the last value of each key in its section,
    None where the section has no such key."""
    if not keys:
        return [{} for _ in read.statement.documents]
    # A section that could not become a document left a warning at its end marker instead.
    skipped = {lineno for lineno, _ in read.statement.warnings}
    sections = [section for section in load(read.data).sections
                if section.kind == "document" and section.end_lineno not in skipped]
    assert len(sections) == len(read.statement.documents)
    return [{key: section.get(key) for key in keys} for section in sections]


def documents(read: Read, keys: tuple[str, ...]) -> list[dict[str, str | None]]:
    return [{**fields(doc, DOCUMENT_FIELDS), **extra}
            for doc, extra in zip(read.statement.documents, document_keys(read, keys))]


def statement_json(read: Read, keys: tuple[str, ...]) -> dict[str, object]:
    statement = read.statement
    return {
        "encoding": read.encoding,
        "header": dict(statement.header),
        # A list, not an object keyed by number: the accounts' order is the file's, and not
        # every JSON reader keeps the order of an object's keys.
        "accounts": [
            {"number": account.number,
             "intervals": [fields(interval, INTERVAL_FIELDS) for interval in account.intervals]}
            for account in statement.accounts.values()
        ],
        "documents": documents(read, keys),
        "warnings": [{"lineno": lineno, "message": message}
                     for lineno, message in statement.warnings],
    }


def write_json(read: Read, out: TextIO, lines: bool, keys: tuple[str, ...]) -> None:
    """The whole statement as one indented object, or with `lines` each document as one line of
    JSON Lines; each document with its fields, then the keys asked for."""
    if lines:
        for doc in documents(read, keys):
            out.write(json.dumps(doc, ensure_ascii=False) + "\n")
    else:
        json.dump(statement_json(read, keys), out, ensure_ascii=False, indent=2)
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


def write_csv(read: Read, out: TextIO, keys: tuple[str, ...]) -> None:
    """The documents' fields, direction and absent, then a column for each key asked for: new
    columns go last, so that readers that count columns still find the old ones."""
    statement = read.statement
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(DOCUMENT_FIELDS + CSV_EXTRA_COLUMNS + keys)
    for doc, extra in zip(statement.documents, document_keys(read, keys)):
        values = [getattr(doc, name) for name in DOCUMENT_FIELDS]
        absent = " ".join(name for name, value in [*zip(DOCUMENT_FIELDS, values), *extra.items()]
                          if value is None)
        writer.writerow(["" if value is None else value for value in values]
                        + [direction(doc, statement.accounts), absent]
                        + ["" if value is None else value for value in extra.values()])

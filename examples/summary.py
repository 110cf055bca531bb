"""Prints a readable summary of a 1CClientBankExchange bank statement.

usage: python examples/summary.py STATEMENT_FILE

Shows the header highlights, every account with its balance intervals, the documents with the
totals credited to and debited from the statement's accounts (checked against the bank's own
turnovers), and the warnings with their line numbers. Exits with status 1 when the file is not a
statement the parser accepts, and 2 when it cannot be read.
"""

from __future__ import annotations

import sys
from collections import Counter
from decimal import Decimal
from pathlib import Path

import vexdal_py

USAGE = "usage: python examples/summary.py STATEMENT_FILE"
HEADER_HIGHLIGHTS = [
    ("Format version", "ВерсияФормата"),
    ("Encoding (declared)", "Кодировка"),
    ("Sender", "Отправитель"),
    ("Recipient", "Получатель"),
]

# Payee and payer keys are fixed by the format, not by the direction of the payment, so the
# statement's own account numbers decide which side of a document is ours. A transfer between
# two accounts of the statement counts on both sides.
SIDES = [
    ("Credited to the statement's accounts: ", "payee_account", "total_income"),
    ("Debited from the statement's accounts:", "counterparty_account", "total_expense"),
]

# Why the parser can refuse a whole file, in words for the person who has to fix it.
HINTS = {
    vexdal_py.NotStatementError: "the first line must be exactly 1CClientBankExchange, and the "
    "file must be UTF-8 or windows-1251 text",
    vexdal_py.UnfinishedError: "the file ends inside a section or lacks its КонецФайла line; "
    "was it cut off?",
}


def money(value: Decimal | None) -> str:
    """Groups thousands and keeps every written digit: amounts are never rounded here."""
    return "—" if value is None else f"{value:,f}".replace(",", " ")


def amount(text: str | None) -> Decimal | None:
    return None if text is None else Decimal(text)


def period(start: str | None, end: str | None) -> str:
    return f"{start or '?'} – {end or '…'}"


def sum_amounts(documents) -> Decimal:
    return sum((Decimal(d.amount) for d in documents), Decimal(0))


def total(values: list[Decimal | None]) -> Decimal | None:
    """The sum, or None when any part is unknown, so a missing turnover is never taken as 0."""
    if not values or any(v is None for v in values):
        return None
    return sum(values, Decimal(0))


def print_header(path: Path, statement: vexdal_py.Statement) -> None:
    header = statement.header
    print(f"Statement {path}")
    print(f"  {'Read as':<22}{statement.encoding}")
    for label, key in HEADER_HIGHLIGHTS:
        print(f"  {label:<22}{header.get(key) or '—'}")
    created = " ".join(filter(None, (header.get("ДатаСоздания"), header.get("ВремяСоздания"))))
    print(f"  {'Created':<22}{created or '—'}")
    print(f"  {'Period':<22}{period(header.get('ДатаНачала'), header.get('ДатаКонца'))}")


def print_accounts(statement: vexdal_py.Statement) -> None:
    print(f"\nAccounts: {len(statement.accounts)}")
    for number, account in statement.accounts.items():
        print(f"  {number}")
        for interval in account.intervals:
            opening, credited, debited, closing = (amount(getattr(interval, name)) for name in (
                "start_amount", "total_income", "total_expense", "end_amount"))
            print(f"    {period(interval.date_start, interval.date_end)}")
            for label, value in (("opening balance", opening), ("credited", credited),
                                 ("debited", debited), ("closing balance", closing)):
                print(f"      {label:<16}{money(value):>18}")
            if None not in (credited, debited, closing) and opening + credited - debited != closing:
                gap = closing - (opening + credited - debited)
                print(f"      the balances do not add up: {money(gap)} off")


def print_documents(statement: vexdal_py.Statement) -> None:
    documents = statement.documents
    print(f"\nDocuments: {len(documents)}")
    for doc_type, count in Counter(d.doc_type for d in documents).most_common():
        print(f"  {count:>4}  {doc_type}")

    print("  Totals, and per account against the bank's own turnovers:")
    for label, field, turnover in SIDES:
        docs = [d for d in documents if getattr(d, field) in statement.accounts]
        print(f"    {label} {money(sum_amounts(docs)):>18}  ({len(docs)} documents)")
        for number, account in statement.accounts.items():
            mine = sum_amounts(d for d in docs if getattr(d, field) == number)
            bank = total([amount(getattr(i, turnover)) for i in account.intervals])
            if bank is None:
                verdict = "the bank gives no turnover"
            elif bank == mine:
                verdict = "matches the bank"
            else:
                verdict = f"the bank says {money(bank)}, difference {money(bank - mine)}"
            print(f"      {number} {money(mine):>18}  {verdict}")


def print_warnings(statement: vexdal_py.Statement) -> None:
    warnings = statement.warnings
    print(f"\nWarnings: {len(warnings)}" + (" (these documents were skipped)" if warnings else ""))
    for lineno, message in warnings:
        print(f"  line {lineno}: {message}")


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(USAGE, file=sys.stderr)
        return 2
    path = Path(argv[1])
    try:
        data = path.read_bytes()
    except OSError as exc:
        print(f"error: cannot read {path}: {exc.strerror or exc}", file=sys.stderr)
        return 2

    try:
        statement = vexdal_py.parse(data)
    except vexdal_py.ParseError as exc:
        print(f"error: {path} was not accepted: {exc}", file=sys.stderr)
        detail = getattr(exc, "detail", None)
        if detail is not None:
            print(f"  at line {detail.lineno}: {detail!r}", file=sys.stderr)
        hint = HINTS.get(type(exc))
        if hint:
            print(f"  hint: {hint}", file=sys.stderr)
        return 1

    print_header(path, statement)
    print_accounts(statement)
    print_documents(statement)
    print_warnings(statement)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""`vexdal summary`: a statement as a person reads it, from the header highlights through each
account's balances and the documents against the bank's turnovers to the skipped documents."""

from __future__ import annotations

from collections import Counter
from decimal import Decimal

import vexdal_py

from vexdal.cli.files import plural
from vexdal.cli.reconcile import CREDIT, DEBIT, SIDES, Balances, bank_turnover, on_side, totals
from vexdal.money import EXACT, total, with_kopecks

HEADER_HIGHLIGHTS = [
    ("Format version", "ВерсияФормата"),
    ("Encoding (declared)", "Кодировка"),
    ("Sender", "Отправитель"),
    ("Recipient", "Получатель"),
]

SIDE_LABELS = {
    CREDIT: "Credited to the statement's accounts: ",
    DEBIT: "Debited from the statement's accounts:",
}


def money(value: Decimal | None) -> str:
    """Groups thousands and shows kopecks, keeping every written digit: amounts are never
    rounded here."""
    return "—" if value is None else f"{with_kopecks(value):,f}".replace(",", " ")


def period(start: str | None, end: str | None) -> str:
    return f"{start or '?'} – {end or '…'}"


def print_header(path: str, statement: vexdal_py.Statement, encoding: str) -> None:
    header = statement.header
    print(f"Statement {path}")
    print(f"  {'Read as':<22}{encoding}")
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
            balances = Balances.of(interval)
            print(f"    {period(interval.date_start, interval.date_end)}")
            for label, value in (("opening balance", balances.opening),
                                 ("credited", balances.credited), ("debited", balances.debited),
                                 ("closing balance", balances.closing)):
                print(f"      {label:<16}{money(value):>18}")
            if balances.gap():
                print(f"      the balances do not add up: {money(balances.gap())} off")


def print_documents(statement: vexdal_py.Statement) -> None:
    documents = statement.documents
    print(f"\nDocuments: {len(documents)}")
    for doc_type, count in Counter(d.doc_type for d in documents).most_common():
        print(f"  {count:>4}  {doc_type}")

    print("  Totals, and per account against the bank's own turnovers:")
    for side in SIDES:
        mine = totals(statement, side)
        count = len(on_side(statement, side))
        print(f"    {SIDE_LABELS[side]} {money(total(mine.values())):>18}"
              f"  ({plural(count, 'document')})")
        for number, account in statement.accounts.items():
            bank = bank_turnover(account, side)
            if bank is None:
                verdict = "the bank gives no turnover"
            elif bank == mine[number]:
                verdict = "matches the bank"
            else:
                verdict = (f"the bank says {money(bank)}, "
                           f"difference {money(EXACT.subtract(bank, mine[number]))}")
            print(f"      {number} {money(mine[number]):>18}  {verdict}")


def print_warnings(statement: vexdal_py.Statement) -> None:
    warnings = statement.warnings
    print(f"\nWarnings: {len(warnings)}" + (" (these documents were skipped)" if warnings else ""))
    for lineno, message in warnings:
        print(f"  line {lineno}: {message}")


def print_summary(path: str, statement: vexdal_py.Statement, encoding: str) -> None:
    print_header(path, statement, encoding)
    print_accounts(statement)
    print_documents(statement)
    print_warnings(statement)

"""The statement's documents against the bank's own figures: each account's turnovers and each
interval's balances. `summary` shows them, `check` reports where they disagree."""

from __future__ import annotations

from decimal import Decimal
from typing import Callable, NamedTuple, Optional

import vexdal_py

from vexdal.money import EXACT, total


class Side(NamedTuple):
    """One direction of money for the statement's own accounts."""

    name: str
    account_of: Callable[[vexdal_py.Document], str]
    turnover_of: Callable[[vexdal_py.Interval], Optional[str]]


# Payee and payer keys are fixed by the format, not by the direction of the payment, so the
# statement's own account numbers decide which side of a document is ours. A transfer between
# two accounts of the statement counts on both sides, as the bank counts it for each account.
CREDIT = Side("credit", lambda doc: doc.payee_account, lambda interval: interval.total_income)
DEBIT = Side("debit", lambda doc: doc.counterparty_account, lambda interval: interval.total_expense)
SIDES = (CREDIT, DEBIT)


def amount(text: str | None) -> Decimal | None:
    return None if text is None else Decimal(text)


def on_side(statement: vexdal_py.Statement, side: Side) -> list[vexdal_py.Document]:
    """The documents that move money on this side of one of the statement's accounts."""
    return [doc for doc in statement.documents if side.account_of(doc) in statement.accounts]


def totals(statement: vexdal_py.Statement, side: Side) -> dict[str, Decimal]:
    """Per account of the statement, in its order, the sum of the documents on this side."""
    amounts: dict[str, list[Decimal]] = {number: [] for number in statement.accounts}
    for doc in on_side(statement, side):
        amounts[side.account_of(doc)].append(Decimal(doc.amount))
    return {number: total(values) for number, values in amounts.items()}


def bank_turnover(account: vexdal_py.Account, side: Side) -> Decimal | None:
    """The bank's turnover over all the account's intervals, or None when any interval lacks
    it, so that a missing turnover is never taken as 0."""
    turnovers = [amount(side.turnover_of(interval)) for interval in account.intervals]
    if not turnovers or None in turnovers:
        return None
    return total(value for value in turnovers if value is not None)


class Balances(NamedTuple):
    opening: Decimal
    credited: Decimal | None
    debited: Decimal | None
    closing: Decimal | None

    @classmethod
    def of(cls, interval: vexdal_py.Interval) -> Balances:
        return cls(Decimal(interval.start_amount), amount(interval.total_income),
                   amount(interval.total_expense), amount(interval.end_amount))

    def expected_closing(self) -> Decimal | None:
        """opening + credited − debited, or None when the bank leaves a figure out."""
        if self.credited is None or self.debited is None or self.closing is None:
            return None
        return EXACT.subtract(EXACT.add(self.opening, self.credited), self.debited)

    def gap(self) -> Decimal:
        """How far the bank's closing balance is from its other figures; 0 when they add up or
        cannot be compared."""
        expected = self.expected_closing()
        if expected is None or self.closing is None:
            return Decimal(0)
        return EXACT.subtract(self.closing, expected)

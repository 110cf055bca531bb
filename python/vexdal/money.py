"""Money as `decimal.Decimal` in one exact context, for every sum the package and its examples
make. Python's default context keeps 28 significant digits, one fewer than a statement's largest
amount has, and rounds past them without a word."""

from __future__ import annotations

import sys
from decimal import Context, Decimal, Inexact, InvalidOperation, Rounded
from typing import Iterable

# An amount is at most 2**96 - 1 (29 digits) with up to 28 digits after the point, and a sum
# of amounts gains at most one digit for each tenfold of their count, which a list's length
# bounds. Rounding is trapped besides, so that a sum that did not fit raises rather than drifts.
AMOUNT_DIGITS = len(str(2**96 - 1)) + 28
EXACT = Context(prec=AMOUNT_DIGITS + len(str(sys.maxsize)),
                traps=[InvalidOperation, Inexact, Rounded])

KOPECKS = Decimal("0.00")


def total(amounts: Iterable[Decimal]) -> Decimal:
    """The exact sum; 0 for no amounts."""
    result = Decimal(0)
    for value in amounts:
        result = EXACT.add(result, value)
    return result


def with_kopecks(value: Decimal) -> Decimal:
    """value with at least two places after the point, so that a sum of no documents reads
    0.00 like the sums beside it. A finer scale is kept: nothing is rounded."""
    return EXACT.add(value, KOPECKS)

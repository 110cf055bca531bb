"""Typed use of vexdal_py as an application writes it, which `mypy --strict` must accept.

tests/test_typing.py type-checks this file; nothing runs it.
"""

from __future__ import annotations

import pickle
from collections.abc import Mapping
from decimal import Decimal

from typing_extensions import assert_type

import vexdal_py
from vexdal_py import SectionType

SEEN: list[str] = []


def comma_amounts(section_type: SectionType, attrs: dict[str, str],
                  header: dict[str, str]) -> None:
    if section_type == SectionType.Document and "," in attrs.get("Сумма", ""):
        attrs["Сумма"] = attrs["Сумма"].replace(" ", "").replace(",", ".")


# A hook may take wider types than it is given, and return anything.
def audit(section_type: object, attrs: Mapping[str, str], header: Mapping[str, str]) -> int:
    SEEN.append(attrs.get("Номер", "?"))
    return len(SEEN)


def load(data: bytes | str) -> vexdal_py.Statement:
    return vexdal_py.parse(data, hooks=(
        comma_amounts, audit, lambda section_type, attrs, header: attrs.pop("Код", None)))


def credited(statement: vexdal_py.Statement) -> Decimal:
    return sum((Decimal(d.amount) for d in statement.documents
                if d.payee_account in statement.accounts), Decimal(0))


def closing_balances(statement: vexdal_py.Statement) -> dict[str, Decimal | None]:
    closing: dict[str, Decimal | None] = {}
    for number, account in statement.accounts.items():
        last = account.intervals[-1].end_amount if account.intervals else None
        closing[number] = None if last is None else Decimal(last)
    return closing


def where(error: vexdal_py.SyntaxError) -> str:
    detail = error.detail
    if isinstance(detail, vexdal_py.UnrecognizedLine):
        return f"line {detail.lineno}: {detail.line!r}"
    if isinstance(detail, (vexdal_py.UnexpectedSection, vexdal_py.MissingField)):
        return f"line {detail.lineno} in {detail.context}"
    return f"line {detail.lineno}"


def report(data: bytes) -> list[str]:
    try:
        statement = load(data)
    except vexdal_py.SyntaxError as error:
        copied = vexdal_py.HookError(*vexdal_py.HookError(7, "m").__getnewargs__())
        return [where(error), pickle.dumps(copied).hex(), str(int(SectionType.Account))]
    except (vexdal_py.NotStatementError, vexdal_py.UnfinishedError) as error:
        return [str(error)]
    assert_type(statement.warnings, list[tuple[int, str]])
    assert_type(statement.accounts, dict[str, vexdal_py.Account])
    lines = [f"{lineno + 1}: {message}" for lineno, message in statement.warnings]
    lines += [f"{doc.doc_date} {doc.payee or doc.payee_inn}" for doc in statement.documents]
    lines += [f"{key}={value}" for key, value in sorted(statement.header.items())]
    return lines + [f"{credited(statement)} {closing_balances(statement)}"]

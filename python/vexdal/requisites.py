"""Requisites of a payment: the taxpayer number (INN), the tax registration reason code (KPP),
the bank identification code (BIC) and the control key of an account number with its bank's BIC.
Each rule has a `*_error` function that says what is wrong (None when nothing is) and a `*_ok`
twin; `problems` applies them to the keys of one document section."""

from __future__ import annotations

import re
from typing import Callable, Mapping, NamedTuple

# Check-digit weights of the taxpayer number, as the tax service publishes them (the algorithm
# that python-stdnum's ru.inn and 1C's standard library both use).
INN10_WEIGHTS = (2, 4, 10, 3, 5, 9, 4, 6, 8)
INN12_WEIGHTS_11 = (7, 2, 4, 10, 3, 5, 9, 4, 6, 8)
INN12_WEIGHTS_12 = (3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8)

# Tax office (4 digits), reason (2 digits or capital Latin letters), sequence (3 digits): the
# form that the tax service's order ММВ-7-6/435@ of 29.06.2012 fixes, and 1C checks.
KPP_FORM = re.compile(r"[0-9]{4}[0-9A-Z]{2}[0-9]{3}")

# Weights of the account key, repeated over the 3-digit BIC prefix and the 20-digit account:
# the Bank of Russia's "Порядок расчета контрольного ключа в номере лицевого счета" of 08.09.1997
# N 515.
ACCOUNT_WEIGHTS = (7, 1, 3) * 7 + (7, 1)

# The same order's table: a clearing-currency account carries one of these Cyrillic letters as
# its 6th character, and the key is computed with the digit in its place.
CLEARING_LETTERS = {letter: str(digit) for digit, letter in enumerate("АВСЕНКМРТХ")}

# Digits 7-9 of the BIC of a settlement centre (000), a head settlement centre (001) or another
# division (002) of the Bank of Russia, under its Regulation 225-П.
CBR_DIVISIONS = ("000", "001", "002")


def inn_error(text: str) -> str | None:
    """Taxpayer number: 10 digits for an organisation, 12 for a person, the last one or two
    digits the weighted sums of those before them, mod 11, mod 10."""
    if len(text) not in (10, 12) or not is_digits(text):
        return "not 10 or 12 digits"
    digits = [int(c) for c in text]
    checks: list[tuple[tuple[int, ...], int]] = ([(INN10_WEIGHTS, 9)] if len(text) == 10
              else [(INN12_WEIGHTS_11, 10), (INN12_WEIGHTS_12, 11)])
    for weights, at in checks:
        if weighted(weights, digits) % 11 % 10 != digits[at]:
            return "wrong check digit"
    return None


def kpp_error(text: str) -> str | None:
    """Registration reason code: the 9-character form; it has no check digit."""
    if not KPP_FORM.fullmatch(text):
        return "not 4 digits, 2 digits or capital Latin letters, and 3 digits"
    return None


def bic_error(text: str) -> str | None:
    """Bank identification code: 9 digits. Those of credit institutions and of the central bank's
    divisions start with 04 (the country); the treasury's, in budget payments since 2021, start
    otherwise (01...), so the first two digits are not checked."""
    if len(text) != 9 or not is_digits(text):
        return "not 9 digits"
    return None


def account_error(account: str, bic: str) -> str | None:
    """20-character account with the BIC of the bank where it is opened, its 9th digit the control
    key of order 515: the weighted sum (weights 7, 1, 3) of a 3-digit prefix and the account, a
    clearing-currency letter in 6th place read as its digit, must end in 0. The prefix is the BIC's
    digits 7-9 for an account at a credit institution, and 0 and its digits 5-6 for one opened at
    a division of the central bank.

    A treasury account (03...) held with a treasury BIC has no key that this rule confirms (of
    those in real budget payments, some pass and some fail), so only its form is checked."""
    problem = account_form_error(account) or bic_error(bic)
    if problem:
        return problem
    if account.startswith("03") and not bic.startswith("04"):
        return None
    at_division = bic[6:] in CBR_DIVISIONS
    return key_error(bank_prefix(bic) if at_division else bic[6:], account)


def corr_account_error(corr_account: str, bic: str) -> str | None:
    """A bank's correspondent account at the central bank with that bank's BIC: always keyed with
    0 and BIC digits 5-6 (order 515, example 1), as an account opened at a division. A credit
    institution's (30101...) ends in the BIC's digits 7-9; a treasury BIC's is the single treasury
    account (40102...)."""
    problem = account_form_error(corr_account) or bic_error(bic)
    if problem:
        return problem
    if not is_digits(corr_account):
        return "not 20 digits"
    if corr_account.startswith("30101") and corr_account[17:] != bic[6:]:
        return f"does not end in {bic[6:]}, the last digits of the BIC"
    return key_error(bank_prefix(bic), corr_account)


def inn_ok(text: str) -> bool:
    return inn_error(text) is None


def kpp_ok(text: str) -> bool:
    return kpp_error(text) is None


def bic_ok(text: str) -> bool:
    return bic_error(text) is None


def account_ok(account: str, bic: str) -> bool:
    return account_error(account, bic) is None


def corr_account_ok(corr_account: str, bic: str) -> bool:
    return corr_account_error(corr_account, bic) is None


def is_digits(text: str) -> bool:
    # str.isdigit() takes other scripts' digits and superscripts too.
    return text.isascii() and text.isdigit()


def is_kio(text: str) -> bool:
    return len(text) == 5 and is_digits(text)


def weighted(weights: tuple[int, ...], digits: list[int]) -> int:
    return sum(w * d for w, d in zip(weights, digits))


def account_form_error(account: str) -> str | None:
    digits = account[:5] + CLEARING_LETTERS.get(account[5:6], account[5:6]) + account[6:]
    if len(account) != 20 or not is_digits(digits):
        return "not 20 digits"
    return None


def bank_prefix(bic: str) -> str:
    return "0" + bic[4:6]


def key_error(prefix: str, account: str) -> str | None:
    digits = prefix + account[:5] + CLEARING_LETTERS.get(account[5], account[5]) + account[6:]
    if weighted(ACCOUNT_WEIGHTS, [int(c) for c in digits]) % 10:
        return "wrong control key"
    return None


class Problem(NamedTuple):
    """A requisite of a document section that fails its rule."""

    key: str
    value: str
    reason: str


# Which key holds which requisite, and the key of the BIC that an account is checked with.
INN_KEYS = ("ПлательщикИНН", "ПолучательИНН")
KPP_KEYS = ("ПлательщикКПП", "ПолучательКПП")
BIC_KEYS = ("ПлательщикБИК", "ПолучательБИК")
ACCOUNT_KEYS = {"ПлательщикСчет": "ПлательщикБИК", "ПлательщикРасчСчет": "ПлательщикБИК",
                "ПолучательСчет": "ПолучательБИК", "ПолучательРасчСчет": "ПолучательБИК"}
CORR_ACCOUNT_KEYS = {"ПлательщикКорсчет": "ПлательщикБИК", "ПолучательКорсчет": "ПолучательБИК"}


def problems(values: Mapping[str, str]) -> list[Problem]:
    """The bad requisites among a document's values (key to value). Absent and empty values are
    not requisites to judge; nor is a KPP of 0, which budget payments write for "none", nor the
    5-digit code (KIO) that a foreign organisation gives in place of an INN. An account is judged
    only with a good BIC, since a bad BIC is reported already."""
    found = []

    def judge(key: str, value: str | None, reason: str | None) -> None:
        if value and reason:
            found.append(Problem(key, value, reason))

    for key in INN_KEYS:
        value = values.get(key)
        judge(key, value, value and not is_kio(value) and inn_error(value) or None)
    for key in KPP_KEYS:
        value = values.get(key)
        judge(key, value, value and value != "0" and kpp_error(value) or None)
    for key in BIC_KEYS:
        value = values.get(key)
        judge(key, value, value and bic_error(value))
    for keys, error in ((ACCOUNT_KEYS, account_error), (CORR_ACCOUNT_KEYS, corr_account_error)):
        for key, bic_key in keys.items():
            value, bic = values.get(key), values.get(bic_key, "")
            judge(key, value, value and bic_ok(bic) and error(value, bic) or None)
    return found

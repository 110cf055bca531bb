"""Dates and amounts as they reach Python: their text forms, their limits and every failure text."""

import pytest

import vexdal_py
from conftest import QUOTED_FORMS, amount_message, document_section, make_statement

CHARS = "input contains invalid characters"
END = "premature end of input"
RANGE = "input is out of range"
TRAILING = "trailing input"
BLANK = "empty string is not a valid date"
MAX = str(2**96 - 1)


def document_value(attribute, hooks=None, encoding=None, **changes):
    """The attribute of the document built with changes, or the message of its warning."""
    statement = vexdal_py.parse(make_statement(document_section(**changes), encoding=encoding),
                                hooks)
    if statement.warnings:
        [(_, message)] = statement.warnings
        return message
    return getattr(statement.documents[0], attribute)


DATES = [
    ("01.02.2023", "2023-02-01"), ("1.2.2023", "2023-02-01"), (" 01.02.2023", "2023-02-01"),
    ("\u00a01.\u30002.\t2023", "2023-02-01"), ("01.02.23", "0023-02-01"),
    ("01.02.0", "0000-02-01"), ("31.12.9999", "9999-12-31"), ("29.02.2024", "2024-02-29"),
    ("29.02.2000", "2000-02-29"), ("29.02.0", "0000-02-29"), ("29.02.-4", "-0004-02-29"),
    ("29.02.-400", "-0400-02-29"), ("29.02.+999996", "+999996-02-29"),
    ("01.02.+2023", "2023-02-01"), ("01.02.+0002023", "2023-02-01"), ("01.02.-0", "0000-02-01"),
    ("01.02.-1", "-0001-02-01"), ("01.02.+9999", "9999-02-01"), ("01.02.+10000", "+10000-02-01"),
    ("31.12.+999999", "+999999-12-31"), ("01.01.-999999", "-999999-01-01"),
    ("01.02.+" + "0" * 30 + "1", "0001-02-01"), ("31.12.0000", "0000-12-31"),
    ("29.02.2400", "2400-02-29"), ("09.09.0009", "0009-09-09"),
    # failures, in the order in which the reader meets them
    ("", BLANK), (" \t", BLANK), ("\u3000\u2028", BLANK),
    ("1", END), ("01.", END), ("01.02", END), ("01.02.", END), ("01.02. ", END), ("01.02.+", END),
    ("01.02.-", END),
    ("01 .02.2023", CHARS), ("2023-02-01", CHARS), ("01/02/2023", CHARS), (".02.2023", CHARS),
    ("+1.02.2023", CHARS), ("01.-2.2023", CHARS), ("010.02.2023", CHARS), ("01.02.x", CHARS),
    ("01.02.+x", CHARS), ("01.02.+-1", CHARS), ("\u200b01.02.2023", CHARS),
    ("\u0661.02.2023", CHARS), ("\uff101.02.2023", CHARS),
    ("01.02.2023 ", TRAILING), ("01.02.20234", TRAILING), ("1.2.12345", TRAILING),
    ("01.02.2023.", TRAILING), ("01.02.2023\u00a0", TRAILING), ("01.02.+1000000x", TRAILING),
    ("01.02.+" + "9" * 30 + "x", TRAILING),
    ("32", RANGE), ("00.01.2024", RANGE), ("32.01.2024", RANGE), ("1.13", RANGE),
    ("01.00.2024", RANGE), ("01.13.2024", RANGE), ("29.02.2023", RANGE), ("29.02.1900", RANGE),
    ("29.02.-1", RANGE), ("29.02.-100", RANGE), ("31.04.2024", RANGE), ("01.02.+1000000", RANGE),
    ("01.02.-1000000", RANGE), ("01.02.+4294967297", RANGE), ("01.02.+18446744073709551617", RANGE),
    ("01.02.+" + "9" * 30, RANGE), ("29.02.2100", RANGE), ("31.11.2024", RANGE),
    ("00.00.2024", RANGE), ("01.02.2O24", TRAILING), ("01,02.2024", CHARS), ("01.02:2024", CHARS),
]


@pytest.mark.parametrize("text, expected", DATES, ids=[repr(text) for text, _ in DATES])
def test_required_date(text, expected):
    assert document_value("doc_date", Дата=text) == expected


@pytest.mark.parametrize("text, expected", [
    ("", None), (" ", None), ("\u2003\t", None), ("6.3.2024", "2024-03-06"),
    ("01.02.-12345", "-12345-02-01"), ("06.03.2024 ", TRAILING), ("31.02.2024", RANGE),
], ids=["empty", "space", "unicode-blank", "short", "signed-year", "trailing", "range"])
def test_optional_date(text, expected):
    assert document_value("income_date", ДатаПоступило=text) == expected


AMOUNTS = [
    ("1500.00", "1500.00"), ("-0.5", "-0.5"), ("+1_500.50", "1500.50"), (".5", "0.5"),
    ("-.5", "-0.5"), ("5.", "5"), ("0.050", "0.050"), ("1_000", "1000"), ("1__0_", "10"),
    ("1_.5", "1.5"), ("1._5", "1.5"), ("0", "0"), ("-0", "-0"), ("+0", "0"), ("-0.00", "-0.00"),
    ("007.10", "7.10"), ("00.50", "0.50"), ("0" * 40 + "1", "1"),
    ("0." + "0" * 27 + "1", "0." + "0" * 27 + "1"), ("0.1" + "0" * 27, "0.1" + "0" * 27),
    ("-0." + "0" * 28, "-0." + "0" * 28), (MAX, MAX), ("-" + MAX, "-" + MAX),
    (MAX[:-1] + "." + MAX[-1], MAX[:-1] + "." + MAX[-1]),
    (MAX[0] + "." + MAX[1:], MAX[0] + "." + MAX[1:]),
    # either side of the longest text read into 64 bits at once: 19 characters after the sign
    ("9" * 19, "9" * 19), ("-" + "9" * 19, "-" + "9" * 19), ("9" * 20, "9" * 20),
    ("9" * 18 + ".9", "9" * 18 + ".9"), ("9" * 17 + ".9", "9" * 17 + ".9"), ("+.5", "0.5"),
    ("18446744073709551616", "18446744073709551616"),
    # the scientific form
    ("1e2", "100"), ("1E2", "100"), ("5e-2", "0.05"), ("1.50e1", "15.0"), ("1.5E3", "1500"),
    ("1.50e2", "150"), ("1.50e3", "1500"), ("12.5e2", "1250"), ("0.10e1", "1.0"),
    ("+1e+2", "100"), ("-1e2", "-100"), ("1e0", "1"), ("1.0e0", "1.0"), ("1e-0", "1"),
    ("1.e1", "10"), (".5e1", "5"), ("1_0e-1", "1.0"), ("1e0000000000000000000002", "100"),
    ("-0e5", "-0"), ("0e-3", "0.000"), ("0.00e1", "0.0"), ("0e5", "0"), ("-0.0e5", "-0"),
    ("1e-28", "0." + "0" * 27 + "1"), ("1.5e-27", "0." + "0" * 26 + "15"),
    ("1e28", "1" + "0" * 28), ("1.0e28", "1" + "0" * 28), ("7e28", "7" + "0" * 28),
    (MAX[:-1] + "." + MAX[-1] + "e1", MAX), ("0." + "0" * 27 + "1e28", "1"), (MAX + "e0", MAX),
    ("0e28", "0"), ("-0.0e28", "-0"),
    # rejected, never rounded
    ("1 500.00", None), (" 1500.00", None), ("1500.00 ", None), ("1500,00", None),
    ("1500.00 руб", None), ("", None), ("1..5", None), ("1.2.3", None), ("_1", None),
    ("-_1", None), ("+-1", None), ("--1", None), ("+", None), ("-", None), (".", None),
    ("+.", None), ("1-", None), ("0x10", None), ("inf", None), ("NaN", None), ("\uff11", None),
    ("\u0661", None), ("1e", None), ("e2", None), ("E", None), ("1e+", None),
    ("1e-", None), ("1e2.5", None), ("1e_2", None), ("1e2e3", None), (".e1", None),
    ("1e 2", None), ("1e+-2", None),
    (str(2**96), None), ("-" + str(2**96), None), (MAX + ".0", None),
    (MAX[:-2] + "." + str(int(MAX[-2:]) + 1), None), ("0." + "0" * 28 + "1", None),
    ("0.1" + "0" * 28, None), ("1" + "0" * 29, None), ("1e29", None), ("8e28", None),
    (MAX[:-1] + "." + MAX[-1] + "e2", None), ("1e-29", None), ("1.5e-28", None), ("0e-29", None),
    # an exponent above the base's scale is at most 28, and the base has at most 28 decimals,
    # even where the result would fit
    ("0e29", None), ("-0e29", None), ("0e4294967295", None), ("0.1e29", None),
    ("0.00001e29", None), ("0." + "0" * 27 + "1e30", None), ("0." + "0" * 28 + "1e1", None),
    ("0." + "0" * 29 + "e-0", None),
    ("1e4294967295", None), ("1e4294967296", None), ("1.5e-4294967295", None),
    ("1e-4294967296", None), ("1e18446744073709551617", None),
]


@pytest.mark.parametrize("text, expected", AMOUNTS, ids=[repr(text)[:40] for text, _ in AMOUNTS])
def test_amount(text, expected):
    result = document_value("amount", Сумма=text)
    if expected is None:
        assert result == amount_message(f'"{text}"')
    else:
        assert result == expected


@pytest.mark.parametrize("text, shown", QUOTED_FORMS)
def test_amount_message_quotes_the_value(text, shown):
    # Set by a hook so that any character, a line feed too, reaches the reader.
    def hook(kind, attrs, header):
        attrs["Сумма"] = text

    assert document_value("amount", hooks=[hook]) == amount_message(f'"{shown}"')


@pytest.mark.parametrize("attribute, key, text", [
    ("doc_date", "Дата", "\u00a001.02.2023"), ("doc_date", "Дата", "01.02.2023\u00a0"),
    ("doc_date", "Дата", "\u00a0"), ("income_date", "ДатаПоступило", "\u00a0 "),
    ("doc_date", "Дата", "01.02.2023г"), ("amount", "Сумма", "12,50 руб"),
    ("amount", "Сумма", "«1»\x98\u2116"), ("amount", "Сумма", "\u00a01"),
], ids=["nbsp-before-date", "nbsp-after-date", "nbsp-date", "nbsp-optional-date",
        "letter-after-date", "roubles", "quotes-and-undefined-byte", "nbsp-before-amount"])
def test_windows_1251_values_read_as_their_characters(attribute, key, text):
    # Values of a windows-1251 file are read from its own bytes: white space, failures and the
    # quoted value in a message must come out as for the same characters in UTF-8.
    expected = document_value(attribute, **{key: text})
    assert document_value(attribute, encoding="cp1251", **{key: text}) == expected

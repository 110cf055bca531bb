"""Account sections: the interval of each section, its failures, and merging sections by number."""

from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vexdal_py
from conftest import (ACCOUNT, account_section, amount_message, expect_syntax_error, join,
                      statement_lines)

NUMBER = ACCOUNT["РасчСчет"]


def parse_accounts(*sections, hooks=None):
    return vexdal_py.parse(join(statement_lines(*sections)), hooks).accounts


def parse_accounts_in(encoding, *sections):
    return vexdal_py.parse(join(statement_lines(*sections), encoding=encoding)).accounts


def fields(interval):
    return (interval.date_start, interval.date_end, interval.start_amount, interval.end_amount,
            interval.total_income, interval.total_expense)


class TestInterval:
    @pytest.mark.parametrize("changes, expected", [
        ({}, ("2024-03-01", "2024-03-31", "10000.00", "8499.50", "0.00", "1500.50")),
        ({"ДатаКонца": None, "КонечныйОстаток": None, "ВсегоПоступило": None,
          "ВсегоСписано": None}, ("2024-03-01", None, "10000.00", None, None, None)),
        ({"ДатаКонца": " \t", "НачальныйОстаток": "-0", "ВсегоСписано": "1.5e3"},
         ("2024-03-01", None, "-0", "8499.50", "0.00", "1500")),
        ({"ДатаНачала": "1.3.2024", "Ключ": "x", "ДатаКонца ": "x"},
         ("2024-03-01", "2024-03-31", "10000.00", "8499.50", "0.00", "1500.50")),
    ], ids=["complete", "optional-absent", "blank-end-date", "other-keys-ignored"])
    def test_fields(self, changes, expected):
        [(number, account)] = parse_accounts(account_section(**changes)).items()
        assert number == account.number == NUMBER
        [interval] = account.intervals
        assert fields(interval) == expected

    @pytest.mark.parametrize("changes, message", [
        ({"ДатаНачала": None}, "missing field `ДатаНачала`"),
        ({"НачальныйОстаток": None}, "missing field `НачальныйОстаток`"),
        ({"ДатаНачала": None, "НачальныйОстаток": None}, "missing field `ДатаНачала`"),
        ({"ДатаНачала": None, "РасчСчет": None}, "missing field `ДатаНачала`"),
        ({"ДатаНачала": None, "ДатаНачала ": "01.03.2024"}, "missing field `ДатаНачала`"),
        ({"ДатаНачала": ""}, "empty string is not a valid date"),
        ({"ДатаНачала": "31.02.2024", "ВсегоПоступило": "x"}, amount_message('"x"')),
        ({"ДатаНачала": "x", "ДатаКонца": "32.01.2024"}, "input is out of range"),
        ({"НачальныйОстаток": "1,0", "КонечныйОстаток": "2,0"}, amount_message('"2,0"')),
        ({"ВсегоСписано": ""}, amount_message('""')),
        ({"ВсегоПоступило": " 1"}, amount_message('" 1"')),
        ({"КонечныйОстаток": "x", "РасчСчет": None}, amount_message('"x"')),
        ({"ДатаКонца": "1.2", "НачальныйОстаток": None}, "premature end of input"),
    ], ids=["no-start-date", "no-start-amount", "neither", "no-start-date-no-number",
            "misspelt-start-date", "empty-start-date", "income-sorts-first",
            "end-date-sorts-first", "end-amount-sorts-first", "empty-optional-amount",
            "spaced-amount", "value-before-number", "value-before-missing-key"])
    def test_failure_reported_at_section_end(self, changes, message):
        lines = statement_lines(account_section(**changes))
        expect_syntax_error(join(lines), "AccountParseError", "Account parse error: " + message,
                            lineno=lines.index("КонецРасчСчет") + 1, message=message)

    @pytest.mark.parametrize("changes", [
        {"РасчСчет": None},
        {"РасчСчет": None, "РасчСчет ": "1"},
        {"РасчСчет": None, "расчсчет": "1"},
    ], ids=["absent", "trailing-space", "lower-case"])
    def test_missing_number(self, changes):
        lines = statement_lines(account_section(**changes))
        expect_syntax_error(join(lines), "MissingField",
                            "Missing field 'РасчСчет' in context 'account'",
                            lineno=lines.index("КонецРасчСчет") + 1, field="РасчСчет",
                            context="account")

    def test_empty_number_is_a_number(self):
        assert list(parse_accounts(account_section(РасчСчет=""))) == [""]


def section(start, end_amount, **changes):
    return account_section(ДатаНачала=start, КонечныйОстаток=end_amount, **changes)


def keyed_section(start, pairs):
    return ["СекцияРасчСчет", *(f"{key}={value}" for key, value in pairs),
            f"ДатаНачала={start}", "КонецРасчСчет"]


@pytest.mark.parametrize("encoding", ["utf-8", "cp1251"])
def test_keys_read_the_same_whatever_stood_at_their_place_before(encoding):
    """Each section gives the interval it gives on its own, though the sections before it had
    other keys, or none the parser knows, at the same places."""
    base = [(key, value) for key, value in ACCOUNT.items() if key != "ДатаНачала"]
    sections = [
        keyed_section("01.03.2024", base),
        keyed_section("02.03.2024", reversed(base)),
        keyed_section("03.03.2024", [("Примечание", "x"), *base]),
        keyed_section("04.03.2024", [("", "5"), ("ДатаКонцы", "31.12.2024"), *base[1:]]),
        keyed_section("05.03.2024", [*base, ("НачальныйОстаток", "7.25")]),
        keyed_section("06.03.2024", [("ВсегоСписано", "1"), ("ВсегоПоступило", "2"), *base[:3]]),
    ]
    alone = [fields(interval) for lines in sections
             for interval in parse_accounts_in(encoding, lines)[NUMBER].intervals]
    assert alone[3:] == [
        ("2024-03-04", None, "10000.00", "8499.50", "0.00", "1500.50"),
        ("2024-03-05", "2024-03-31", "7.25", "8499.50", "0.00", "1500.50"),
        ("2024-03-06", "2024-03-31", "10000.00", None, "2", "1")]
    together = parse_accounts_in(encoding, *sections)[NUMBER].intervals
    assert [fields(interval) for interval in together] == alone


class TestMerging:
    @pytest.mark.parametrize("sections, expected", [
        ([section("01.03.2024", "8499.50"), section("1.3.2024", "8499.5", НачальныйОстаток="1e4",
                                                   ВсегоПоступило="-0", ДатаКонца=" 31.03.2024")],
         [("2024-03-01", "8499.50")]),
        ([section("01.03.2024", "1"), section("01.03.2024", "1", ВсегоПоступило=None)],
         [("2024-03-01", "1"), ("2024-03-01", "1")]),
        ([section("01.03.2024", "1"), section("01.01.2024", "1"), section("01.02.2024", "1")],
         [("2024-01-01", "1"), ("2024-02-01", "1"), ("2024-03-01", "1")]),
        ([section("01.03.2024", "1"), section("01.03.2024", "2")],
         [("2024-03-01", "2"), ("2024-03-01", "1")]),
        ([section("01.03.2024", "1"), section("01.03.2024", "2"), section("01.03.2024", "3")],
         [("2024-03-01", "2"), ("2024-03-01", "3"), ("2024-03-01", "1")]),
        ([section("01.01.2024", "1"), section("01.03.2024", "2"), section("01.02.2024", "3"),
          section("01.02.2024", "4")],
         [("2024-01-01", "1"), ("2024-02-01", "4"), ("2024-02-01", "3"), ("2024-03-01", "2")]),
        ([section("01.01.2024", "1"), section("01.02.2024", "2"), section("01.01.2024", "1.0")],
         [("2024-01-01", "1"), ("2024-02-01", "2")]),
        ([section("01.02.2024", "1"), section("31.12.2023", "2")],
         [("2023-12-31", "2"), ("2024-02-01", "1")]),
        # Days in order need no lookup; once one comes out of order, those before it and those
        # after it are all found again.
        ([section("01.01.2024", "1"), section("01.02.2024", "2"), section("01.01.2024", "3"),
          section("01.02.2024", "2.00"), section("01.01.2024", "3"), section("01.03.2024", "4"),
          section("01.03.2024", "4")],
         [("2024-01-01", "3"), ("2024-01-01", "1"), ("2024-02-01", "2"), ("2024-03-01", "4")]),
    ], ids=["equal-by-value", "optional-absent-differs", "sorted-by-start",
            "same-start-newer-first", "same-start-three", "same-start-between",
            "duplicate-not-adjacent", "earlier-than-all", "duplicates-after-disorder"])
    def test_one_number_one_account(self, sections, expected):
        [account] = parse_accounts(*sections).values()
        assert [(iv.date_start, iv.end_amount) for iv in account.intervals] == expected

    def test_accounts_in_order_of_first_section(self):
        accounts = parse_accounts(account_section(РасчСчет="2"), account_section(РасчСчет="1"),
                                  account_section(РасчСчет="2", ДатаНачала="01.01.2024"))
        assert [(number, account.number, len(account.intervals))
                for number, account in accounts.items()] == [("2", "2", 2), ("1", "1", 1)]

    def test_hook_renaming_the_number_files_the_interval_under_it(self):
        def rename(kind, attrs, header):
            attrs["РасчСчет"] = attrs["РасчСчет"][-2:]

        accounts = parse_accounts(account_section(РасчСчет="A12"), account_section(РасчСчет="B12",
                                  ДатаНачала="01.01.2024"), hooks=[rename])
        assert [(number, len(account.intervals)) for number, account in accounts.items()] == [
            ("12", 2)]


def file_one_by_one(sections):
    """Reference merge: each new interval is filed into a sorted list by binary search on the
    start date, unless an interval equal by value is there already."""
    def key(section):
        day, month, year = (int(part) for part in section["ДатаНачала"].split("."))
        return year, month, day

    def value(section):
        return (key(section), Decimal(section["НачальныйОстаток"]),
                Decimal(section["КонечныйОстаток"]))

    filed = []
    for section in sections:
        if any(value(section) == value(other) for other in filed):
            continue
        size, base = len(filed), 0
        while size > 1:
            half = size // 2
            if not key(filed[base + half]) > key(section):
                base += half
            size -= half
        if filed and key(filed[base]) < key(section):
            base += 1
        filed.insert(base, section)
    return filed


@settings(max_examples=60, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.sampled_from(["01.01.2024", "01.02.2024", "1.2.2024", "01.03.2024"]),
                          st.sampled_from(["0", "0.00", "-0", "5", "5.0", "7"]),
                          st.sampled_from(["1", "1.000", "2"])), min_size=1, max_size=12))
def test_merged_order_matches_filing_one_by_one(triples):
    sections = [{"РасчСчет": NUMBER, "ДатаНачала": start, "НачальныйОстаток": opening,
                 "КонечныйОстаток": closing} for start, opening, closing in triples]
    (account,) = parse_accounts(*(["СекцияРасчСчет", *(f"{k}={v}" for k, v in s.items()),
                                   "КонецРасчСчет"] for s in sections)).values()
    expected = file_one_by_one(sections)
    assert [(i.start_amount, i.end_amount) for i in account.intervals] == [
        (s["НачальныйОстаток"], s["КонечныйОстаток"]) for s in expected]
    assert [i.date_start for i in account.intervals] == sorted(i.date_start for i in account.intervals)

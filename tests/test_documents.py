"""Document sections: which key fills which of the 26 fields, required and optional keys, and the
one message of a document that cannot be built."""

import datetime
import gc

import pytest

import vexdal_py
from conftest import (DOCUMENT, account_section, amount_message, attribute_lines,
                      document_section, join, make_statement, statement_lines)


class Name(str):
    """An attribute name given as a str subclass."""


# key: (attribute, text in the file, value in Python); every text differs from every other.
FIELDS = {
    "Номер": ("doc_number", "17", "17"),
    "ВидОплаты": ("payment_type", "01", "01"),
    "Дата": ("doc_date", "05.03.2024", "2024-03-05"),
    "НазначениеПлатежа": ("purpose", "назначение", "назначение"),
    "Очередность": ("ordering", "5", "5"),
    "Сумма": ("amount", "+1_500.50", "1500.50"),
    "ПлательщикИНН": ("counterparty_inn", "7701", "7701"),
    "ПлательщикКПП": ("counterparty_kpp", "7702", "7702"),
    "ПлательщикБИК": ("counterparty_bic", "7703", "7703"),
    "ПлательщикБанк1": ("counterparty_bank1", "банк плательщика", "банк плательщика"),
    "ПлательщикСчет": ("counterparty_account", "40701", "40701"),
    "Плательщик": ("counterparty", "плательщик", "плательщик"),
    "Плательщик1": ("counterparty_1", "плательщик один", "плательщик один"),
    "ДатаСписано": ("outcome_date", "6.3.2024", "2024-03-06"),
    "ПлательщикРасчСчет": ("counterparty_ras_account", "40702", "40702"),
    "ПлательщикКорсчет": ("counterparty_cor_account", "30101", "30101"),
    "ПолучательИНН": ("payee_inn", "7801", "7801"),
    "Получатель": ("payee", "получатель", "получатель"),
    "ПолучательСчет": ("payee_account", "40703", "40703"),
    "ПолучательКПП": ("payee_kpp", "7802", "7802"),
    "ПолучательБИК": ("payee_bic", "7803", "7803"),
    "ПолучательБанк1": ("payee_bank1", "банк получателя", "банк получателя"),
    "ПолучательРасчСчет": ("payee_ras_account", "40704", "40704"),
    "ПолучательКорсчет": ("payee_cor_account", "30102", "30102"),
    "ДатаПоступило": ("income_date", "07.03.2024", "2024-03-07"),
}
# The required keys in the order in which a missing one is looked for.
REQUIRED = ["Номер", "Дата", "НазначениеПлатежа", "Сумма", "ПлательщикИНН", "ПлательщикБИК",
            "ПлательщикБанк1", "ПлательщикСчет", "ПолучательИНН", "ПолучательСчет",
            "ПолучательБИК", "ПолучательБанк1"]
IGNORED = {"Получатель1": "x", "Плательщик2": "y", "ПлательщикБанк2": "z", "ПолучательБанк2": "w",
           "Номер ": "1", "номер": "2", "": "3"}


def build(section, hooks=None):
    """The one document of a statement, or the message of its one warning."""
    lines = statement_lines(section)
    statement = vexdal_py.parse(join(lines), hooks)
    if statement.warnings:
        assert statement.documents == []
        [(lineno, message)] = statement.warnings
        assert lineno == lines.index("КонецДокумента") + 1
        return message
    [document] = statement.documents
    return document


def section(attrs, doc_type="Платёжное поручение"):
    return [f"СекцияДокумент={doc_type}", *attribute_lines(attrs), "КонецДокумента"]


class TestFields:
    def test_every_key_fills_its_own_field(self):
        document = build(section({key: text for key, (_, text, _) in FIELDS.items()} | IGNORED))
        assert document.doc_type == "Платёжное поручение"
        assert {attribute: getattr(document, attribute) for attribute, _, _ in FIELDS.values()} \
            == {attribute: value for attribute, _, value in FIELDS.values()}

    def test_required_keys_alone(self):
        document = build(section({key: FIELDS[key][1] for key in REQUIRED}, doc_type=""))
        assert document.doc_type == ""
        optional = [attribute for key, (attribute, _, _) in FIELDS.items() if key not in REQUIRED]
        assert len(optional) == 13
        assert [getattr(document, attribute) for attribute in optional] == [None] * 13

    @pytest.mark.parametrize("changes, attribute, expected", [
        ({"Номер": ""}, "doc_number", ""),
        ({"Номер": " 17 "}, "doc_number", " 17 "),
        ({"ВидОплаты": ""}, "payment_type", ""),
        ({"Плательщик1": ""}, "counterparty_1", ""),
        ({"ПолучательКорсчет": " "}, "payee_cor_account", " "),
        ({"ДатаСписано": ""}, "outcome_date", None),
        ({"ДатаСписано": "   "}, "outcome_date", None),
        ({"ДатаПоступило": "\t\u00a0"}, "income_date", None),
        ({"Номер ": "99"}, "doc_number", DOCUMENT["Номер"]),
    ], ids=["empty-number", "spaces-kept", "empty-optional-text", "empty-payer-1",
            "blank-optional-text", "empty-optional-date", "blank-optional-date",
            "unicode-blank-optional-date", "key-with-space-ignored"])
    def test_empty_and_untrimmed_values(self, changes, attribute, expected):
        assert getattr(build(document_section(**changes)), attribute) == expected

    @pytest.mark.parametrize("account", [DOCUMENT["ПлательщикСчет"], DOCUMENT["ПолучательСчет"]],
                             ids=["outgoing", "incoming"])
    def test_payer_is_always_the_counterparty(self, account):
        lines = statement_lines(account_section(РасчСчет=account), document_section())
        [document] = vexdal_py.parse(join(lines)).documents
        assert (document.counterparty, document.counterparty_account, document.payee,
                document.payee_account) == (DOCUMENT["Плательщик"], DOCUMENT["ПлательщикСчет"],
                                            DOCUMENT["Получатель"], DOCUMENT["ПолучательСчет"])


class TestUnbuildable:
    @pytest.mark.parametrize("key", REQUIRED, ids=[FIELDS[key][0] for key in REQUIRED])
    def test_missing_required_key(self, key):
        assert build(document_section(**{key: None})) == f"missing field `{key}`"

    @pytest.mark.parametrize("absent, reported", [
        (["Номер", "Сумма"], "Номер"),
        (["Номер", "Дата"], "Номер"),
        (["ПлательщикБИК", "ПлательщикИНН"], "ПлательщикИНН"),
        (["ПолучательБИК", "ПолучательСчет"], "ПолучательСчет"),
        (["ПолучательБанк1", "ПлательщикСчет"], "ПлательщикСчет"),
        (REQUIRED, "Номер"),
    ], ids=["number-and-amount", "number-and-date", "payer-bic-and-inn", "payee-bic-and-account",
            "payee-bank-and-payer-account", "all"])
    def test_first_missing_key_in_field_order(self, absent, reported):
        assert build(document_section(**dict.fromkeys(absent))) == f"missing field `{reported}`"

    @pytest.mark.parametrize("changes, message", [
        ({"Номер": None, "Сумма": "12,50"}, amount_message('"12,50"')),
        ({"Сумма": "y", "Дата": "x"}, "input contains invalid characters"),
        ({"Сумма": "y", "ДатаСписано": "32.01.2024"}, "input is out of range"),
        ({"ДатаСписано": "1.2", "ДатаПоступило": "x"}, "input contains invalid characters"),
        ({"ДатаПоступило": "x", "Дата": "01.02"}, "premature end of input"),
        ({"Дата": ""}, "empty string is not a valid date"),
        ({"Дата": " \t"}, "empty string is not a valid date"),
        ({"Номер": None, "Номер ": "123"}, "missing field `Номер`"),
    ], ids=["amount-before-missing", "date-before-amount", "outcome-date-before-amount",
            "income-date-before-outcome-date", "date-before-income-date", "empty-date",
            "blank-date", "key-with-space"])
    def test_value_failures_come_first_in_key_order(self, changes, message):
        assert build(document_section(**changes)) == message


# A text becomes a str by one of several paths: ASCII copied at once, windows-1251 through its
# table, UTF-8 through a reader of one- and two-byte characters or the general one, each after a
# scan that takes eight or sixteen bytes a step. Each case puts one character at the first or the
# last place of a value, or beside a run of ASCII as long as such a step or one byte either side.
WIDE_1251 = ["я", "\u00a0", "№", "Ё"]
WIDE_UTF8 = WIDE_1251 + ["é", "€", "\U0001f600"]


def texts_around_steps(chars):
    return [text for run in (0, 6, 7, 8, 9, 14, 15, 16, 17, 31)
            for char in chars
            for text in ("a" * run + char, char + "a" * run, "a" * run + char + "b" * run,
                         char * (run + 1))] + ["a" * run for run in (1, 7, 8, 9, 16, 17)]


@pytest.mark.parametrize("encoding, chars, hooked", [
    ("cp1251", WIDE_1251, False), ("utf-8", WIDE_UTF8, False), ("cp1251", WIDE_UTF8, True),
], ids=["cp1251", "utf-8", "hook-written"])
def test_texts_read_back_at_every_boundary(encoding, chars, hooked):
    texts = texts_around_steps(chars)
    sections = [document_section(Номер=str(i), НазначениеПлатежа="x" if hooked else text)
                for i, text in enumerate(texts)]
    by_number = dict(enumerate(texts))

    def write(section_type, attrs, header):
        attrs["НазначениеПлатежа"] = by_number[int(attrs["Номер"])]

    statement = vexdal_py.parse(make_statement(*sections, encoding=encoding),
                                [write] if hooked else None)
    assert [d.purpose for d in statement.documents] == texts
    # A name that is not the interpreter's interned one reads the same value, as does one of a
    # str subclass.
    assert [getattr(d, "".join(["pur", "pose"])) for d in statement.documents] == texts
    assert [getattr(d, Name("purpose")) for d in statement.documents] == texts


@pytest.mark.parametrize("encoding", ["utf-8", "cp1251"])
def test_repeated_texts_read_back_as_written_in_any_order(encoding):
    # A text read again is found by its bytes among the strs made before: texts of one length
    # that differ in their last character, each repeated (so that the field stays in the
    # cache), enough of them that they displace one another, read in two orders and kept after
    # the statement is gone.
    count = 6000
    columns = {
        "purpose": [f"платёж №{(i // 3) % 2000:04d}" for i in range(count)],
        "counterparty": [f"поставщик {i // 4:05d}" for i in range(count)],
        "payee_account": [f"40702810{(i // 3) * 7 % 5000:012d}" for i in range(count)],
    }
    keys = {"purpose": "НазначениеПлатежа", "counterparty": "Плательщик",
            "payee_account": "ПолучательСчет"}
    sections = [document_section(Номер=str(i), **{keys[name]: values[i]
                                                 for name, values in columns.items()})
                for i in range(count)]
    statement = vexdal_py.parse(make_statement(*sections, encoding=encoding))
    documents = statement.documents
    forward = {name: [getattr(d, name) for d in documents] for name in columns}
    backward = {name: [getattr(d, name) for d in reversed(documents)][::-1] for name in columns}
    del statement, documents
    gc.collect()
    assert forward == columns
    assert backward == columns


def test_repeated_dates_read_back_as_written_in_any_order():
    # Days over eleven years, each date twice, more than the table of dates holds at once.
    days = [datetime.date(2015, 1, 1) + datetime.timedelta(days=i // 2) for i in range(8000)]
    sections = [document_section(Номер=str(i), Дата=day.strftime("%d.%m.%Y"))
                for i, day in enumerate(days)]
    documents = vexdal_py.parse(make_statement(*sections)).documents
    expected = [day.isoformat() for day in days]
    assert [d.doc_date for d in documents] == expected
    assert [d.doc_date for d in reversed(documents)][::-1] == expected


def test_written_and_read_texts_of_the_same_bytes_stay_apart():
    # The UTF-8 of "Р" a hook wrote is the two bytes that read "Р\xa0" in windows-1251.
    def write(section_type, attrs, header):
        if attrs["Номер"] == "1":
            attrs["Плательщик"] = "Р"

    sections = [document_section(Номер=str(i), Плательщик="Р\xa0") for i in range(4)]
    statement = vexdal_py.parse(make_statement(*sections), [write])
    assert [d.counterparty for d in statement.documents] == ["Р\xa0", "Р", "Р\xa0", "Р\xa0"]

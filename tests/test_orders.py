"""vexdal.payment_orders: the file an accounting program sends to the bank. What it writes comes
back through vexdal_py.parse field for field, and a faulty order is refused with every fault
named."""

import dataclasses
import datetime
import pickle
import re
import unicodedata
from decimal import Decimal
from pathlib import Path

import pytest
import vexdal
import vexdal_py
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from vexdal.cli.export import DOCUMENT_FIELDS
from vexdal.orders import DOCUMENT_KINDS, FIELDS
from vexdal.requisites import account_ok, corr_account_ok, inn_ok

ROOT = Path(__file__).resolve().parents[1]

# What a value may hold: any character but those that end or break a line.
CP1251 = [char for char in bytes(range(256)).decode("cp1251", "ignore")
          if unicodedata.category(char) not in ("Cc", "Zl", "Zp")]
ANY_TEXT = st.characters(exclude_categories=("Cc", "Cs", "Zl", "Zp"))
DIGIT = "0123456789"


def digits(count):
    return st.text(DIGIT, min_size=count, max_size=count)


def completed(make, test):
    """make(d) for the first digit d that passes test: a number with its check digit."""
    return next(number for number in map(make, DIGIT) if test(number))


@st.composite
def inns(draw):
    head = draw(digits(9) | digits(10))
    if len(head) == 9:
        return completed(lambda d: head + d, inn_ok)
    return next(inn for inn in (head + a + b for a in DIGIT for b in DIGIT) if inn_ok(inn))


@st.composite
def banks(draw):
    """A BIC with a correspondent account and a client account of that bank: credit
    institutions, settlement centres of the central bank (no correspondent account) and the
    treasury (its accounts 03...)."""
    kind = draw(st.sampled_from(["bank", "centre", "treasury"]))
    if kind == "treasury":
        bic = "01" + draw(digits(7))
        rest = draw(digits(11))
        corr = completed(lambda d: "40102810" + d + rest, lambda a: corr_account_ok(a, bic))
        return bic, corr, "03" + draw(digits(18))
    tail = draw(st.sampled_from(["000", "001", "002"]) if kind == "centre" else digits(3))
    bic = "04" + draw(digits(4)) + tail
    middle = draw(digits(8))
    corr = (draw(st.sampled_from([None, ""])) if kind == "centre" else
            completed(lambda d: "30101810" + d + middle + tail,
                      lambda a: corr_account_ok(a, bic)))
    # A clearing-currency letter now and then in 6th place.
    head = draw(digits(5)) + draw(st.sampled_from(list(DIGIT) + ["В", "Х"])) + draw(digits(2))
    rest = draw(digits(11))
    account = completed(lambda d: head + d + rest, lambda a: account_ok(a, bic))
    return bic, corr, account


def texts(alphabet, min_size=0, max_size=30):
    return st.text(alphabet, min_size=min_size, max_size=max_size)


def maybe(strategy):
    return st.none() | strategy


AMOUNTS = st.builds(lambda magnitude, scale: Decimal((0, tuple(map(int, str(magnitude))), -scale)),
                    st.integers(1, 2**96 - 1), st.integers(0, 28))
TIMES = st.times().map(lambda t: t.replace(microsecond=0))
KPPS = st.just("0") | st.builds(lambda a, b, c: a + b + c, digits(4),
                                texts(DIGIT + "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2, 2), digits(3))


@st.composite
def orders(draw, alphabet):
    payer_bic, payer_corr, payer_account = draw(banks())
    payee_bic, payee_corr, payee_account = draw(banks())
    text = {field.name: texts(alphabet, max_size=field.length or 30) for field in FIELDS}
    required = {field.name: texts(alphabet, 1, field.length or 30) for field in FIELDS}
    values = {
        "doc_number": draw(st.from_regex(r"[1-9][0-9]{0,5}", fullmatch=True)),
        "doc_type": draw(st.sampled_from(DOCUMENT_KINDS)),
        "doc_date": draw(st.dates()),
        "amount": draw(AMOUNTS),
        "counterparty_inn": draw(inns()), "payee_inn": draw(inns()),
        "counterparty_bic": payer_bic, "payee_bic": payee_bic,
        "counterparty_cor_account": payer_corr, "payee_cor_account": payee_corr,
        "counterparty_account": payer_account, "payee_account": payee_account,
        "counterparty_ras_account": payer_account, "payee_ras_account": payee_account,
        "payment_type": draw(digits(2)),
        "ordering": draw(maybe(digits(1))),
        "counterparty_kpp": draw(maybe(KPPS)), "payee_kpp": draw(maybe(KPPS)),
        "acceptance_term": draw(maybe(st.integers(0, 10**9))),
        "receipt_time": draw(maybe(TIMES)),
    }
    for field in FIELDS:
        if field.name in values:
            continue
        if field.kind == "date":
            values[field.name] = draw(maybe(st.dates()))
        elif field.required == "always":
            values[field.name] = draw(required[field.name])
        elif field.name == "purpose":
            values[field.name] = draw(text[field.name])
        elif field.required == "never":
            values[field.name] = draw(maybe(text[field.name]))
    if draw(st.booleans()):  # a payment to the budget
        values.update(
            counterparty_kpp=draw(KPPS), payee_kpp=draw(KPPS),
            author_status=draw(required["author_status"]),
            budget_code=draw(st.just("0") | digits(20)),
            oktmo=draw(st.sampled_from(["0"]) | digits(8) | digits(11)),
            tax_basis=draw(required["tax_basis"]), tax_period=draw(required["tax_period"]),
            tax_doc_number=draw(required["tax_doc_number"]),
            tax_doc_date=draw(st.just("0") | st.dates().map(lambda d: d.strftime("%d.%m.")
                                                            + f"{d.year:04d}")))
    return vexdal.PaymentOrder(**values)


@st.composite
def files(draw):
    encoding = draw(st.sampled_from(["cp1251", "utf-8"]))
    alphabet = CP1251 if encoding == "cp1251" else ANY_TEXT
    return encoding, draw(st.lists(orders(alphabet), min_size=1, max_size=3))


def reread(attrs, doc_type):
    """A PaymentOrder from a document's key=value pairs as the parser hands them to a hook."""
    values = {}
    for field in FIELDS:
        text = attrs.get(field.key)
        if text is None:
            continue
        if field.kind == "date":
            day, month, year = map(int, text.split("."))
            values[field.name] = datetime.date(year, month, day)
        elif field.kind == "time":
            values[field.name] = datetime.time.fromisoformat(text)
        else:
            values[field.name] = {"amount": Decimal, "integer": int}.get(field.kind, str)(text)
    return vexdal.PaymentOrder(doc_type=doc_type, **values)


def document_text(value):
    """A PaymentOrder value as vexdal_py.Document gives it."""
    if isinstance(value, datetime.date):
        return value.isoformat()
    return f"{value:f}" if isinstance(value, Decimal) else value


# Thirty files of one to three orders in the default run, which stays quick; `pytest
# --hypothesis-profile=thorough` (tests/conftest.py) takes that profile's 10,000 files.
THOROUGH = settings.get_profile("thorough").max_examples
EXAMPLES = THOROUGH if settings.default.max_examples >= THOROUGH else 30


@settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(files())
def test_written_orders_come_back_field_for_field(file):
    encoding, written = file
    accounts = list(dict.fromkeys(order.counterparty_account for order in written))
    data = vexdal.payment_orders(written, sender="Бухгалтерия", receiver="Банк",
                                 account=accounts, encoding=encoding).dumps()
    seen = []
    statement = vexdal_py.parse(data, [lambda kind, attrs, header: seen.append(dict(attrs))])
    assert statement.warnings == []
    assert [doc.doc_type for doc in statement.documents] == [o.doc_type for o in written]
    for doc, attrs, order in zip(statement.documents, seen, written):
        assert {name: getattr(doc, name) for name in DOCUMENT_FIELDS} \
            == {name: document_text(getattr(order, name)) for name in DOCUMENT_FIELDS}
        assert reread(attrs, doc.doc_type) == order


SOUND = vexdal.PaymentOrder(
    doc_number="288", doc_date=datetime.date(2021, 8, 20), amount=Decimal("1500.00"),
    purpose="Оплата по счёту 42", payment_type="01", ordering="5",
    counterparty='ИНН 7707049388 ПАО "Ростелеком"', counterparty_inn="7707049388",
    counterparty_1='ПАО "Ростелеком"', counterparty_account="40702810942020002415",
    counterparty_ras_account="40702810942020002415", counterparty_bic="042202603",
    counterparty_bank1="ВОЛГО-ВЯТСКИЙ БАНК ПАО СБЕРБАНК", counterparty_bank2="г. Нижний Новгород",
    counterparty_cor_account="30101810900000000603",
    payee="ИНН 7707083893 ПАО Сбербанк", payee_inn="7707083893", payee_1="ПАО Сбербанк",
    payee_account="40703810338000004033", payee_ras_account="40703810338000004033",
    payee_bic="044525225", payee_bank1="ПАО СБЕРБАНК", payee_bank2="г. Москва",
    payee_cor_account="30101810400000000225")


def write(*orders, **header):
    arguments = {"sender": "Бухгалтерия", "receiver": "Сбербанк",
                 "account": "40702810942020002415", **header}
    return vexdal.payment_orders(orders, **arguments)


def test_file_keeps_the_formats_order():
    lines = write(SOUND, dataclasses.replace(SOUND, doc_number="289", payment_type="02",
                                             doc_type="Платежное требование"),
                  date_start=datetime.date(2021, 8, 1)).dumps().decode("cp1251").split("\r\n")
    assert lines[:12] == [
        "1CClientBankExchange", "ВерсияФормата=1.03", "Кодировка=Windows",
        "Отправитель=Бухгалтерия", "Получатель=Сбербанк", lines[5], lines[6],
        "ДатаНачала=01.08.2021", "ДатаКонца=20.08.2021", "РасчСчет=40702810942020002415",
        "Документ=Платежное поручение", "Документ=Платежное требование"]
    assert re.fullmatch(r"ДатаСоздания=\d\d\.\d\d\.\d{4}", lines[5])
    assert re.fullmatch(r"ВремяСоздания=\d\d:\d\d:\d\d", lines[6])
    assert lines[12:17] == ["СекцияДокумент=Платежное поручение", "Номер=288", "Дата=20.08.2021",
                            "Сумма=1500.00", "ПлательщикСчет=40702810942020002415"]
    assert lines[-4:] == ["Очередность=5", "КонецДокумента", "КонецФайла", ""]
    assert lines.count("КонецДокумента") == 2


@pytest.mark.parametrize(("encoding", "declared"), [("cp1251", "Windows"), ("CP866", "DOS"),
                                                    ("utf_8", "Windows")])
def test_encodings(encoding, declared):
    data = write(SOUND, encoding=encoding).dumps()
    assert f"Кодировка={declared}\r\n".encode(encoding) in data
    assert "НазначениеПлатежа=Оплата по счёту 42\r\n".encode(encoding) in data


def test_an_order_is_refused_naming_every_fault():
    faulty = dataclasses.replace(
        SOUND, doc_number="0", amount=Decimal("12.345e-26"), counterparty_inn="7707049389",
        counterparty_1=None, counterparty_bank2="г." * 16, payee_bic="04452522",
        payee_account="40703810338000004034", payment_type="1", payee_2="а\nб",
        receipt_time=datetime.time(1, 2, 3, 4), tax_basis="ТП", doc_type="Платёжное поручение",
        doc_date=datetime.date(2021, 9, 1))
    with pytest.raises(vexdal.PaymentOrderError) as raised:
        write(SOUND, faulty, date_end=datetime.date(2021, 8, 31), encoding="cp866")
    budget = "missing: a payment to the budget must give it, 0 where it does not apply"
    assert [str(p) for p in raised.value.problems] == [
        "orders[1]: doc_type (СекцияДокумент): 'Платёжное поручение': not a kind of payment "
        "document (one of Платежное поручение, Аккредитив, Платежное требование, Инкассовое "
        "поручение)",
        "orders[1]: doc_number (Номер): '0': a document number must not be zero",
        "orders[1]: doc_date (Дата): 01.09.2021 is outside the file's days, 20.08.2021 to "
        "31.08.2021",
        "orders[1]: amount (Сумма): Decimal('1.2345E-25'): more than 28 decimal places",
        "orders[1]: receipt_time (КвитанцияВремя): datetime.time(1, 2, 3, 4): not a whole second",
        "orders[1]: counterparty_inn (ПлательщикИНН): '7707049389': wrong check digit",
        "orders[1]: counterparty_1 (Плательщик1): missing: a payment order must give it",
        f"orders[1]: counterparty_bank2 (ПлательщикБанк2): '{'г.' * 16}': 32 characters, longer "
        "than 30",
        "orders[1]: payee_2 (Получатель2): 'а\\nб': holds the control character U+000A",
        "orders[1]: payee_bic (ПолучательБИК): '04452522': not 9 digits",
        "orders[1]: payment_type (ВидОплаты): '1': not 2 digits",
        *(f"orders[1]: {name} ({key}): {budget}" for name, key in [
            ("author_status", "СтатусСоставителя"), ("counterparty_kpp", "ПлательщикКПП"),
            ("payee_kpp", "ПолучательКПП"), ("budget_code", "ПоказательКБК"),
            ("oktmo", "ОКАТО"), ("tax_period", "ПоказательПериода"),
            ("tax_doc_number", "ПоказательНомера"), ("tax_doc_date", "ПоказательДаты")]),
    ]
    assert str(raised.value).startswith("19 problems in the payment orders:\n  orders[1]: ")
    assert raised.value.problems[0].index == 1


@pytest.mark.parametrize(("change", "header", "problem"), [
    ({"payee_2": "Ǆ"}, {}, "orders[0]: payee_2 (Получатель2): 'Ǆ': holds 'Ǆ', which cp1251 "
     "cannot write"),
    ({"amount": Decimal(2**96)}, {},
     "orders[0]: amount (Сумма): Decimal('79228162514264337593543950336'): too large to be read "
     "back exactly"),
    ({"amount": Decimal("-0.00")}, {},
     "orders[0]: amount (Сумма): Decimal('-0.00'): not above zero"),
    ({"doc_date": datetime.datetime(2021, 8, 20, 9, 0)},
     {"date_start": datetime.date(2021, 8, 20)},
     "orders[0]: doc_date (Дата): datetime.datetime(2021, 8, 20, 9, 0): not a datetime.date"),
    ({"counterparty_account": "40702810200000000001"}, {},
     "orders[0]: counterparty_account (ПлательщикСчет): '40702810200000000001': "
     "not the file's account (РасчСчет)"),
    ({}, {"account": "4070281094202000241", "sender": ""},
     "header: sender (Отправитель): missing\n"
     "header: account (РасчСчет): '4070281094202000241': not 20 digits"),
    ({}, {"date_start": datetime.date(2021, 9, 1), "date_end": datetime.date(2021, 8, 1)},
     "header: date_end (ДатаКонца): 01.08.2021 is before ДатаНачала 01.09.2021\n"
     "orders[0]: doc_date (Дата): 20.08.2021 is outside the file's days, 01.09.2021 to "
     "01.08.2021"),
], ids=["unwritable", "too-large", "negative-zero", "datetime", "other-account", "header",
        "days"])
def test_other_faults(change, header, problem):
    with pytest.raises(vexdal.PaymentOrderError) as raised:
        write(dataclasses.replace(SOUND, **change), **header)
    assert "\n".join(map(str, raised.value.problems)) == problem


def test_error_pickles_whole():
    with pytest.raises(vexdal.PaymentOrderError) as raised:
        write(SOUND, "not an order")
    copy = pickle.loads(pickle.dumps(raised.value))
    assert copy.problems == raised.value.problems
    assert str(copy) == str(raised.value) == ("1 problem in the payment orders:\n"
                                              "  orders[1]: not a PaymentOrder but str")


def test_unknown_encoding_is_a_usage_error():
    with pytest.raises(ValueError, match="^encoding must be one of cp1251, cp866, utf-8, "
                                         "not 'latin-1'$"):
        write(SOUND, encoding="latin-1")


def readme_block(name, title):
    text = (ROOT / name).read_text(encoding="utf-8")
    section = text.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


def test_readme_example_runs(tmp_path, monkeypatch):
    code = readme_block("README.md", "Writing payment orders")
    assert code == readme_block("README.ru.md", "Запись платёжных поручений")
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    statement = vexdal_py.parse((tmp_path / "1c_to_kl.txt").read_bytes())
    assert [doc.amount for doc in statement.documents] == ["1500.00"]

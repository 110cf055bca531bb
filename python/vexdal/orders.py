"""Payment orders: the file an accounting program sends to its bank. The record, the keys of a
document section in the format's order, and the checks every order passes before a line of it is
written; the lines themselves are the file model's."""

from __future__ import annotations

import codecs
import dataclasses
import datetime
import re
import unicodedata
from decimal import Decimal
from typing import Iterable, NamedTuple, Sequence, Union

from vexdal import requisites
from vexdal.model import ExchangeFile, Section


@dataclasses.dataclass(frozen=True)
class PaymentOrder:
    """One document of the file. The first 26 fields are those of vexdal_py.Document, under the
    same names (the payer's keys fill the counterparty fields); the others are the rest of the
    format's document keys. None leaves a key out of the file; "" writes it empty."""

    doc_number: str
    doc_date: datetime.date
    amount: Decimal
    purpose: str
    counterparty_inn: str
    counterparty_bic: str
    counterparty_bank1: str
    counterparty_account: str
    payee_inn: str
    payee_account: str
    payee_bic: str
    payee_bank1: str
    doc_type: str = "Платежное поручение"
    payment_type: str | None = None
    ordering: str | None = None
    counterparty_kpp: str | None = None
    counterparty: str | None = None
    counterparty_1: str | None = None
    outcome_date: datetime.date | None = None
    counterparty_ras_account: str | None = None
    counterparty_cor_account: str | None = None
    payee: str | None = None
    payee_kpp: str | None = None
    payee_ras_account: str | None = None
    payee_cor_account: str | None = None
    income_date: datetime.date | None = None
    # The bank's receipt: bank files carry it, an accounting program rarely does.
    receipt_date: datetime.date | None = None
    receipt_time: datetime.time | None = None
    receipt_text: str | None = None
    counterparty_2: str | None = None
    counterparty_3: str | None = None
    counterparty_4: str | None = None
    counterparty_bank2: str | None = None
    payee_1: str | None = None
    payee_2: str | None = None
    payee_3: str | None = None
    payee_4: str | None = None
    payee_bank2: str | None = None
    payment_method: str | None = None
    purpose_code: str | None = None
    payment_id: str | None = None
    purpose_1: str | None = None
    purpose_2: str | None = None
    purpose_3: str | None = None
    purpose_4: str | None = None
    purpose_5: str | None = None
    purpose_6: str | None = None
    # Payments to the budget: given one, give them all.
    author_status: str | None = None
    budget_code: str | None = None
    oktmo: str | None = None
    tax_basis: str | None = None
    tax_period: str | None = None
    tax_doc_number: str | None = None
    tax_doc_date: str | None = None
    payout_code: str | None = None
    # Claims, acceptance and letters of credit.
    acceptance_term: int | None = None
    credit_kind: str | None = None
    payment_term: datetime.date | None = None
    payment_condition_1: str | None = None
    payment_condition_2: str | None = None
    payment_condition_3: str | None = None
    payment_on_presentation: str | None = None
    extra_conditions: str | None = None
    supplier_account: str | None = None
    docs_sent_date: datetime.date | None = None
    debtor_code: str | None = None


Value = Union[str, datetime.date, datetime.time, Decimal, int]

# What a key holds, which decides the Python type of its field and how the value is written.
TEXT, DATE, TIME, AMOUNT, INTEGER = "text", "date", "time", "amount", "integer"
# When the accounting program must give a key: always, in a payment to the budget, or never.
ALWAYS, BUDGET, NEVER = "always", "budget", "never"


class Form(NamedTuple):
    pattern: re.Pattern[str]
    description: str


def form(pattern: str, description: str) -> Form:
    return Form(re.compile(pattern), description)


NONE_OR = r"0|"  # budget fields write 0 for "not applicable"
TWO_DIGITS = form(r"[0-9]{2}", "not 2 digits")
ONE_DIGIT = form(r"[0-9]", "not 1 digit")
BUDGET_CODE = form(NONE_OR + r"[0-9]{20}", "not 20 digits, nor 0")
OKTMO = form(NONE_OR + r"[0-9]{8}|[0-9]{11}", "not 8 or 11 digits, nor 0")
TAX_DATE = form(NONE_OR + r"[0-9]{2}\.[0-9]{2}\.[0-9]{4}", "not DD.MM.YYYY, nor 0")


class Field(NamedTuple):
    """One key of a document section: its field, what it holds, its longest value, when it is
    required, and the form its text must have. Requisites (INN, KPP, BIC, accounts) are judged by
    vexdal.requisites instead."""

    key: str
    name: str
    kind: str = TEXT
    required: str = NEVER
    length: int | None = None
    form: Form | None = None


# Every key of a document section in the format's order, the order peers write them in.
# Required: what the format asks of the accounting program. Lengths: those of the same
# requisites in 1C's DirectBank exchange (bank names and cities, payment kind, identifier,
# purpose, the budget fields).
FIELDS = (
    Field("Номер", "doc_number", required=ALWAYS),
    Field("Дата", "doc_date", DATE, ALWAYS),
    Field("Сумма", "amount", AMOUNT, ALWAYS),
    Field("КвитанцияДата", "receipt_date", DATE),
    Field("КвитанцияВремя", "receipt_time", TIME),
    Field("КвитанцияСодержание", "receipt_text"),
    Field("ПлательщикСчет", "counterparty_account", required=ALWAYS),
    Field("ДатаСписано", "outcome_date", DATE),
    Field("Плательщик", "counterparty", required=ALWAYS),
    Field("ПлательщикИНН", "counterparty_inn", required=ALWAYS),
    Field("Плательщик1", "counterparty_1", required=ALWAYS),
    Field("Плательщик2", "counterparty_2"),
    Field("Плательщик3", "counterparty_3"),
    Field("Плательщик4", "counterparty_4"),
    Field("ПлательщикРасчСчет", "counterparty_ras_account", required=ALWAYS),
    Field("ПлательщикБанк1", "counterparty_bank1", required=ALWAYS, length=160),
    Field("ПлательщикБанк2", "counterparty_bank2", required=ALWAYS, length=30),
    Field("ПлательщикБИК", "counterparty_bic", required=ALWAYS),
    Field("ПлательщикКорсчет", "counterparty_cor_account", required=ALWAYS),
    Field("ПолучательСчет", "payee_account", required=ALWAYS),
    Field("ДатаПоступило", "income_date", DATE),
    Field("Получатель", "payee", required=ALWAYS),
    Field("ПолучательИНН", "payee_inn", required=ALWAYS),
    Field("Получатель1", "payee_1", required=ALWAYS),
    Field("Получатель2", "payee_2"),
    Field("Получатель3", "payee_3"),
    Field("Получатель4", "payee_4"),
    Field("ПолучательРасчСчет", "payee_ras_account", required=ALWAYS),
    Field("ПолучательБанк1", "payee_bank1", required=ALWAYS, length=160),
    Field("ПолучательБанк2", "payee_bank2", required=ALWAYS, length=30),
    Field("ПолучательБИК", "payee_bic", required=ALWAYS),
    Field("ПолучательКорсчет", "payee_cor_account", required=ALWAYS),
    Field("ВидПлатежа", "payment_method", length=15),
    Field("КодНазПлатежа", "purpose_code", length=1),
    Field("ВидОплаты", "payment_type", required=ALWAYS, form=TWO_DIGITS),
    Field("Код", "payment_id", length=25),
    Field("НазначениеПлатежа", "purpose", length=210),
    *(Field(f"НазначениеПлатежа{n}", f"purpose_{n}") for n in range(1, 7)),
    Field("СтатусСоставителя", "author_status", required=BUDGET, length=2),
    Field("ПлательщикКПП", "counterparty_kpp", required=BUDGET),
    Field("ПолучательКПП", "payee_kpp", required=BUDGET),
    Field("ПоказательКБК", "budget_code", required=BUDGET, form=BUDGET_CODE),
    Field("ОКАТО", "oktmo", required=BUDGET, form=OKTMO),
    Field("ПоказательОснования", "tax_basis", required=BUDGET, length=2),
    Field("ПоказательПериода", "tax_period", required=BUDGET, length=10),
    Field("ПоказательНомера", "tax_doc_number", required=BUDGET, length=15),
    Field("ПоказательДаты", "tax_doc_date", required=BUDGET, form=TAX_DATE),
    Field("ПоказательТипа", "payout_code", length=2),
    Field("Очередность", "ordering", form=ONE_DIGIT),
    Field("СрокАкцепта", "acceptance_term", INTEGER),
    Field("ВидАккредитива", "credit_kind"),
    Field("СрокПлатежа", "payment_term", DATE),
    *(Field(f"УсловиеОплаты{n}", f"payment_condition_{n}") for n in range(1, 4)),
    Field("ПлатежПоПредст", "payment_on_presentation"),
    Field("ДополнУсловия", "extra_conditions"),
    Field("НомерСчетаПоставщика", "supplier_account"),
    Field("ДатаОтсылкиДок", "docs_sent_date", DATE),
    Field("КодДебитора", "debtor_code"),
)

KEY_ORDER = {field.key: n for n, field in enumerate(FIELDS)}

# The kinds of payment document the format defines (bank orders and the like are the bank's).
DOCUMENT_KINDS = ("Платежное поручение", "Аккредитив", "Платежное требование",
                  "Инкассовое поручение")

# The largest amount the parser holds exactly: a 96-bit magnitude, at most 28 decimal places.
MAX_SCALE = 28
MAX_MAGNITUDE = 2**96 - 1

# What "Кодировка" says for each encoding a bank client reads. The format names only Windows
# and DOS; UTF-8 files in the wild declare Windows, and their readers tell them by their bytes.
ENCODING_NAMES = {"cp1251": "Windows", "cp866": "DOS", "utf-8": "Windows"}

FORMAT_VERSION = "1.03"


@dataclasses.dataclass(frozen=True)
class OrderProblem:
    """One thing wrong with the orders: index is the order's position in the sequence given
    (None for the file's own header values), field the PaymentOrder field or the argument of
    payment_orders, key the format's key."""

    index: int | None
    field: str
    key: str
    message: str

    def __str__(self) -> str:
        where = "header" if self.index is None else f"orders[{self.index}]"
        return f"{where}: {self.field} ({self.key}): {self.message}" if self.field else \
            f"{where}: {self.message}"


class PaymentOrderError(ValueError):
    """The orders cannot be written; problems holds every problem found, in order."""

    def __init__(self, problems: Sequence[OrderProblem]) -> None:
        self.problems = tuple(problems)
        count = len(self.problems)
        super().__init__(f"{count} problem{'' if count == 1 else 's'} in the payment orders:\n"
                         + "\n".join(f"  {problem}" for problem in self.problems))

    def __reduce__(self) -> tuple[type[PaymentOrderError], tuple[tuple[OrderProblem, ...]]]:
        # Rebuilt from its problems, so that it crosses a process boundary whole.
        return type(self), (self.problems,)


def payment_orders(orders: Iterable[PaymentOrder], *, sender: str, receiver: str,
                   account: str | Sequence[str], date_start: datetime.date | None = None,
                   date_end: datetime.date | None = None,
                   encoding: str = "cp1251") -> ExchangeFile:
    """The file that sends orders to the bank from account (the organisation's account, or
    several), for the days date_start to date_end (by default those of the first and last
    order). Raises PaymentOrderError naming every problem of every order, and writes nothing,
    unless all of them are sound."""
    orders = list(orders)
    codec = codec_name(encoding)
    accounts = [account] if isinstance(account, str) else list(account)
    dates = [order.doc_date for order in orders
             if isinstance(order, PaymentOrder) and is_date(order.doc_date)]
    today = datetime.date.today()
    start = date_start or min(dates, default=today)
    end = date_end or max(dates, default=today)

    found = header_problems(sender, receiver, accounts, start, end, codec)
    # Orders are held to the file's account only once it is itself sound.
    known = None if any(p.key == "РасчСчет" for p in found) else accounts
    for index, order in enumerate(orders):
        if isinstance(order, PaymentOrder):
            found.extend(order_problems(index, order, codec, known, start, end))
        else:
            found.append(OrderProblem(index, "", "", f"not a PaymentOrder but "
                                      f"{type(order).__name__}"))
    if found:
        raise PaymentOrderError(found)

    now = datetime.datetime.now()
    header = [("ВерсияФормата", FORMAT_VERSION), ("Кодировка", ENCODING_NAMES[codec]),
              ("Отправитель", sender), ("Получатель", receiver),
              ("ДатаСоздания", date_text(now.date())), ("ВремяСоздания", now.strftime("%H:%M:%S")),
              ("ДатаНачала", date_text(start)), ("ДатаКонца", date_text(end))]
    header.extend(("РасчСчет", number) for number in accounts)
    header.extend(("Документ", kind) for kind in dict.fromkeys(o.doc_type for o in orders))
    sections = [Section("document", section_items(order), doc_type=order.doc_type)
                for order in orders]
    return ExchangeFile(header, sections, encoding=codec)


def codec_name(encoding: str) -> str:
    try:
        name = codecs.lookup(encoding).name
    except LookupError:
        name = ""
    if name not in ENCODING_NAMES:
        raise ValueError(f"encoding must be one of {', '.join(ENCODING_NAMES)}, not {encoding!r}")
    return name


def section_items(order: PaymentOrder) -> list[tuple[str, str]]:
    items = []
    for field in FIELDS:
        value = getattr(order, field.name)
        if value is not None:
            items.append((field.key, value_text(value)))
    return items


def value_text(value: Value) -> str:
    if isinstance(value, datetime.date):
        return date_text(value)
    if isinstance(value, datetime.time):
        return value.strftime("%H:%M:%S")
    if isinstance(value, Decimal):
        # Fixed point whatever the exponent, keeping the scale: 1E+2 is 100, 1.50 stays 1.50.
        return f"{value:f}"
    return str(value)


def date_text(date: datetime.date) -> str:
    # strftime pads years before 1000 differently on different C libraries.
    return f"{date.day:02d}.{date.month:02d}.{date.year:04d}"


def is_date(value: object) -> bool:
    # A datetime is a date too, but its time would be lost without a word.
    return isinstance(value, datetime.date) and not isinstance(value, datetime.datetime)


def text_problem(text: str, codec: str) -> str | None:
    """Why a text cannot stand as the value of one line of the file, if it cannot."""
    for char in text:
        if unicodedata.category(char) in ("Cc", "Zl", "Zp"):
            return f"holds the control character U+{ord(char):04X}"
    try:
        text.encode(codec)
    except UnicodeEncodeError as error:
        return f"holds {error.object[error.start]!r}, which {codec} cannot write"
    return None


def amount_problem(amount: Decimal) -> str | None:
    if not amount.is_finite():
        return "not a number"
    if amount <= 0:
        return "not above zero"
    _, digits, exponent = amount.as_tuple()
    assert isinstance(exponent, int)  # finite
    if -exponent > MAX_SCALE:
        return f"more than {MAX_SCALE} decimal places"
    if int("".join(map(str, digits))) * 10 ** max(exponent, 0) > MAX_MAGNITUDE:
        return "too large to be read back exactly"
    return None


def value_problem(field: Field, value: object, codec: str) -> str | None:
    """What is wrong with a value given for field, on its own, if anything."""
    if field.kind == DATE:
        return None if is_date(value) else "not a datetime.date"
    if field.kind == TIME:
        if not isinstance(value, datetime.time):
            return "not a datetime.time"
        # The file writes whole seconds of local time.
        return "not a whole second" if value.microsecond or value.tzinfo else None
    if field.kind == AMOUNT:
        return amount_problem(value) if isinstance(value, Decimal) else "not a decimal.Decimal"
    if field.kind == INTEGER:
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            return "not a whole number of at least 0"
        return None
    if not isinstance(value, str):
        return f"not text but {type(value).__name__}"
    if field.length and len(value) > field.length:
        return f"{len(value)} characters, longer than {field.length}"
    if field.form and not field.form.pattern.fullmatch(value):
        return field.form.description
    if field.form is TAX_DATE and value != "0":
        day, month, year = map(int, value.split("."))
        try:
            datetime.date(year, month, day)
        except ValueError:
            return "not a day of the calendar"
    return text_problem(value, codec)


def order_problems(index: int, order: PaymentOrder, codec: str, accounts: list[str] | None,
                   start: datetime.date, end: datetime.date) -> list[OrderProblem]:
    """Every problem of one order, in the order of its keys in the file."""
    found: list[OrderProblem] = []

    def problem(field: Field, message: str) -> None:
        found.append(OrderProblem(index, field.name, field.key, message))

    # Ordinary payments give KPPs too; any other budget field makes a payment to the budget.
    budget = any(getattr(order, f.name) not in (None, "") for f in FIELDS
                 if f.required == BUDGET and f.key not in requisites.KPP_KEYS)
    texts: dict[str, str] = {}
    for field in FIELDS:
        value = getattr(order, field.name)
        if value is None or value == "":
            if field.required == ALWAYS and not may_be_empty(field, order):
                problem(field, "missing: a payment order must give it")
            elif field.required == BUDGET and budget:
                problem(field, "missing: a payment to the budget must give it, "
                        "0 where it does not apply")
            continue
        message = value_problem(field, value, codec)
        if message:
            problem(field, f"{value!r}: {message}")
        elif isinstance(value, str):
            texts[field.key] = value

    by_key = {field.key: field for field in FIELDS}
    for requisite in requisites.problems(texts):
        problem(by_key[requisite.key], f"{requisite.value!r}: {requisite.reason}")

    kind = order.doc_type
    if kind not in DOCUMENT_KINDS:
        found.append(OrderProblem(index, "doc_type", "СекцияДокумент",
                                  f"{kind!r}: not a kind of payment document (one of "
                                  + ", ".join(DOCUMENT_KINDS) + ")"))
    if "Номер" in texts and texts["Номер"].strip("0") == "":
        problem(by_key["Номер"], f"{order.doc_number!r}: a document number must not be zero")
    if accounts is not None and texts.get("ПлательщикСчет", accounts[0]) not in accounts:
        problem(by_key["ПлательщикСчет"], f"{order.counterparty_account!r}: not the file's "
                "account (РасчСчет)")
    if is_date(order.doc_date) and not start <= order.doc_date <= end:
        problem(by_key["Дата"], f"{date_text(order.doc_date)} is outside the file's days, "
                f"{date_text(start)} to {date_text(end)}")
    return sorted(found, key=lambda p: KEY_ORDER.get(p.key, -1))


def may_be_empty(field: Field, order: PaymentOrder) -> bool:
    """A bank that is a division of the central bank has no correspondent account."""
    bic_name = {"counterparty_cor_account": "counterparty_bic",
                "payee_cor_account": "payee_bic"}.get(field.name)
    if bic_name is None:
        return False
    bic = getattr(order, bic_name)
    return isinstance(bic, str) and requisites.bic_ok(bic) and bic[6:] in requisites.CBR_DIVISIONS


def header_problems(sender: str, receiver: str, accounts: list[str], start: datetime.date,
                    end: datetime.date, codec: str) -> list[OrderProblem]:
    found = []
    for name, key, value in (("sender", "Отправитель", sender),
                             ("receiver", "Получатель", receiver)):
        message = (f"{value!r}: not text" if not isinstance(value, str)
                   else "missing" if not value else text_problem(value, codec))
        if message:
            found.append(OrderProblem(None, name, key, message))
    if not accounts:
        found.append(OrderProblem(None, "account", "РасчСчет", "missing"))
    for number in accounts:
        message = (requisites.account_form_error(number) if isinstance(number, str)
                   else "not text")
        if message:
            found.append(OrderProblem(None, "account", "РасчСчет", f"{number!r}: {message}"))
    for name, key, date in (("date_start", "ДатаНачала", start), ("date_end", "ДатаКонца", end)):
        if not is_date(date):
            found.append(OrderProblem(None, name, key, f"{date!r}: not a datetime.date"))
    if is_date(start) and is_date(end) and start > end:
        found.append(OrderProblem(None, "date_end", "ДатаКонца",
                                  f"{date_text(end)} is before ДатаНачала {date_text(start)}"))
    return found

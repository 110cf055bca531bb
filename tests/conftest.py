"""Builders for statement texts, so that each test spells out only what differs."""

import platform
from pathlib import Path

import pytest
from hypothesis import settings

# --refleaks (tools/refleaks.sh): each test three times on a debug build, failing on growth.
pytest_plugins = ["refleaks"]

# `pytest --hypothesis-profile=thorough` for the long runs of the property tests that take the
# profile's number of examples (10,000 files of payment orders written and read back).
settings.register_profile("thorough", max_examples=10_000)

# Statement files kept with the tests: real ones copied from other projects, and statements of
# the same shape written here where a licence allows no copy (data/SOURCES.md).
DATA = Path(__file__).resolve().parent / "data"

# A complete, valid payment document: every required key and a few optional ones.
DOCUMENT = {
    "Номер": "17",
    "Дата": "05.03.2024",
    "Сумма": "1500.50",
    "ПлательщикСчет": "40702810900000001234",
    "ПлательщикИНН": "7701234567",
    "ПлательщикКПП": "770101001",
    "Плательщик": 'ООО "Ромашка"',
    "ПлательщикБИК": "044525225",
    "ПлательщикБанк1": "ПАО СБЕРБАНК",
    "ПолучательСчет": "40702810400000005678",
    "ПолучательИНН": "7809876543",
    "Получатель": 'АО "Василёк"',
    "ПолучательБИК": "044030653",
    "ПолучательБанк1": "СЕВЕРО-ЗАПАДНЫЙ БАНК ПАО СБЕРБАНК",
    "НазначениеПлатежа": "Оплата по счёту № 42 от 01.03.2024, НДС не облагается",
}

ACCOUNT = {
    "ДатаНачала": "01.03.2024",
    "ДатаКонца": "31.03.2024",
    "РасчСчет": "40702810900000001234",
    "НачальныйОстаток": "10000.00",
    "ВсегоПоступило": "0.00",
    "ВсегоСписано": "1500.50",
    "КонечныйОстаток": "8499.50",
}

HEADER = {"ВерсияФормата": "1.03", "Кодировка": "Windows", "Отправитель": "Бухгалтерия"}


def attribute_lines(attrs):
    """key=value lines; a value of None leaves the key out, a str item is a raw line."""
    if isinstance(attrs, (list, tuple)):
        return [line if isinstance(line, str) else f"{line[0]}={line[1]}" for line in attrs]
    return [f"{key}={value}" for key, value in attrs.items() if value is not None]


def document_section(doc_type="Платежное поручение", **changes):
    """Lines of one document section: DOCUMENT with changes (None removes a key)."""
    attrs = {**DOCUMENT, **changes}
    return [f"СекцияДокумент={doc_type}", *attribute_lines(attrs), "КонецДокумента"]


def account_section(**changes):
    attrs = {**ACCOUNT, **changes}
    return ["СекцияРасчСчет", *attribute_lines(attrs), "КонецРасчСчет"]


def statement_lines(*sections, header=None):
    """A whole statement: first line, header, the given sections (lists of lines), end line."""
    lines = ["1CClientBankExchange", *attribute_lines(HEADER if header is None else header)]
    for section in sections or (document_section(),):
        lines.extend(section)
    lines.append("КонецФайла")
    return lines


# The characters Python's windows-1251 codec has (0x98 has none). A strategy that asks hypothesis
# for codec="cp1251" filters on these as well: some of its versions let U+FFFE through.
CP1251_CHARACTERS = frozenset(bytes(range(256)).decode("cp1251", "ignore"))


def encode(text, encoding):
    """text in encoding; for cp1251 as browsers write windows-1251, whose byte 0x98 stands for
    U+0098 where Python's codec has no character."""
    if encoding == "cp1251":
        return b"\x98".join(part.encode("cp1251") for part in text.split("\x98"))
    return text.encode(encoding)


def make_statement(*sections, header=None, encoding="cp1251", eol="\r\n"):
    """Statement bytes in the given encoding (or a str when encoding is None)."""
    text = eol.join(statement_lines(*sections, header=header)) + eol
    return text if encoding is None else encode(text, encoding)


def join(lines, eol="\n", encoding="utf-8"):
    return encode(eol.join(lines) + eol, encoding)


def pypy_limit(reason):
    """An expected failure on PyPy, for something a C extension cannot do there; strict, so that
    the day PyPy can, the test says so."""
    return pytest.mark.xfail(platform.python_implementation() == "PyPy", reason=reason,
                             strict=True)


# Texts and the quoted form that representations and messages show them in, grouped by the rule
# that applies.
QUOTED_FORMS = [
    pytest.param('a"b\\c', 'a\\"b\\\\c', id="quote-backslash"),
    pytest.param("\t\r\n\0", "\\t\\r\\n\\0", id="named-escapes"),
    pytest.param("it's", "it's", id="apostrophe"),
    pytest.param("РасчСчет Ёё №«»—€😀°\ufffd", "РасчСчет Ёё №«»—€😀°\ufffd", id="printable"),
    pytest.param("\x01\x1b\x7f\x85", "\\u{1}\\u{1b}\\u{7f}\\u{85}", id="controls"),
    pytest.param("\xa0\u3000\u2028\u2029", "\\u{a0}\\u{3000}\\u{2028}\\u{2029}",
                 id="separators"),
    pytest.param("\xad\u200b\u200d\ufeff\U000e0001",
                 "\\u{ad}\\u{200b}\\u{200d}\\u{feff}\\u{e0001}", id="format"),
    pytest.param("\ue000\U000f0000\u0378\U0010ffff",
                 "\\u{e000}\\u{f0000}\\u{378}\\u{10ffff}", id="private-unassigned"),
    pytest.param("е\u0301\u0488\u20dd", "е\\u{301}\\u{488}\\u{20dd}", id="combining"),
    pytest.param("\u09be\uff9e", "\\u{9be}\\u{ff9e}", id="extending-non-mark"),
    pytest.param("\u0903", "\u0903", id="spacing-mark"),
    pytest.param("", "", id="empty"),
]


def amount_message(quoted):
    """The failure text for an amount value; quoted is the value in its quoted text form."""
    return (f"invalid value: string {quoted}, "
            "expected a Decimal type representing a fixed-point number")


def expect_syntax_error(data, detail_class, text, /, hooks=None, **fields):
    """parse(data) must raise the module's own SyntaxError with text as its one argument and a
    detail object of the named class whose attributes equal fields."""
    import vexdal_py

    with pytest.raises(vexdal_py.SyntaxError) as caught:
        vexdal_py.parse(data, hooks)
    assert type(caught.value) is vexdal_py.SyntaxError
    assert caught.value.args == (text,)
    detail = caught.value.detail
    assert type(detail) is getattr(vexdal_py, detail_class)
    assert {name: getattr(detail, name) for name in fields} == fields


# `pytest --hypothesis-profile=thorough` runs the property tests that leave the number of examples
# to the profile 10,000 times each, instead of the default 100.
def _register_profiles():
    from hypothesis import settings

    settings.register_profile("thorough", max_examples=10_000)


_register_profiles()


def parsed_values(data):
    """What parse() reads of a statement: its header and each section's kind (0 document,
    1 account) and attributes as the hooks see them (a key's last value at its first place). DOS
    files are transcoded first."""
    import vexdal

    sections = []

    def hook(section_type, attrs, header):
        sections.append((int(section_type), dict(attrs)))

    statement, _ = vexdal.parse_statement(data, [hook])
    return dict(statement.header), sections


def model_values(model):
    """The same of a vexdal.ExchangeFile."""
    return dict(model.header), [(int(s.kind == "account"), dict(s.items))
                                for s in model.sections]

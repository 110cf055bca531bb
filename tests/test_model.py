"""The file model: load() gives back every byte it read, refuses what parse() refuses with the same
exception, reads DOS files, and dumps() writes only what parse() reads back as the same values."""

import codecs
import difflib
from pathlib import Path

import pytest

import vexdal
import vexdal_py
from conftest import (DATA, account_section, document_section, make_statement, model_values,
                      parsed_values)

ROOT = Path(__file__).resolve().parents[1]
# tests/data holds every statement the tests read (data/SOURCES.md).
FILES = sorted(DATA.glob("*.txt")) + [ROOT / "examples" / "statement.txt"]


def failure(call, data):
    """(class, args, detail fields) of what call(data) raises."""
    with pytest.raises(Exception) as caught:
        call(data)
    detail = getattr(caught.value, "detail", None)
    fields = None if detail is None else detail.__getnewargs__()
    return type(caught.value), caught.value.args, type(detail), fields


def dos_copy(data):
    """The statement in code page 866 with its header saying so, or None when its text has
    characters cp866 lacks."""
    text = vexdal.load(data).dumps(encoding="utf-8").decode("utf-8")
    first, rest = text.split("\n", 1)
    try:
        return f"{first}\nКодировка=DOS\n{rest}".encode("cp866")
    except UnicodeEncodeError:
        return None


@pytest.mark.parametrize("path", FILES, ids=[f"{p.parent.name}/{p.name}" for p in FILES])
def test_files_round_trip_or_fail_as_parse_does(path):
    data = path.read_bytes()
    try:
        vexdal_py.parse(data)
    except vexdal_py.ParseError:
        assert failure(vexdal.load, data) == failure(vexdal_py.parse, data)
        return
    model = vexdal.load(data)
    assert model.dumps() == data
    assert model_values(model) == parsed_values(data)
    dos = dos_copy(data)
    if dos is not None:
        copy = vexdal.load(dos)
        assert copy.encoding == "cp866"
        assert copy.dumps() == dos
        assert model_values(copy)[1] == model_values(model)[1]


BOM = codecs.BOM_UTF8
TEXT = make_statement(document_section(), encoding=None, eol="\n")


@pytest.mark.parametrize("data", [
    BOM + TEXT.encode(),
    TEXT,
    "\ufeff" + TEXT,
    BOM + TEXT.encode().replace("Ромашка".encode(), b"\xff"),
    codecs.BOM_UTF16_LE + TEXT.encode("utf-16-le"),
    codecs.BOM_UTF16_BE + TEXT.replace("Ромашка", "\ud800").encode("utf-16-be", "surrogatepass"),
    make_statement(document_section(Плательщик="\x98"), eol="\n").replace(b"\n", b"\r\n", 3),
    TEXT.replace("\n", "\n \t\n\r\n", 5).replace("=", "= ", 3).encode("cp1251"),
], ids=["utf8-mark", "str", "str-mark", "mark-and-bad-byte", "utf16le", "utf16be-lone-surrogate",
        "cp1251-0x98-mixed-ends", "blank-lines-and-spaces"])
def test_every_reading_of_the_bytes_comes_back(data):
    model = vexdal.load(data)
    assert model.dumps() == (data.encode() if isinstance(data, str) else data)
    assert model_values(model) == parsed_values(data)
    # Changed, the file is written in the codec it was read in, and reads the same.
    model.sections[0].set("Номер", "18")
    changed = model.dumps()
    assert parsed_values(changed)[1][0][1]["Номер"] == "18"
    assert model_values(vexdal.load(changed)) == model_values(model)


@pytest.mark.parametrize("data", [
    b"", "", b"\xff\xfe", bytearray(TEXT.encode()), TEXT + "\ud800", 7,
    make_statement(document_section()).replace("КонецФайла".encode("cp1251"), b""),
    TEXT.replace("КонецДокумента", "КонецДокумента "),
    make_statement(account_section(РасчСчет=None)),
    TEXT.replace("СекцияДокумент", "СекцияРасчСчет", 1),
    make_statement(account_section(ДатаНачала="1.1"), eol="\n"),
    make_statement(account_section(), encoding="cp866", eol="\n"),
    ("1CClientBankExchange\nКодировка=DOS\nСекцияДокумент=x\nабв\n").encode("cp866"),
], ids=["empty", "empty-str", "utf16-mark-only", "bytearray", "surrogate-str", "int",
        "unfinished", "bad-marker", "account-missing-key", "misplaced-marker", "bad-account-date",
        "cp866-undeclared", "dos-bad-line"])
def test_refused_files_raise_what_parse_raises(data):
    dos = vexdal.dos_text(data) if isinstance(data, bytes) else None
    expected = failure(vexdal_py.parse, data if dos is None else dos)
    assert failure(vexdal.load, data) == expected


def test_a_change_rewrites_only_its_own_lines():
    lines = make_statement(document_section(), document_section(Номер="2"), account_section(),
                           encoding="utf-8", eol="\n").split(b"\n")
    lines[5] += b"\r"  # one CR LF among LF, blank lines in the second document and after it
    assert lines[38] == "СекцияРасчСчет".encode()
    lines[38:38] = [b"  ", b""]
    lines[25:25] = [b"", b" \t"]
    data = b"\n".join(lines)
    model = vexdal.load(data)
    model.sections[1].set("Сумма", "7.00")
    model.sections[1].set("Новый", "ключ")
    model.sections.append(vexdal.Section("document", [("Номер", "3")], doc_type="Банковский ордер"))
    out = model.dumps()
    removed, added = [], []
    matcher = difflib.SequenceMatcher(None, data.split(b"\n"), out.split(b"\n"), autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        removed += data.split(b"\n")[i1:i2] if tag != "equal" else []
        added += out.split(b"\n")[j1:j2] if tag != "equal" else []
    assert removed == ["Сумма=1500.50".encode()]
    assert [line.decode() for line in added] == [
        "Сумма=7.00", "Новый=ключ", "СекцияДокумент=Банковский ордер", "Номер=3",
        "КонецДокумента"]
    assert model_values(vexdal.load(out)) == model_values(model) == parsed_values(out)


class TestSection:
    def test_get_set_delete_follow_the_last_value(self):
        section = vexdal.Section("document", [("А", "1"), ("Б", "2"), ("А", "3")], doc_type="")
        assert (section.get("А"), section.get("В"), section.get("В", "-")) == ("3", None, "-")
        section.set("А", "4")
        section.set("В", "5")
        assert section.items == [("А", "1"), ("Б", "2"), ("А", "4"), ("В", "5")]
        section.delete("А")
        assert section.items == [("Б", "2"), ("В", "5")]
        with pytest.raises(KeyError):
            section.delete("А")

    def test_loaded_sections_know_their_lines(self):
        data = make_statement(account_section(), document_section(doc_type="Банковский ордер"))
        account, document = vexdal.load(data).sections
        assert (account.kind, account.doc_type, account.lineno, account.end_lineno) == (
            "account", None, 5, 13)
        assert (document.kind, document.doc_type, document.lineno) == (
            "document", "Банковский ордер", 14)
        assert document.get("Сумма") == "1500.50"

    @pytest.mark.parametrize("kind, doc_type", [("document", None), ("account", "x"),
                                                ("other", None)])
    def test_refuses_a_kind_it_cannot_write(self, kind, doc_type):
        with pytest.raises(ValueError):
            vexdal.Section(kind, doc_type=doc_type)


def problems_of(model, **options):
    with pytest.raises(vexdal.WriteError) as caught:
        model.dumps(**options)
    return [(problem.section, problem.key) for problem in caught.value.problems]


@pytest.mark.parametrize("sections, options, expected", [
    ([], {}, [(None, None)]),
    ([vexdal.Section("account", [("ДатаНачала", "32.01.2024"), ("НачальныйОстаток", "0"),
                                 ("РасчСчет", "1")])], {}, [(0, "ДатаНачала")]),
    ([vexdal.Section("account", [("ДатаНачала", "01.01.2024"), ("НачальныйОстаток", "0")])], {},
     [(0, "РасчСчет")]),
    ([vexdal.Section("document", [("Номер", "1")], doc_type="")], {"encoding": "cp866"},
     [(None, "Кодировка")]),
    ([vexdal.Section("document", [("Назначение", "«»" * 600)], doc_type="")], {},
     [(0, "Назначение")]),
], ids=["no-section", "bad-account-date", "account-without-number", "cp866-undeclared",
        "not-text-for-windows-1251"])
def test_files_parse_would_refuse_are_refused(sections, options, expected):
    model = vexdal.ExchangeFile([("Кодировка", "Windows")], sections)
    assert problems_of(model, **options) == expected


def test_a_kept_line_is_not_checked_again_but_a_new_line_end_is():
    data = make_statement(document_section(Плательщик="x\r"), encoding="utf-8")
    model = vexdal.load(data)
    assert model.sections[0].get("Плательщик") == "x\r"
    model.sections[0].set("Номер", "2")
    assert parsed_values(model.dumps())[1][0][1]["Плательщик"] == "x\r"
    assert problems_of(model, newline="\n") == [(0, "Плательщик")]

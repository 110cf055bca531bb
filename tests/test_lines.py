"""Cutting the text into lines: line ends, blank lines, line numbers, and what each line is."""

import pytest

import vexdal_py
from conftest import (DOCUMENT, HEADER, document_section, expect_syntax_error, join,
                      make_statement, statement_lines)

LINES = statement_lines()


class TestLineEnds:
    @pytest.mark.parametrize("data", [
        make_statement(eol="\n"),
        make_statement(eol="\r\n"),
        "".join(line + ("\r\n" if i % 2 else "\n") for i, line in enumerate(LINES)),
        "\r\n".join(LINES).encode(),
        make_statement(encoding=None) + " \r\n\t\n\r\n",
    ], ids=["lf", "crlf", "mixed", "no-final-line-end", "blank-lines-after-end"])
    def test_every_line_end_gives_the_same_statement(self, data):
        statement = vexdal_py.parse(data)
        assert statement.header == HEADER
        [document] = statement.documents
        assert (document.doc_number, document.purpose) == (DOCUMENT["Номер"],
                                                           DOCUMENT["НазначениеПлатежа"])

    @pytest.mark.parametrize("value, eol, doc_number", [
        ("17\r", "\r\n", "17\r"),
        ("17\r", "\n", "17"),
        ("1\r7", "\n", "1\r7"),
        ("\r17", "\r\n", "\r17"),
    ], ids=["cr-before-crlf", "cr-before-lf", "cr-inside", "cr-first"])
    def test_carriage_return_stays_unless_it_ends_the_line(self, value, eol, doc_number):
        statement = vexdal_py.parse(make_statement(document_section(Номер=value), eol=eol))
        assert statement.documents[0].doc_number == doc_number

    def test_carriage_return_ending_the_text_stays_in_the_last_line(self):
        data = "\r\n".join(LINES).encode() + b"\r"
        expect_syntax_error(data, "UnrecognizedLine", "Unrecognized line: 'КонецФайла\r'",
                            lineno=len(LINES), line="КонецФайла\r")


# A Cyrillic header value makes the text invalid UTF-8 when it is written in windows-1251, so
# that its lines are read in that code page's own bytes; its length outweighs the characters
# that count against the text.
def lines_in(encoding, *lines):
    return join(["1CClientBankExchange", "Ключ=" + "Ж" * 100, *lines], eol="\r\n",
                encoding=encoding)


# White space characters; those of windows-1251 are tried in both encodings.
BLANKS = {"empty": "", "space": " ", "tabs": "\t \t", "cr": "\r", "vt-ff": "\x0b\x0c",
          "nbsp": "\u00a0", "nel": "\u0085", "ogham": "\u1680", "em-space": "\u2003",
          "line-separator": "\u2028", "paragraph-separator": "\u2029", "narrow-nbsp": "\u202f",
          "math-space": "\u205f", "ideographic-space": "\u3000"}
CP1251_BLANKS = ("empty", "space", "tabs", "cr", "vt-ff", "nbsp")
BLANK_CASES = [(filler, encoding, f"{encoding}-{name}") for name, filler in BLANKS.items()
               for encoding in ("utf-8", "cp1251") if encoding == "utf-8" or name in CP1251_BLANKS]


class TestBlankLines:
    @pytest.mark.parametrize("filler, encoding", [case[:2] for case in BLANK_CASES],
                             ids=[case[2] for case in BLANK_CASES])
    def test_white_space_lines_are_skipped_but_counted(self, filler, encoding):
        expect_syntax_error(lines_in(encoding, filler, filler, "abc"), "UnrecognizedLine",
                            "Unrecognized line: 'abc'", lineno=5, line="abc")

    @pytest.mark.parametrize("filler, encoding", [
        ("\u200b", "utf-8"), ("\ufeff", "utf-8"), ("\u180e", "utf-8"), ("\x00", "utf-8"),
        ("\x1c", "utf-8"), ("\x1f", "utf-8"), ("\x00", "cp1251"), ("\x1f", "cp1251"),
        ("\u2026", "cp1251"), ("\x98", "cp1251"),
    ], ids=["zero-width-space", "bom", "mongolian-separator", "nul", "file-separator",
            "unit-separator", "cp1251-nul", "cp1251-unit-separator", "cp1251-ellipsis-0x85",
            "cp1251-undefined-0x98"])
    def test_other_invisible_lines_are_unrecognized(self, filler, encoding):
        expect_syntax_error(lines_in(encoding, filler, "abc"), "UnrecognizedLine",
                            f"Unrecognized line: '{filler}'", lineno=3, line=filler)


class TestClassification:
    @pytest.mark.parametrize("line, key, value", [
        ("a=b=c", "a", "b=c"),
        ("=v", "", "v"),
        ("k=", "k", ""),
        ("=", "", ""),
        (" k = v ", " k ", " v "),
        ("СекцияДокумент =Платежное поручение", "СекцияДокумент ", "Платежное поручение"),
        ("СекцияДокументы=x", "СекцияДокументы", "x"),
        ("ССекцияДокумент=x", "ССекцияДокумент", "x"),
        ("секциядокумент=x", "секциядокумент", "x"),
        ("СекцияРасчСчет=1", "СекцияРасчСчет", "1"),
        ("КонецФайла=", "КонецФайла", ""),
        ("1CClientBankExchange=1", "1CClientBankExchange", "1"),
    ], ids=["two-equals", "empty-key", "empty-value", "only-equals", "spaces-kept",
            "document-marker-with-space", "document-marker-longer", "document-marker-shifted",
            "document-marker-lower-case", "account-marker", "file-end-marker", "first-line"])
    def test_lines_with_equals_sign_are_attributes(self, line, key, value):
        statement = vexdal_py.parse(join(statement_lines(header=[line])))
        assert statement.header == {key: value}

    @pytest.mark.parametrize("doc_type", ["", "=x", " Платёжное поручение ", "a=b", "\t"],
                             ids=["empty", "equals", "spaces", "two-equals", "tab"])
    def test_document_type_is_taken_as_it_stands(self, doc_type):
        statement = vexdal_py.parse(join(statement_lines(document_section(doc_type))))
        assert statement.documents[0].doc_type == doc_type

    @pytest.mark.parametrize("line", [
        "КонецФайла ", " КонецФайла", "\u00a0КонецФайла", "СекцияДокумент", "конецфайла",
        "КонецДокумента\t", "КонецРасчСчетa", "1CClientBankExchange ", "it's", "abc",
    ], ids=["trailing-space", "leading-space", "leading-nbsp", "document-start-without-equals",
            "lower-case", "trailing-tab", "latin-letter", "first-line-with-space", "apostrophe",
            "plain-text"])
    def test_unrecognized_lines(self, line):
        lines = statement_lines()
        lines.insert(2, line)
        expect_syntax_error(join(lines), "UnrecognizedLine", f"Unrecognized line: '{line}'",
                            lineno=3, line=line)

    @pytest.mark.parametrize("lines, lineno", [
        (LINES + ["abc"], len(LINES) + 1),
        (LINES + ["", " ", "abc", "def"], len(LINES) + 3),
        (LINES[:9] + ["КонецФайла"] + [f"k{n}=v" for n in range(29)] + ["abc"], 40),
    ], ids=["after-file-end", "after-blank-lines", "after-misplaced-marker"])
    def test_unrecognized_line_wins_wherever_it_stands(self, lines, lineno):
        expect_syntax_error(join(lines), "UnrecognizedLine", "Unrecognized line: 'abc'",
                            lineno=lineno, line="abc")

    def test_no_hook_runs_when_a_line_is_unrecognized(self):
        calls = []
        expect_syntax_error(join(LINES + ["abc"]), "UnrecognizedLine",
                            "Unrecognized line: 'abc'", hooks=[lambda *args: calls.append(args)])
        assert calls == []

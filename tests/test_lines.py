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

class TestBlankLines:
    @pytest.mark.parametrize("filler", [
        "", " ", "\t \t", "\r", "\x0b\x0c", "\u00a0", "\u0085", "\u1680", "\u2003", "\u2028",
        "\u2029", "\u202f", "\u205f", "\u3000",
    ], ids=["empty", "space", "tabs", "cr", "vt-ff", "nbsp", "nel", "ogham", "em-space",
            "line-separator", "paragraph-separator", "narrow-nbsp", "math-space",
            "ideographic-space"])
    def test_white_space_lines_are_skipped_but_counted(self, filler):
        data = join(["1CClientBankExchange", filler, filler, "abc"], eol="\r\n")
        expect_syntax_error(data, "UnrecognizedLine", "Unrecognized line: 'abc'", lineno=4,
                            line="abc")

    @pytest.mark.parametrize("filler", ["\u200b", "\ufeff", "\u180e", "\x00", "\x1c", "\x1f"],
                             ids=["zero-width-space", "bom", "mongolian-separator", "nul",
                                  "file-separator", "unit-separator"])
    def test_other_invisible_lines_are_unrecognized(self, filler):
        data = join(["1CClientBankExchange", filler, "abc"])
        expect_syntax_error(data, "UnrecognizedLine", f"Unrecognized line: '{filler}'", lineno=2,
                            line=filler)


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

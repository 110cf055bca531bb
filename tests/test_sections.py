"""The order of lines: header, sections, the end line; misplaced lines, unfinished statements,
warnings, and where hooks run."""

import pytest

import vexdal_py
from conftest import (ACCOUNT, account_section, amount_message, document_section,
                      expect_syntax_error, join, statement_lines)

FIRST = "1CClientBankExchange"
DOC = document_section()
ACC = account_section()
DONE = statement_lines()


def end_lines(lines, marker):
    return [number for number, line in enumerate(lines, 1) if line == marker]


class TestMisplacedLines:
    # In every case the offending line is the last one.
    @pytest.mark.parametrize("lines, context", [
        ([FIRST, "КонецФайла"], "header"),
        ([FIRST, "A=1", FIRST], "header"),
        ([FIRST, "КонецРасчСчет"], "header"),
        ([FIRST, "КонецДокумента"], "header"),
        ([FIRST, "СекцияРасчСчет", "СекцияРасчСчет"], "account"),
        ([FIRST, "СекцияРасчСчет", "A=1", "КонецДокумента"], "account"),
        ([FIRST, "СекцияРасчСчет", "СекцияДокумент=X"], "account"),
        ([FIRST, "СекцияРасчСчет", "КонецФайла"], "account"),
        ([FIRST, "СекцияДокумент=A", "Номер=1", "СекцияДокумент=Б В"], "document"),
        ([FIRST, "СекцияДокумент=", "СекцияДокумент="], "document"),
        ([FIRST, "СекцияДокумент=", "КонецРасчСчет"], "document"),
        ([FIRST, "СекцияДокумент=", FIRST], "document"),
        ([FIRST, "СекцияДокумент=", "СекцияРасчСчет"], "document"),
        ([FIRST, *DOC, "КонецДокумента"], "read_next_section"),
        ([FIRST, *ACC, "", "КонецРасчСчет"], "read_next_section"),
        ([FIRST, *ACC, FIRST], "read_next_section"),
        (DONE + ["КонецФайла"], "finished"),
        (DONE + ["", "СекцияДокумент=x"], "finished"),
        (DONE + ["СекцияРасчСчет"], "finished"),
        (DONE + [FIRST], "finished"),
    ], ids=["file-end-after-header", "second-first-line", "account-end-in-header",
            "document-end-in-header", "account-in-account", "document-end-in-account",
            "document-in-account", "file-end-in-account", "document-in-document",
            "empty-document-in-document", "account-end-in-document", "first-line-in-document",
            "account-in-document", "document-end-twice", "account-end-twice",
            "first-line-between-sections", "file-end-twice", "document-after-end",
            "account-after-end", "first-line-after-end"])
    def test_unexpected_section(self, lines, context):
        found = lines[-1]
        expect_syntax_error(join(lines), "UnexpectedSection",
                            f"Unexpected section '{found}' in context '{context}'",
                            lineno=len(lines), found=found, context=context)

    @pytest.mark.parametrize("lines, key, value", [
        ([FIRST, *ACC, "k=v"], "k", "v"),
        ([FIRST, *DOC, "="], "", ""),
        ([FIRST, *DOC, *ACC, " a = b "], " a ", " b "),
        (DONE + ["x=1=2"], "x", "1=2"),
        (DONE + ["", "\t", "Номер='17'"], "Номер", "'17'"),
    ], ids=["between-sections", "empty-key-and-value", "spaces-kept", "after-end",
            "after-blank-lines"])
    def test_unexpected_attribute(self, lines, key, value):
        expect_syntax_error(join(lines), "UnexpectedAttribute",
                            f"Unexpected attribute '{key}' = '{value}'",
                            lineno=len(lines), key=key, value=value)

    def test_first_misplaced_line_wins_over_later_faults(self):
        lines = [FIRST, *DOC, "КонецРасчСчет", *account_section(РасчСчет=None), "x=1"]
        expect_syntax_error(join(lines), "UnexpectedSection",
                            "Unexpected section 'КонецРасчСчет' in context 'read_next_section'",
                            lineno=len(DOC) + 2)


class TestUnfinished:
    @pytest.mark.parametrize("lines", [
        [FIRST],
        [FIRST, "A=1", ""],
        [FIRST, *ACC[:-1]],
        [FIRST, *DOC[:-1]],
        [FIRST, *DOC, *ACC],
        DONE[:-1] + ["", " "],
    ], ids=["first-line-only", "header-only", "open-account", "open-document",
            "no-file-end", "blank-lines-instead-of-end"])
    def test_statement_is_not_finished(self, lines):
        calls = []
        with pytest.raises(vexdal_py.UnfinishedError) as caught:
            vexdal_py.parse(join(lines), [lambda kind, attrs, header: calls.append(int(kind))])
        assert type(caught.value) is vexdal_py.UnfinishedError
        assert caught.value.args == ("Statement is not finished",)
        assert not hasattr(caught.value, "detail")
        # Hooks ran for the closed sections only.
        assert calls == [0] * lines.count("КонецДокумента") + [1] * lines.count("КонецРасчСчет")


class TestAssembly:
    def test_sections_in_file_order(self):
        lines = statement_lines(document_section(Номер="1"), account_section(РасчСчет="B"),
                                document_section(Номер="2"), account_section(РасчСчет="A"),
                                account_section(РасчСчет="B", ДатаНачала="01.01.2024"))
        statement = vexdal_py.parse(join(lines))
        assert [document.doc_number for document in statement.documents] == ["1", "2"]
        assert list(statement.accounts) == ["B", "A"]
        assert statement.warnings == []

    @pytest.mark.parametrize("header, expected", [
        ([], {}),
        ([("A", "1"), ("B", "2"), ("A", "3")], {"A": "3", "B": "2"}),
        ([("b", ""), ("a", " x "), ("b", "y")], {"b": "y", "a": " x "}),
    ], ids=["none", "repeated-key", "repeated-key-spaces"])
    def test_header_keeps_first_position_and_last_value(self, header, expected):
        statement = vexdal_py.parse(join(statement_lines(header=header)))
        assert list(statement.header.items()) == list(expected.items())

    def test_unbuildable_documents_become_warnings_in_order(self):
        lines = statement_lines(document_section(Номер="1"), document_section(Номер=None),
                                account_section(), document_section(Сумма="x"),
                                document_section(Номер="4"))
        statement = vexdal_py.parse(join(lines))
        assert [document.doc_number for document in statement.documents] == ["1", "4"]
        ends = end_lines(lines, "КонецДокумента")
        assert statement.warnings == [(ends[1], "missing field `Номер`"),
                                      (ends[2], amount_message('"x"'))]
        assert all(type(lineno) is int for lineno, _ in statement.warnings)
        assert list(statement.accounts) == [ACCOUNT["РасчСчет"]]

"""Statement files from banks and accounting programs, and statements of the same shape written
here (data/SOURCES.md says which is which)."""

import pytest

import vexdal_py
from conftest import DATA


def read(name):
    return (DATA / name).read_bytes()


class TestShippedFiles:

    def test_bank_export_in_both_encodings_gives_the_same_statement(self):
        cp1251 = vexdal_py.parse(read("bko-cp1251-crlf-01.txt"))
        utf8 = vexdal_py.parse(read("bko-utf8-crlf-01.txt"))
        assert (cp1251.encoding, utf8.encoding) == ("cp1251", "utf-8")
        assert cp1251.header == utf8.header
        assert cp1251.accounts == utf8.accounts
        assert cp1251.documents == utf8.documents
        assert len(cp1251.documents) == 13 and cp1251.warnings == utf8.warnings == []

    def test_bank_order_fields(self):
        statement = vexdal_py.parse(read("bko-cp1251-crlf-01.txt"))
        (number, account), = statement.accounts.items()
        assert number == "40702810200000000001"
        (interval,) = account.intervals
        assert (interval.date_start, interval.date_end) == ("2016-01-11", "2016-01-11")
        assert (interval.start_amount, interval.end_amount) == ("45329.91", "44145.91")
        assert (interval.total_income, interval.total_expense) == ("40000.00", "41184.00")
        first = statement.documents[0]
        assert (first.doc_number, first.doc_type, first.doc_date, first.amount) == (
            "697162", "Банковский ордер", "2016-01-11", "83.23")
        # Плательщик1 is a key of its own; Получатель1 and ПлательщикБанк2 are not known keys.
        assert (first.counterparty, first.counterparty_1, first.payee) == (
            None, "Some random payer", None)
        assert (first.counterparty_kpp, first.payment_type, first.outcome_date) == ("", "17", "2016-01-11")
        assert first.income_date is None

    def test_amounts_without_kopecks_keep_their_scale(self):
        statement = vexdal_py.parse(read("testbank-utf8-lf-01.txt"))
        assert [d.amount for d in statement.documents][:1] == ["700"]
        assert statement.documents[0].doc_type == "Платежное требование"

    def test_repeated_header_keys_keep_first_place_and_last_value(self):
        statement = vexdal_py.parse(read("synthetic-utf8-crlf-2accounts.txt"))
        assert list(statement.header)[-2:] == ["РасчСчет", "Документ"]
        assert statement.header["РасчСчет"] == "40600000000000000000"
        assert statement.header["Документ"] == "Type 2"
        assert list(statement.accounts) == ["40700000000000000000", "40600000000000000000"]

    def test_file_cut_after_the_account_section_is_unfinished(self):
        with pytest.raises(vexdal_py.UnfinishedError, match="^Statement is not finished$") as caught:
            vexdal_py.parse(read("bad-truncated-utf8-lf.txt"))
        assert not hasattr(caught.value, "detail")


# file -> (encoding, documents, warnings, {account: intervals}) or the exception and its detail
OUTCOMES = {
    "anon-cp1251-lf-12docs.txt": ("cp1251", 6, 6, {"12345678901234567890": 1}),
    "anon-cp1251-lf-5docs.txt": ("cp1251", 1, 4, {"12345678901234567890": 1}),
    "bko-cp1251-crlf-01.txt": ("cp1251", 13, 0, {"40702810200000000001": 1}),
    "bko-cp1251-crlf-03.txt": ("cp1251", 3, 0, {"40702810000000074935": 1}),
    "bko-cp1251-lf-02.txt": ("cp1251", 2, 0, {"40000000000000000000": 1}),
    "bko-utf8-crlf-01.txt": ("utf-8", 13, 0, {"40702810200000000001": 1}),
    "generic-cp1251-lf-v101.txt": ("cp1251", 1, 0, {"00000000000000000001": 1}),
    "made-cp1251-crlf-v101.txt": ("cp1251", 2, 0, {"40702810100000003333": 1}),
    "made-cp1251-lf-02.txt": ("cp1251", 4, 0, {"40702810700000006666": 1}),
    "made-cp1251-lf-baddate.txt": ("cp1251", 14, 0, {"40702810600000005555": 1}),
    "made-utf8-lf-2accounts.txt": (
        "utf-8", 2, 0, {"40702810000000008881": 1, "40702810000000008882": 1}),
    "made-utf8-lf-6docs.txt": ("utf-8", 6, 0, {}),
    "made-utf8-lf-tax.txt": ("utf-8", 1, 0, {}),
    "made-utf8-lf-v101.txt": ("utf-8", 1, 0, {}),
    "synthetic-utf8-crlf-2accounts.txt": (
        "utf-8", 6, 0, {"40700000000000000000": 1, "40600000000000000000": 1}),
    "testbank-utf8-lf-01.txt": ("utf-8", 4, 0, {"40702810801500116391": 1}),
    # No first line: the rewriting tool that made such a file dropped the header.
    "made-bad-headerless-cp1251-lf.txt": (vexdal_py.NotStatementError, None),
    "bad-not-a-statement.txt": (vexdal_py.NotStatementError, None),
    "bad-truncated-utf8-lf.txt": (vexdal_py.UnfinishedError, None),
    # Its last line is UTF-8 in a windows-1251 file, so it reads as mojibake and the document
    # marker without "=" before it is the first line that fits no form.
    "bad-mixed-enc-eol-1c_to_kl.txt": (
        vexdal_py.SyntaxError, vexdal_py.UnrecognizedLine(10, "СекцияДокумент")),
    "made-cp1251-lf-strayline.txt": (
        vexdal_py.SyntaxError, vexdal_py.UnrecognizedLine(59, '"Левая строка"')),
    # A header key after the account section is outside every section.
    "made-cp1251-crlf-wirdows.txt": (
        vexdal_py.SyntaxError,
        vexdal_py.UnexpectedAttribute(19, "Документ", "Платежное поручение")),
    # No sections at all: at least one is required.
    "minimal-cp1251-lf.txt": (
        vexdal_py.SyntaxError, vexdal_py.UnexpectedSection(3, "КонецФайла", "header")),
}


def test_every_file_has_an_outcome():
    assert sorted(path.name for path in DATA.glob("*.txt")) == sorted(OUTCOMES)


@pytest.mark.parametrize("name", sorted(OUTCOMES))
def test_every_statement_file(name):
    data = read(name)
    expected = OUTCOMES[name]
    if isinstance(expected[0], type):
        error, detail = expected
        with pytest.raises(error) as caught:
            vexdal_py.parse(data)
        if detail is None:
            assert not hasattr(caught.value, "detail")
        else:
            assert repr(caught.value.detail) == repr(detail)
        return
    encoding, documents, warnings, accounts = expected
    statement = vexdal_py.parse(data)
    assert statement.encoding == encoding
    assert (len(statement.documents), len(statement.warnings)) == (documents, warnings)
    assert {number: len(a.intervals) for number, a in statement.accounts.items()} == accounts
    assert all(number == a.number for number, a in statement.accounts.items())


def test_documents_without_purpose_become_warnings_at_their_end_line():
    statement = vexdal_py.parse(read("anon-cp1251-lf-5docs.txt"))
    assert statement.warnings == [
        (line, "missing field `НазначениеПлатежа`") for line in (55, 126, 162, 199)]


def test_value_containing_equals_sign_is_kept_whole():
    statement = vexdal_py.parse(read("made-cp1251-lf-baddate.txt"))
    assert any("{53=33798.03}" in d.purpose for d in statement.documents)
    # Header values are not dates to the parser, so a malformed one is kept as written.
    assert statement.header["ДатаКонца"] == "28.02.202319202122"


def test_text_and_bytes_of_one_file_agree():
    data = read("made-utf8-lf-6docs.txt")
    assert vexdal_py.parse(data).documents == vexdal_py.parse(data.decode()).documents

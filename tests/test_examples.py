"""The examples that go beyond one process or into pandas, run as a user runs them: their
figures must agree with what the statement itself says."""

import os
import re
import subprocess
import sys
from decimal import Decimal, localcontext
from pathlib import Path

import pytest

import vexdal_py
from conftest import account_section, document_section, make_statement

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
STATEMENT_FILE = EXAMPLES / "statement.txt"
# Amounts at several scales, and sums past the 28 digits of Decimal's default context; a blank
# outgoing date; a transfer from the account to itself.
TRICKY = make_statement(
    account_section(),
    document_section(Сумма="0.050", ДатаСписано=""),
    document_section(Сумма="1234567890123456789012345.6789"),
    document_section(Сумма="0.0000000000000000000000000001", ДатаПоступило="29.02.2024"),
    document_section(Сумма="-0.5", ПолучательСчет="40702810900000001234"))
# An account row of the folder report: number, credited, debited, documents.
ACCOUNT_ROW = re.compile(r"^  (\d{20}) +(.+?\.\d+) {2,}(.+?\.\d+) +(\d+)$", re.MULTILINE)


def run_example(script, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True,
                          text=True, timeout=120)


def exact_sum(values):
    with localcontext() as context:
        context.prec = 200
        return sum(values, Decimal(0))


def account_totals(statement, copies=1):
    """Per account: credited, debited, documents, gathered account by account."""
    totals = {}
    for number in statement.accounts:
        mine = [d for d in statement.documents
                if number in (d.payee_account, d.counterparty_account)]
        credited = exact_sum(Decimal(d.amount) for d in mine if d.payee_account == number)
        debited = exact_sum(Decimal(d.amount) for d in mine if d.counterparty_account == number)
        totals[number] = (exact_sum([credited] * copies), exact_sum([debited] * copies),
                          len(mine) * copies)
    return totals


class TestFolders:
    @pytest.fixture
    def folder(self, tmp_path):
        """Three copies of the example at several depths, a statement of another account with
        tricky amounts, a broken statement, and a file that is not *.txt and would fail if it
        were read."""
        data = STATEMENT_FILE.read_bytes()
        copies = [tmp_path / "statement.txt", tmp_path / "2026" / "statement.txt",
                  tmp_path / "2026" / "03" / "KL_TO_1C.TXT"]
        for copy in copies:
            copy.parent.mkdir(parents=True, exist_ok=True)
            copy.write_bytes(data)
        lines = data.splitlines(keepends=True)
        broken = tmp_path / "2026" / "broken.txt"
        broken.write_bytes(b"".join(lines[:10] + [b"stray line\r\n"] + lines[10:]))
        (tmp_path / "tricky.txt").write_bytes(TRICKY)
        (tmp_path / "notes.md").write_bytes(b"not a statement")
        return tmp_path, copies, broken

    @pytest.mark.parametrize("script, args, needs", [
        ("parallel_folder.py", ["--jobs", "2"], None),
        ("dask_folder.py", ["--workers", "2"], "dask.distributed"),
    ], ids=["process-pool", "dask"])
    def test_totals_and_failures(self, folder, script, args, needs):
        if needs:
            pytest.importorskip(needs)
        root, copies, broken = folder
        statement = vexdal_py.parse(STATEMENT_FILE.read_bytes())
        with pytest.raises(vexdal_py.SyntaxError) as refused:
            vexdal_py.parse(broken.read_bytes())
        assert refused.value.detail.lineno == 11

        result = run_example(script, *args, str(root))

        # A warning printed by the script or its libraries (a leaked semaphore, a port in use,
        # a deprecation) would be a fault of the example.
        assert "Warning:" not in result.stderr
        assert result.returncode == 1, result.stderr
        out = result.stdout
        assert out.startswith("Files: 5 (4 read, 1 failed)\n")
        rows = {number: (Decimal(credited.replace(" ", "")), Decimal(debited.replace(" ", "")),
                         int(documents))
                for number, credited, debited, documents in ACCOUNT_ROW.findall(out)}
        expected = account_totals(statement, copies=3)
        expected.update(account_totals(vexdal_py.parse(TRICKY)))
        assert len(expected) == 3 and rows == expected
        lines = out.splitlines()
        assert f"  {broken}: SyntaxError at line 11: {refused.value}" in lines
        for copy in copies:
            for lineno, message in statement.warnings:
                assert f"  {copy} line {lineno}: {message}" in lines


    @pytest.mark.parametrize("script, args, needs", [
        ("parallel_folder.py", ["--jobs", "1"], None),
        ("dask_folder.py", ["--workers", "1"], "dask.distributed"),
    ], ids=["process-pool", "dask"])
    def test_a_reader_that_stops_early_ends_the_report_quietly(self, folder, script, args,
                                                                 needs):
        """As `| head` does: here the reader is gone before the report starts."""
        if needs:
            pytest.importorskip(needs)
        reader, writer = os.pipe()
        os.close(reader)
        try:
            result = subprocess.run([sys.executable, str(EXAMPLES / script), *args,
                                     str(folder[0])], stdout=writer, stderr=subprocess.PIPE,
                                    text=True, timeout=120)
        finally:
            os.close(writer)
        assert result.returncode == 1 and "Error" not in result.stderr, result.stderr


class TestPandas:
    @pytest.fixture(autouse=True)
    def to_pandas(self, monkeypatch):
        pytest.importorskip("pandas")
        pytest.importorskip("pyarrow")
        monkeypatch.syspath_prepend(str(EXAMPLES))
        import to_pandas
        return to_pandas

    @pytest.mark.parametrize("data", [STATEMENT_FILE.read_bytes(), TRICKY,
                                      make_statement(account_section())],
                             ids=["example", "tricky-values", "no-documents"])
    def test_frame_holds_every_field_exactly_with_no_float(self, to_pandas, data):
        statement = vexdal_py.parse(data)
        frame = to_pandas.documents_frame(data)

        fields = sorted(name for name in dir(vexdal_py.Document) if not name.startswith("_"))
        assert sorted(frame.columns) == sorted([*fields, "direction", "other_party"])
        assert not [column for column, dtype in frame.dtypes.items() if dtype.kind == "f"]
        dates = ["doc_date", "outcome_date", "income_date"]
        assert {str(frame[column].dtype) for column in dates} == {"datetime64[ns]"}
        assert frame["amount"].dtype == object
        assert {str(frame[column].dtype) for column in frame.columns
                if column not in [*dates, "amount"]} == {"string"}

        assert len(frame) == len(statement.documents)
        for (_, row), doc in zip(frame.iterrows(), statement.documents):
            assert isinstance(row["amount"], Decimal)
            assert format(row["amount"], "f") == doc.amount
            for name in dates:
                text = getattr(doc, name)
                assert (text is None and row[name] is to_pandas.pd.NaT
                        or row[name].strftime("%Y-%m-%d") == text)
            for name in fields:
                if name not in [*dates, "amount"]:
                    value = getattr(doc, name)
                    assert (value is None and row[name] is to_pandas.pd.NA
                            or row[name] == value)

    @pytest.mark.parametrize("date, refused", [
        ("22.09.1677", False), ("21.09.1677", True), ("11.04.2262", False), ("12.04.2262", True),
        ("01.02.23", True)], ids=["first-day", "day-before", "last-day", "day-after", "year-23"])
    def test_date_beyond_nanoseconds_is_refused_not_lost(self, to_pandas, date, refused):
        data = make_statement(account_section(), document_section(ДатаСписано=date))
        text = vexdal_py.parse(data).documents[0].outcome_date
        if refused:
            with pytest.raises(ValueError, match=f"^outcome_date {text} of document 17 "):
                to_pandas.documents_frame(data)
        else:
            frame = to_pandas.documents_frame(data)
            assert frame["outcome_date"][0].strftime("%Y-%m-%d") == text

    def test_turnover_per_direction_matches_the_documents(self, to_pandas):
        statement = vexdal_py.parse(STATEMENT_FILE.read_bytes())
        table = to_pandas.turnover(to_pandas.documents_frame(STATEMENT_FILE.read_bytes()))

        ours = statement.accounts
        expected = {"credit": Decimal(0), "debit": Decimal(0), "transfer": Decimal(0)}
        for doc in statement.documents:
            credit, debit = doc.payee_account in ours, doc.counterparty_account in ours
            side = "transfer" if credit and debit else "credit" if credit else "debit"
            expected[side] += Decimal(doc.amount)
        assert list(table.columns) == ["credit", "debit", "transfer"]
        assert all(isinstance(value, Decimal) for value in table.to_numpy().ravel())
        assert {side: sum(table[side], Decimal(0)) for side in table.columns} == expected
        assert table.loc["own accounts"].tolist() == [0, 0, Decimal("500000.00")]

    def test_turnover_never_rounds(self, to_pandas):
        statement = vexdal_py.parse(TRICKY)
        table = to_pandas.turnover(to_pandas.documents_frame(TRICKY))
        debits = [Decimal(d.amount) for d in statement.documents
                  if d.payee_account not in statement.accounts]
        assert table.loc['АО "Василёк"', "debit"] == exact_sum(debits)
        assert table.loc["own accounts", "transfer"] == Decimal("-0.5")

    def test_main_prints_the_frame_and_turnover(self, to_pandas, capsys):
        assert to_pandas.main([str(STATEMENT_FILE)]) == 0
        out = capsys.readouterr().out
        assert "documents: 12" in out
        (lineno, message), = vexdal_py.parse(STATEMENT_FILE.read_bytes()).warnings
        assert out.endswith("\nSkipped documents: 1 (not in the frame or the turnover)\n"
                            f"  line {lineno}: {message}\n")
        assert re.search(r"^own accounts +0\.00 +0\.00 +500000\.00$", out, re.MULTILINE)


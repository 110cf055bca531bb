"""vexdal.documents_table and intervals_table: what pyarrow, Polars and DuckDB read through the
Arrow PyCapsule interface is exactly what parse() gives."""

import datetime
import platform
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vexdal
import vexdal.dask
import vexdal_py
from conftest import (CP1251_CHARACTERS, DATA, DOCUMENT, account_section, document_section,
                      make_statement, statement_lines)

HERE = Path(__file__).resolve().parent
FILES = sorted([*DATA.glob("*.txt"), HERE.parent / "examples" / "statement.txt"])
DATES = {"doc_date", "outcome_date", "income_date"}
AMOUNTS = {"amount", "start_amount", "end_amount", "total_income", "total_expense"}


def python_value(name, text):
    """parse()'s text as the value its Arrow column must hold."""
    if text is None:
        return None
    if name in DATES or name in ("date_start", "date_end"):
        return datetime.date.fromisoformat(text)
    if name in AMOUNTS:
        return Decimal(text)
    return text


def expected_documents(statement, names):
    return [{name: python_value(name, getattr(doc, name)) for name in names}
            for doc in statement.documents]


def expected_intervals(statement):
    return [{"account": number,
             **{name: python_value(name, getattr(interval, name))
                for name in vexdal.tables.INTERVAL_COLUMNS[1:]}}
            for number, account in statement.accounts.items() for interval in account.intervals]


def read_pyarrow(table):
    pa = pytest.importorskip("pyarrow")
    return pa.table(table).to_pylist()


def read_polars(table):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(table).rows(named=True)


def read_duckdb(table):
    duckdb = pytest.importorskip("duckdb")
    relation = duckdb.from_arrow(table)
    return [dict(zip(relation.columns, row)) for row in relation.fetchall()]


READERS = [read_pyarrow, read_polars, read_duckdb]


def raised(call, data):
    try:
        return call(data)
    except vexdal_py.ParseError as exc:
        return type(exc), exc.args, repr(getattr(exc, "detail", None))


@pytest.mark.parametrize("reader", READERS, ids=lambda r: r.__name__[5:])
@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_every_value_of_every_file_is_parses(reader, path):
    data = path.read_bytes()
    statement = raised(vexdal_py.parse, data)
    if isinstance(statement, tuple):  # the table raises the very same failure
        assert raised(vexdal.documents_table, data) == statement
        assert raised(vexdal.intervals_table, data) == statement
        return
    table = vexdal.documents_table(data)
    assert table.column_names == list(vexdal.tables.DOCUMENT_COLUMNS)
    assert len(table.column_names) == 26
    assert table.num_rows == len(statement.documents)
    assert table.warnings == statement.warnings
    assert reader(table) == expected_documents(statement, table.column_names)
    assert reader(vexdal.intervals_table(data)) == expected_intervals(statement)


def dos_pair(data):
    """A DOS copy of an accepted statement (code page 866, its header saying so) and the same
    text as a str, line for line; None when the statement is refused or has characters cp866
    lacks."""
    try:
        text = vexdal.load(data).dumps(encoding="utf-8").decode("utf-8")
    except vexdal_py.ParseError:
        return None
    first, rest = text.split("\n", 1)
    text = f"{first}\nКодировка=DOS\n{rest}"
    try:
        return text.encode("cp866"), text
    except UnicodeEncodeError:
        return None


def table_of(make, data):
    """What a table maker gives for data, or what it raises."""
    try:
        table = make(data)
    except vexdal_py.ParseError as exc:
        return type(exc), exc.args, repr(getattr(exc, "detail", None))
    return table.column_names, read_pyarrow(table), table.warnings, table.accounts


@pytest.mark.parametrize("make", [vexdal.documents_table, vexdal.intervals_table],
                         ids=["documents", "intervals"])
def test_a_dos_copy_gives_the_table_of_its_text(make):
    pairs = [(path, dos_pair(path.read_bytes())) for path in FILES]
    pairs = [(path.name, *pair) for path, pair in pairs if pair is not None]
    # A DOS file whose text the parser refuses fails as parse() fails on that text.
    broken = "1CClientBankExchange\nКодировка=DOS\nСекцияДокумент=x\nабв\n"
    pairs.append(("broken", broken.encode("cp866"), broken))
    assert len(pairs) > 2
    for name, dos, text in pairs:
        assert table_of(make, dos) == table_of(make, text), name


VALUE = st.text(st.characters(codec="cp1251", exclude_characters="\r\n\x98")
                .filter(CP1251_CHARACTERS.__contains__), max_size=8)
AMOUNT = st.one_of(st.builds(lambda digits, places: f"{Decimal(digits).scaleb(-places):f}",
                             st.integers(-10**20, 10**20), st.integers(0, 6)),
                   st.sampled_from(["0", "-0.00", "12,50", "", "1e3"]))
DATE = st.one_of(st.dates(datetime.date(1, 1, 1)).map(lambda d: f"{d:%d.%m}.{d.year}"),
                 st.sampled_from(["", " ", "31.02.2024"]))
OPTIONAL_KEYS = ["ВидОплаты", "ПлательщикКПП", "Плательщик1", "ДатаСписано", "ДатаПоступило",
                 "ПоказательКБК", "ОКАТО"]


@st.composite
def documents(draw):
    changes = {"Сумма": draw(AMOUNT), "Дата": draw(DATE), "Номер": draw(VALUE)}
    for key in OPTIONAL_KEYS:
        changes[key] = draw(st.none() | (DATE if key.startswith("Дата") else VALUE))
    if draw(st.booleans()):
        changes[draw(st.sampled_from(list(DOCUMENT)))] = None
    return document_section(**changes)


@pytest.mark.parametrize("reader", READERS, ids=lambda r: r.__name__[5:])
@settings(max_examples=30, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(st.lists(documents(), max_size=6), st.sampled_from(["cp1251", "utf-8"]))
def test_random_statements(reader, sections, encoding):
    data = make_statement(account_section(), *sections, encoding=encoding)
    statement = vexdal_py.parse(data)
    names = [*vexdal.tables.DOCUMENT_COLUMNS, "ПоказательКБК", "ОКАТО"]
    table = vexdal.documents_table(data, names)
    assert table.warnings == statement.warnings
    rows = reader(table)
    assert [{k: row[k] for k in names[:26]} for row in rows] == \
        expected_documents(statement, names[:26])
    # The other keys as written, null where absent, from the sections whose documents were kept.
    lines = statement_lines(account_section(), *sections)
    ends = [n for n, line in enumerate(lines, 1) if line == "КонецДокумента"]
    skipped = {lineno for lineno, _ in statement.warnings}
    kept = [dict(line.split("=", 1) for line in section[1:-1])
            for section, end in zip(sections, ends) if end not in skipped]
    assert [[row["ПоказательКБК"], row["ОКАТО"]] for row in rows] == \
        [[attrs.get("ПоказательКБК"), attrs.get("ОКАТО")] for attrs in kept]


@pytest.mark.parametrize("shift", range(9))
def test_every_windows_1251_character_at_every_place_in_a_word(shift):
    """The transcoder reads eight bytes at a time: each character at each of the eight places
    of a word, in texts of every length about that size, between runs of ASCII."""
    letters = bytes(b for b in range(0x80, 0x100) if b != 0x98).decode("cp1251")
    texts = ["." * shift + letters + "ASCII run of more than eight" + letters[::-1] + "z" * shift,
             *("Ж" * n for n in range(shift, 18, 9)), "a" * shift + "Я"]
    data = make_statement(*(document_section(НазначениеПлатежа=text, Плательщик1=text[:shift])
                            for text in texts), encoding="cp1251")
    names = ["purpose", "counterparty_1"]
    rows = read_pyarrow(vexdal.documents_table(data, names))
    assert rows == expected_documents(vexdal_py.parse(data), names)
    assert [row["purpose"] for row in rows] == texts


class TestOtherKeys:
    @pytest.mark.parametrize("encoding", ["cp1251", "utf-8"])
    def test_present_empty_absent_and_repeated(self, encoding):
        # "Код2": a key of Cyrillic and ASCII, spelled in the file's code page as a whole.
        sections = [document_section(ПоказательКБК="18210102010011000110", ОКАТО=""),
                    document_section(ОКАТО="45", Код2="x"),
                    [*document_section()[:-1], "Код=1", "Код=2", "КонецДокумента"],
                    document_section(Дата="31.02.2024", ОКАТО="skipped with its document")]
        data = make_statement(*sections, encoding=encoding)
        table = vexdal.documents_table(data, ["doc_number", "ПоказательКБК", "ОКАТО", "Код",
                                              "Сумма", "Ключ€", "Код2"])
        assert table.column_names == ["doc_number", "ПоказательКБК", "ОКАТО", "Код", "Сумма",
                                      "Ключ€", "Код2"]
        assert len(table.warnings) == 1
        assert [list(row.values()) for row in read_pyarrow(table)] == [
            ["17", "18210102010011000110", "", None, "1500.50", None, None],
            ["17", None, "45", None, "1500.50", None, "x"],
            ["17", None, None, "2", "1500.50", None, None],
        ]

    def test_columns_are_checked(self):
        data = make_statement()
        with pytest.raises(ValueError, match="named twice"):
            vexdal.documents_table(data, ["amount", "amount"])
        with pytest.raises(TypeError):
            vexdal.documents_table(data, "amount")


@pytest.mark.parametrize("amounts", [
    ["79228162514264337593543950335", "0.0000000000000000000000000001"],
    ["1", "100000000000000000000000000", "0.000000000001"],
])
def test_amount_the_column_cannot_hold_names_its_line(amounts):
    data = make_statement(*(document_section(Сумма=a) for a in amounts), encoding="utf-8")
    line = data.decode().splitlines().index(f"Сумма={amounts[-2]}") + 1
    parsed = vexdal_py.parse(data)
    assert [d.amount for d in parsed.documents] == amounts
    with pytest.raises(vexdal_py.ParseError, match=f"^amount {amounts[-2]} at line {line} "
                       r"cannot be held exactly in column amount, decimal128\(38, \d+\)"):
        vexdal.documents_table(data)
    # Without that column the table is made.
    assert vexdal.documents_table(data, ["doc_number"]).num_rows == len(amounts)


def test_an_interval_amount_absent_is_null_and_one_the_column_cannot_hold_names_its_account():
    other = "40702810900000067890"
    data = make_statement(account_section(КонечныйОстаток=None), account_section(РасчСчет=other))
    assert [row["end_amount"] for row in read_pyarrow(vexdal.intervals_table(data))] == \
        [None, Decimal("8499.50")]
    data = make_statement(account_section(НачальныйОстаток="79228162514264337593543950335"),
                          account_section(РасчСчет=other,
                                          НачальныйОстаток="0.0000000000000000000000000001"))
    with pytest.raises(vexdal_py.ParseError, match=r"^amount 79228162514264337593543950335 of "
                       r"account 40702810900000001234 cannot be held exactly in column "
                       r"start_amount, decimal128\(38, 28\)"):
        vexdal.intervals_table(data)


def test_the_stream_outlives_the_table_and_dates_beyond_datetime():
    pa = pytest.importorskip("pyarrow")
    data = make_statement(document_section(Дата="01.01.0", Сумма="-0.5"),
                          document_section(Дата="24.11.-4713", Сумма="7"))  # Julian day 0
    stream = vexdal.documents_table(data, ["doc_date", "amount"]).__arrow_c_stream__()
    table = pa.RecordBatchReader._import_from_c_capsule(stream).read_all()
    assert table.column("doc_date").cast(pa.int32()).to_pylist() == [-719528, -2440588]
    assert table.column("amount").to_pylist() == [Decimal("-0.5"), Decimal("7.0")]
    batch = pa.record_batch(vexdal.documents_table(data, ["amount"]))  # __arrow_c_array__
    assert batch.num_rows == 2 and str(batch.schema.field("amount").type) == "decimal128(38, 1)"


def test_import_needs_no_optional_library():
    code = ("import sys, vexdal; t = vexdal.documents_table(open(sys.argv[1], 'rb').read()); "
            "assert t.num_rows == 12; "
            "print(sorted({'pyarrow', 'polars', 'pandas', 'duckdb', 'dask'} & set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code, str(HERE.parent / "examples/statement.txt")],
                         capture_output=True, text=True, check=True).stdout
    assert out == "[]\n"


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.txt").write_bytes(make_statement(
        document_section(Сумма="1.5"), document_section(Дата="31.02.2024")))
    (tmp_path / "sub" / "b.TXT").write_bytes(make_statement(
        document_section(Сумма="0.125", Номер="18"), encoding="utf-8"))
    (tmp_path / "sub" / "broken.txt").write_bytes(b"1CClientBankExchange\r\nfoo\r\n")
    (tmp_path / "notes.md").write_bytes(b"not a statement, not read")
    return tmp_path


class TestManyFiles:
    @pytest.mark.parametrize("jobs", [1, 2])
    def test_one_table_with_paths_failures_and_warnings(self, folder, jobs):
        pytest.importorskip("pyarrow")
        missing = folder / "missing.txt"
        read = vexdal.read_documents([folder, missing], columns=["amount", "ОКАТО"], jobs=jobs)
        a, b, broken = folder / "a.txt", folder / "sub" / "b.TXT", folder / "sub" / "broken.txt"
        assert read.table.column_names == ["path", "amount", "ОКАТО"]
        assert str(read.table.schema.field("amount").type) == "decimal128(38, 3)"
        assert read.table.to_pylist() == [
            {"path": str(a), "amount": Decimal("1.5"), "ОКАТО": None},
            {"path": str(b), "amount": Decimal("0.125"), "ОКАТО": None}]
        assert [path for path, _ in read.failures] == [str(broken), str(missing)]
        failure = read.failures[0][1]  # parse()'s own exception, from the other process
        assert (type(failure), failure.args, repr(failure.detail)) == \
            raised(vexdal_py.parse, broken.read_bytes())
        assert isinstance(read.failures[1][1], FileNotFoundError)
        assert read.warnings == [(str(a), lineno, message)
                                 for lineno, message in vexdal_py.parse(a.read_bytes()).warnings]


    def test_a_dos_file_is_read_as_its_text(self, folder):
        pytest.importorskip("pyarrow")
        a = folder / "a.txt"
        dos, _ = dos_pair(a.read_bytes())
        (folder / "dos.txt").write_bytes(dos)
        read = vexdal.read_documents([a, folder / "dos.txt"], jobs=1)
        assert read.failures == []
        rows = read.table.drop_columns(["path"]).to_pylist()
        assert len(rows) == 2 and rows[0] == rows[1]  # a.txt has one document


class TestScaleOut:
    """The Dask reader, the Parquet example on a local cluster, and the Spark sketch's function."""

    def expected(self, folder, scale):
        pa = pytest.importorskip("pyarrow")
        table = vexdal.read_documents(folder, jobs=1).table
        return table.cast(table.schema.set(table.schema.get_field_index("amount"),
                                           table.schema.field("amount").with_type(
                                               pa.decimal128(38, scale)))).to_pylist()

    def test_dask_reader(self, folder):
        pytest.importorskip("dask.dataframe")
        import dask

        frame = vexdal.dask.read_documents(str(folder / "**" / "*.[tT][xX][tT]"),
                                           errors="skip", files_per_partition=1)
        assert frame.npartitions == 3
        with dask.config.set(scheduler="synchronous"):
            rows = frame.compute().to_dict("records")
        assert rows == self.expected(folder, 4)
        with pytest.raises(vexdal_py.ParseError, match="broken.txt: SyntaxError: "), \
                dask.config.set(scheduler="synchronous"):
            vexdal.dask.read_documents(folder).compute()

    def test_parquet_example_on_a_local_cluster(self, folder, tmp_path_factory):
        pytest.importorskip("dask.distributed")
        pq = pytest.importorskip("pyarrow.parquet")
        out = tmp_path_factory.mktemp("dataset") / "documents"
        done = subprocess.run([sys.executable, str(HERE.parent / "examples/parquet_folder.py"),
                               "--workers", "2", "-o", str(out), str(folder)],
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 1, done.stderr
        assert f"left out {folder / 'sub' / 'broken.txt'}: SyntaxError: " in done.stderr
        assert pq.read_table(out).to_pylist() == self.expected(folder, 4)

    def test_spark_sketch_function(self, folder):
        pa = pytest.importorskip("pyarrow")
        sys.path.insert(0, str(HERE.parent / "examples"))
        try:
            import spark_documents
        finally:
            sys.path.pop(0)
        paths = sorted(str(p) for p in folder.rglob("*") if p.is_file())
        batch = pa.record_batch({"path": paths,
                                 "content": [Path(p).read_bytes() for p in paths]})
        got = pa.Table.from_batches(list(spark_documents.documents(iter([batch]))))
        expected = [{k: row[k] for k in got.column_names} for row in self.expected(folder, 4)]
        assert got.to_pylist() == expected
        pytest.importorskip("pyspark")
        out = folder.parent / "spark-out"
        done = subprocess.run([sys.executable, str(HERE.parent / "examples/spark_documents.py"),
                               str(folder), str(out)], capture_output=True, text=True,
                              timeout=600)
        assert done.returncode == 0, done.stderr


def readme_blocks(name, heading):
    text = (HERE.parent / name).read_text(encoding="utf-8")
    section = text.split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    return [block.split("```", 1)[0] for block in section.split("```python\n")[1:]]


@pytest.mark.parametrize("index", range(len(readme_blocks("README.md", "Tables"))))
def test_readme_tables_examples_run(index, monkeypatch, capsys):
    blocks = readme_blocks("README.md", "Tables")
    assert readme_blocks("README.ru.md", "Таблицы") == blocks  # the same code in both
    code = blocks[index]
    for module in ("pandas", "polars", "duckdb"):
        if f"import {module}" in code or (module == "pandas" and "to_pandas" in code):
            pytest.importorskip(module)
    pytest.importorskip("pyarrow")
    monkeypatch.chdir(HERE.parent)
    exec(compile(code, f"README block {index}", "exec"), {"__name__": "__main__"})
    assert capsys.readouterr().out


@pytest.mark.parametrize("fmt", ["parquet", "arrow", "csv", "jsonl"])
def test_cli_export(folder, tmp_path_factory, fmt):
    import csv
    import json

    from vexdal.cli import main

    if fmt in ("parquet", "arrow"):
        pa = pytest.importorskip("pyarrow")
    out = tmp_path_factory.mktemp("export") / f"documents.{fmt}"
    assert main(["export", "--format", fmt, "-o", str(out), "-j", "2", "-q",
                 "--glob", "*.[tT][xX][tT]", str(folder)]) == 1
    a, b = folder / "a.txt", folder / "sub" / "b.TXT"
    texts = [{"path": str(path), **{name: getattr(doc, name)
                                    for name in vexdal.tables.DOCUMENT_COLUMNS}}
             for path in (a, b) for doc in vexdal_py.parse(path.read_bytes()).documents]
    if fmt == "parquet":
        import pyarrow.parquet as pq
        assert pq.read_table(out).to_pylist() == vexdal.read_documents(folder).table.to_pylist()
    elif fmt == "arrow":
        assert pa.ipc.open_file(str(out)).read_all().equals(vexdal.read_documents(folder).table)
    elif fmt == "csv":
        with open(out, encoding="utf-8", newline="") as rows:
            got = list(csv.DictReader(rows))
        assert [{k: row[k] or None for k in texts[0]} for row in got] == texts
        assert got[0]["absent"].split() == [k for k, v in texts[0].items() if v is None]
    else:
        assert [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()] == texts


# PyPy would compile its _testcapi from C source on import, and has no set_nomemory either.
@pytest.mark.skipif(platform.python_implementation() != "CPython",
                    reason="PyPy has no _testcapi.set_nomemory")
def test_every_failed_allocation_is_a_memory_error():
    """As tests/test_allocations.py does for parse(): each allocation of the table's calls made
    to fail in turn gives the right answer or MemoryError."""
    _testcapi = pytest.importorskip("_testcapi")
    pytest.importorskip("pyarrow")
    data = make_statement(document_section(ОКАТО=""), account_section(),
                          document_section(Дата="31.02.2024"))

    def work():
        table = vexdal.documents_table(data, ["doc_number", "amount", "ОКАТО"])
        capsules = (table.__arrow_c_schema__(), table.__arrow_c_stream__(),
                    table.__arrow_c_array__(), vexdal.intervals_table(data).__arrow_c_stream__())
        return table.num_rows, table.column_names, table.warnings, table.accounts, len(capsules)

    expected = work()
    failed = right_in_a_row = n = 0
    while right_in_a_row < 40:
        n += 1
        _testcapi.set_nomemory(n, n + 1)
        try:
            got = work()
        except MemoryError:
            got = MemoryError
        finally:
            _testcapi.remove_mem_hooks()
        if got is MemoryError:
            failed, right_in_a_row = failed + 1, 0
        else:
            assert got == expected, f"allocation {n}"
            right_in_a_row += 1
    assert failed > 0

"""The `vexdal` command: what each command prints, its exit statuses, and that json and csv give
back exactly what the parser read."""

import csv
import io
import json
import re
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest
import vexdal.cli
import vexdal_py
from conftest import account_section, amount_message, document_section, make_statement

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "statement.txt"
FIELDS = [name for name in dir(vexdal_py.Document) if not name.startswith("_")]
# The builders' payer and payee accounts; mixed makes both the statement's own.
THEIRS, ELSEWHERE = "40702810400000005678", "40702810000000009999"


def run(capsys, *argv):
    status = vexdal.cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def readme_summary():
    """The summary of the example as the README shows it."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.search(r"```text\n(Statement examples/statement\.txt\n.*?)```", readme, re.S)[1]


@pytest.fixture
def mixed(tmp_path):
    """Two accounts of ours and a document for each direction, with an optional field empty and
    one absent, and one document that is skipped."""
    path = tmp_path / "mixed.txt"
    path.write_bytes(make_statement(
        account_section(), account_section(РасчСчет=THEIRS),
        document_section(),
        document_section(ПолучательСчет=ELSEWHERE, ПлательщикКПП="", Плательщик=None),
        document_section("Банковский ордер", ПлательщикСчет=ELSEWHERE, Сумма="0.050"),
        document_section(ПлательщикСчет=ELSEWHERE, ПолучательСчет=ELSEWHERE,
                         НазначениеПлатежа='Кавычки " и, запятые\tтабуляция'),
        document_section(Сумма="12,50"),
    ))
    return path


@pytest.mark.parametrize("how", ["main", "script"])
def test_summary_of_the_example_is_what_the_readme_shows(capsys, monkeypatch, how):
    monkeypatch.chdir(ROOT)
    if how == "main":
        status, out, err = run(capsys, "summary", "examples/statement.txt")
    else:
        done = subprocess.run([sys.executable, "examples/summary.py", "examples/statement.txt"],
                              capture_output=True, encoding="utf-8")
        status, out, err = done.returncode, done.stdout, done.stderr
    assert (status, out, err) == (0, readme_summary(), "")


def test_json_gives_back_the_statement(capsys, mixed):
    statement = vexdal_py.parse(mixed.read_bytes())
    documents = [{name: getattr(doc, name) for name in FIELDS} for doc in statement.documents]
    intervals = [name for name in dir(vexdal_py.Interval) if not name.startswith("_")]

    status, out, err = run(capsys, "json", str(mixed))
    assert status == 0 and "\\u" not in out
    assert json.loads(out) == {
        "encoding": "cp1251",
        "header": statement.header,
        "accounts": [{"number": number,
                      "intervals": [{name: getattr(i, name) for name in intervals}
                                    for i in account.intervals]}
                     for number, account in statement.accounts.items()],
        "documents": documents,
        "warnings": [{"lineno": lineno, "message": message}
                     for lineno, message in statement.warnings],
    }
    (lineno, message), = statement.warnings
    assert message == amount_message('"12,50"')
    assert err == f"{mixed}:{lineno}: warning: {message}\n"

    status, out, err = run(capsys, "json", "--lines", "-q", str(mixed))
    assert (status, [json.loads(line) for line in out.splitlines()], err) == (0, documents, "")


def test_csv_reads_back_as_the_documents(capsys, mixed):
    statement = vexdal_py.parse(mixed.read_bytes())
    status, out, _ = run(capsys, "csv", "-q", str(mixed))
    assert status == 0

    rows = list(csv.DictReader(io.StringIO(out, newline="")))
    assert sorted(rows[0]) == sorted([*FIELDS, "direction", "absent"])
    back = [{name: None if name in row["absent"].split() else row[name] for name in FIELDS}
            for row in rows]
    assert back == [{name: getattr(doc, name) for name in FIELDS} for doc in statement.documents]
    assert back[1]["counterparty_kpp"] == "" and back[1]["counterparty"] is None
    assert [row["direction"] for row in rows] == ["transfer", "debit", "credit", "neither"]


@pytest.fixture
def folder(tmp_path, monkeypatch):
    """Statements of every outcome, one of them the example, and a file the glob leaves out."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "statements" / "sub").mkdir(parents=True)
    files = {
        "good.txt": make_statement(account_section(), document_section()),
        "balance.txt": make_statement(account_section(КонечныйОстаток="8500.00"),
                                      document_section()),
        "broken.txt": make_statement(["garbage"], account_section()),
        "sub/example.txt": EXAMPLE.read_bytes(),
        "sub/not-a-statement.txt": b"hello\n",
        "sub/notes.md": b"hello\n",
    }
    for name, data in files.items():
        (tmp_path / "statements" / name).write_bytes(data)
    return Path("statements")


SKIPPED_AMOUNT = amount_message('"74 800,00"')
CHECKED = [
    "statements/balance.txt: account 40702810900000001234 2024-03-01..2024-03-31: opening "
    "10000.00 + credit 0.00 - debit 1500.50 = 8499.50, the bank says closing 8500.00",
    "statements/broken.txt:5: SyntaxError: Unrecognized line: 'garbage'",
    f"statements/sub/example.txt:381: warning: {SKIPPED_AMOUNT}",
    "statements/sub/example.txt: account 40702810400000012345: documents credit 871600.00, "
    "the bank says 946400.00",
    "statements/sub/not-a-statement.txt: NotStatementError: Input is not a 1C statement",
]


@pytest.mark.parametrize("options, tally", [
    ([], ["checked 5 files: 1 ok, 2 failed, 2 disagree with the bank; 1 warning"]),
    (["--jobs", "1"], ["checked 5 files: 1 ok, 2 failed, 2 disagree with the bank; 1 warning"]),
    (["-q", "--jobs", "3"], []),
], ids=["all-cores", "one-process", "quiet"])
def test_check_reports_each_file_in_path_order(capsys, folder, options, tally):
    status, out, err = run(capsys, "check", "--warnings", *options, str(folder))
    assert (status, out.splitlines(), err) == (1, CHECKED + tally, "")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs a Linux pseudo-terminal")
def test_check_draws_a_bar_on_a_terminal_and_prints_the_same(folder):
    pytest.importorskip("tqdm")
    import fcntl
    import os
    import pty
    import struct
    import termios

    main, side = pty.openpty()
    fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        done = subprocess.run([sys.executable, "-m", "vexdal", "check", "--warnings",
                               str(folder)], stdout=subprocess.PIPE, stderr=side,
                              encoding="utf-8", timeout=120)
    finally:
        os.close(side)
    drawn = b""
    while True:
        try:
            chunk = os.read(main, 1 << 16)
        except OSError:  # EIO once the terminal's other end is closed and read dry
            break
        if not chunk:
            break
        drawn += chunk
    os.close(main)
    # A run of a few files is over at once: the bar must still show, and stdout not change.
    assert (done.returncode, done.stdout.splitlines()) == (1, CHECKED + [
        "checked 5 files: 1 ok, 2 failed, 2 disagree with the bank; 1 warning"])
    assert b"/5 [" in drawn, drawn


def test_check_goes_on_past_a_missing_path(capsys, folder):
    status, out, err = run(capsys, "check", "--encoding-report", "nowhere",
                           "statements/good.txt")
    assert (status, out.splitlines(), err.splitlines()) == (
        2, ["statements/good.txt: encoding cp1251", "checked 1 file: 1 ok, 0 failed, "
            "0 disagree with the bank"],
        ["vexdal: error: cannot read nowhere: No such file or directory"])


@pytest.mark.parametrize("command", ["summary", "json", "csv"])
@pytest.mark.parametrize("name, status, line", [
    ("nowhere", 2, "vexdal: error: cannot read nowhere: No such file or directory"),
    ("sub/not-a-statement.txt", 1,
     "sub/not-a-statement.txt: NotStatementError: Input is not a 1C statement"),
    ("broken.txt", 1, "broken.txt:5: SyntaxError: Unrecognized line: 'garbage'"),
], ids=["missing", "not-a-statement", "syntax-error"])
def test_a_refused_file_is_one_line_on_stderr(capsys, folder, monkeypatch, command, name,
                                              status, line):
    monkeypatch.chdir(folder)
    got, out, err = run(capsys, command, name)
    # summary adds a hint for the person who has to fix the file
    assert (got, out, len(err.splitlines())) == (status, "", 1) and err.startswith(line)


@pytest.mark.parametrize("argv", [
    [], ["nonsense"], ["summary"], ["json", "a.txt", "b.txt"], ["check", "--jobs", "0", "."],
    ["csv", "--lines", "a.txt"],
], ids=["no-command", "unknown-command", "no-file", "two-files", "no-jobs", "unknown-option"])
def test_usage_errors_exit_2(capsys, argv):
    with pytest.raises(SystemExit) as stopped:
        vexdal.cli.main(argv)
    assert stopped.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1].startswith("vexdal")


def installed_script():
    script = Path(sys.executable).with_name("vexdal")
    return str(script) if script.exists() else shutil.which("vexdal")


@pytest.mark.parametrize("command", [[installed_script()], [sys.executable, "-m", "vexdal"]],
                         ids=["script", "module"])
def test_the_command_runs_as_a_program(command):
    if command[0] is None:
        pytest.skip("the vexdal script is not installed")
    done = subprocess.run([*command, "check", str(EXAMPLE)], capture_output=True,
                          encoding="utf-8")
    assert (done.returncode, done.stdout.splitlines()[0], done.stderr) == (
        1, f"{EXAMPLE}: account 40702810400000012345: documents credit 871600.00, "
        "the bank says 946400.00", "")
    version = subprocess.run([*command, "--version"], capture_output=True, encoding="utf-8")
    assert version.stdout == f"vexdal {metadata.version('vexdal_py')}\n"


# The largest amount a statement holds, 2**96 - 1, made of two amounts of 29 digits: Python's
# default decimal context keeps only 28.
LARGEST = "79228162514264337593543950335"
HALVES = ("39614081257132168796771975167", "39614081257132168796771975168")


def test_amounts_of_29_digits_add_up_exactly(capsys, tmp_path):
    path = tmp_path / "large.txt"
    path.write_bytes(make_statement(
        account_section(НачальныйОстаток=LARGEST, ВсегоСписано=LARGEST, КонечныйОстаток="0"),
        *(document_section(Сумма=half) for half in HALVES)))
    assert run(capsys, "check", str(path)) == (
        0, "checked 1 file: 1 ok, 0 failed, 0 disagree with the bank\n", "")
    status, out, _ = run(capsys, "summary", str(path))
    assert status == 0
    assert "79 228 162 514 264 337 593 543 950 335.00  (2 documents)" in out
    assert "matches the bank" in out and "difference" not in out


def test_a_side_without_documents_reads_like_the_others(capsys, tmp_path):
    """One document credited, none debited where the bank says some were."""
    path = tmp_path / "one.txt"
    path.write_bytes(make_statement(account_section(
        РасчСчет=THEIRS, ВсегоПоступило="1500.50", ВсегоСписано="1500.50",
        КонечныйОстаток="10000.00"), document_section()))
    status, out, _ = run(capsys, "check", "-q", str(path))
    assert (status, out) == (1, f"{path}: account {THEIRS}: documents debit 0.00, the bank says "
                                "1500.50\n")
    status, out, _ = run(capsys, "summary", str(path))
    assert ("    Credited to the statement's accounts:            1 500.50  (1 document)\n"
            f"      {THEIRS}           1 500.50  matches the bank\n"
            "    Debited from the statement's accounts:               0.00  (0 documents)\n"
            f"      {THEIRS}               0.00  the bank says 1 500.50, difference 1 500.50\n"
            in out)


@pytest.mark.parametrize("argv, status, out, err", [
    (["--glob", "*.nothing", "."], 2, "", "vexdal: error: no file to check (folders give their "
     "files named *.nothing, in any letter case)\n"),
    (["--glob", "*.MD", "statements/sub"], 1, "checked 1 file: 0 ok, 1 failed, 0 disagree with "
     "the bank\n", ""),
    (["statements/UPPER"], 0, "checked 1 file: 1 ok, 0 failed, 0 disagree with the bank\n",
     ""),
], ids=["nothing-found", "pattern-any-case", "name-any-case"])
def test_check_takes_names_in_any_case_and_fails_when_none_match(capsys, folder, argv, status,
                                                                 out, err):
    (folder / "UPPER").mkdir()
    (folder / "UPPER" / "KL_TO_1C.TXT").write_bytes((folder / "good.txt").read_bytes())
    got, got_out, got_err = run(capsys, "check", *argv)
    assert (got, got_out.splitlines()[-1:], got_err) == (status, out.splitlines(), err)


@pytest.mark.parametrize("command", [["summary"], ["json"], ["csv", "-q"]])
def test_a_dash_reads_standard_input(capsys, monkeypatch, mixed, command):
    _, from_file, _ = run(capsys, *command, str(mixed))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(mixed.read_bytes())))
    status, out, err = run(capsys, *command, "--encoding-report", "-")
    assert (status, out) == (0, from_file.replace(str(mixed), "<stdin>"))
    assert err.splitlines()[0] == "<stdin>: encoding cp1251"

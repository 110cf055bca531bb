"""The command through the file model: --keys adds any key of a document section to json and csv,
and every command reads a DOS file and says cp866 for it."""

import csv
import io
import json

import pytest
import vexdal.cli
from conftest import account_section, document_section, make_statement

TAX = {"ПоказательКБК": "18210102010011000110", "ОКАТО": "45381000", "Код": "0"}


def run(capsys, *argv):
    status = vexdal.cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def taxed(tmp_path):
    """A tax payment, a document without the tax keys, one skipped (bad amount) between them
    with other values, and a repeated key whose last value counts."""
    path = tmp_path / "taxed.txt"
    path.write_bytes(make_statement(
        account_section(),
        document_section(**TAX),
        document_section(Сумма="1,5", ОКАТО="skipped"),
        document_section(),
        [*document_section(ОКАТО="first")[:-1], "ОКАТО=last", "КонецДокумента"],
    ))
    return path


def test_json_and_csv_add_the_keys_asked_for(capsys, taxed):
    keys = "ПоказательКБК,ОКАТО,Код,ОКАТО"
    status, out, err = run(capsys, "json", "-q", "--keys", keys, str(taxed))
    wanted = [TAX, dict.fromkeys(TAX), {**dict.fromkeys(TAX), "ОКАТО": "last"}]
    assert status == 0 and err == ""
    assert [{key: doc[key] for key in TAX} for doc in json.loads(out)["documents"]] == wanted

    status, out, _ = run(capsys, "json", "-q", "--lines", "--keys", keys, str(taxed))
    assert [{key: json.loads(line)[key] for key in TAX} for line in out.splitlines()] == wanted

    status, out, _ = run(capsys, "csv", "-q", "--keys", keys, str(taxed))
    rows = list(csv.reader(io.StringIO(out, newline="")))
    assert rows[0][-5:] == ["direction", "absent", *TAX]
    assert [row[-3:] for row in rows[1:]] == [list(TAX.values()), ["", "", ""], ["", "last", ""]]
    assert rows[2][-4].split()[-3:] == list(TAX)


@pytest.mark.parametrize("keys", ["", ",", "amount", "ОКАТО,absent"])
def test_keys_that_name_nothing_new_are_usage_errors(capsys, taxed, keys):
    with pytest.raises(SystemExit) as caught:
        vexdal.cli.main(["csv", "--keys", keys, str(taxed)])
    assert caught.value.code == 2


def test_every_command_reads_a_dos_file(capsys, tmp_path):
    path = tmp_path / "dos.txt"
    path.write_bytes(make_statement(account_section(), document_section(**TAX),
                                    header={"Кодировка": "Dos"}, encoding="cp866"))
    status, out, err = run(capsys, "summary", "--encoding-report", str(path))
    assert (status, err) == (0, f"{path}: encoding cp866\n") and "cp866" in out
    status, out, _ = run(capsys, "json", "--keys", "ОКАТО", str(path))
    statement = json.loads(out)
    assert (status, statement["encoding"], statement["documents"][0]["ОКАТО"]) == (
        0, "cp866", TAX["ОКАТО"])
    status, out, _ = run(capsys, "check", "-q", "-j", "1", "--encoding-report", str(path))
    assert (status, out) == (0, f"{path}: encoding cp866\n")

"""vexdal.requisites: the check digits and forms of INNs, KPPs, BICs and account numbers, on the
published worked examples and on every requisite of the real statements."""

from pathlib import Path

import pytest
import vexdal.cli
from conftest import document_section, make_statement
from vexdal import requisites
from vexdal.requisites import account_ok, bic_ok, corr_account_ok, inn_ok, kpp_ok

DATA = Path(__file__).with_name("data")


@pytest.mark.parametrize(("inn", "ok"), [
    ("7707083893", True),
    ("7707049388", True),
    ("7700000070", True),  # remainder 10 gives check digit 0
    ("1234567894", True), ("1234567895", False),
    ("500100732259", True),
    ("123456789047", True), ("123456789037", False),  # 12th right, 11th wrong
    ("123456789048", False),  # 11th right, 12th wrong
    ("770708389", False), ("77070838930", False), ("", False),
    ("770708389З", False), ("７７０７０８３８９３", False),  # a letter; full-width digits
])
def test_inn(inn, ok):
    assert inn_ok(inn) is ok


@pytest.mark.parametrize(("kpp", "ok"), [
    ("773601001", True), ("770801001", True), ("7736AB001", True),
    ("77360100", False), ("7736ab001", False), ("773601O01", False), ("7736АВ001", False),
])
def test_kpp(kpp, ok):
    assert kpp_ok(kpp) is ok


@pytest.mark.parametrize(("bic", "ok"), [
    ("044525225", True), ("049805000", True), ("015402901", True),
    ("04452522", False), ("04452522X", False), ("0445252250", False),
])
def test_bic(bic, ok):
    assert bic_ok(bic) is ok


@pytest.mark.parametrize(("account", "bic", "ok"), [
    ("40602810700000000025", "049805746", True),  # key 7 with the BIC's last digits
    ("40602810800000000025", "049805746", False),
    ("40702810900000000025", "044514512", True),
    ("40702810942020002415", "042202603", True),
    ("40703810338000004033", "044525225", True), ("40703810338000004034", "044525225", False),
    # Opened at a settlement centre of the central bank: keyed with 0 and BIC digits 5-6.
    ("40102810100000010001", "040305000", True),
    ("40101810600000010102", "044583001", True), ("40101810400000010002", "046015001", True),
    # Clearing currency: the letter В in 6th place counts as 1.
    ("30114В84600000000501", "044541312", True), ("30114В84К00000000501", "044541312", False),
    ("30114884600000000501", "044541312", False),
    # Treasury accounts with a treasury BIC: only the form is checked.
    ("03100643000000015400", "015402901", True), ("0310064300000001540", "015402901", False),
    ("12345678901234567890", "045773883", False),
    ("30101810400000000225", "044525225", False),  # a bank's own account keys otherwise
    ("4070281094202000241", "042202603", False), ("40702810942020002415", "04220260", False),
])
def test_account(account, bic, ok):
    assert account_ok(account, bic) is ok


@pytest.mark.parametrize(("corr_account", "bic", "ok"), [
    ("30101810400000000225", "044525225", True),
    ("30101810500000000225", "044525225", False),
    ("30101810900000000603", "042202603", True),
    ("30101810800000000746", "049805746", True),  # keyed as at its settlement centre
    ("30101810400000000225", "044525226", False),  # the key holds, the tail is another bank's
    ("40102810545370000046", "015402901", True),  # the single treasury account
])
def test_corr_account(corr_account, bic, ok):
    assert corr_account_ok(corr_account, bic) is ok


def sections(text):
    """Each document's key=value lines, read without the parser, so that files it refuses
    still show their requisites."""
    values = None
    for line in text.splitlines():
        if line.startswith("СекцияДокумент"):
            values = {}
        elif line == "КонецДокумента" and values is not None:
            yield values
            values = None
        elif values is not None and "=" in line:
            key, _, value = line.partition("=")
            values[key] = value


# The requisites of each real statement that fail their rules: placeholders and made-up
# numbers; every other INN, KPP, BIC and account in them passes.
BAD_IN_SAMPLES = {
    "anon-cp1251-lf-12docs.txt": {"12345678901234567890"},
    "anon-cp1251-lf-5docs.txt": {"12345678901234567890"},
    "bad-mixed-enc-eol-1c_to_kl.txt": {"111122223344", "12345678901234567890", "1234567891"},
    "bko-cp1251-crlf-01.txt": {"123123123123", "12312312312312312", "40702810200000000001"},
    "bko-cp1251-crlf-03.txt": {"40702810000000077777", "7123456777", "7123456789",
                               "7123456789012", "7777777777"},
    "bko-cp1251-lf-02.txt": {"00000000000000000001", "000000000001", "000000000002",
                             "40000000000000000000", "40000000000000000001",
                             "40000000000000000004"},
    "bko-utf8-crlf-01.txt": {"123123123123", "12312312312312312", "40702810200000000001"},
    "generic-cp1251-lf-v101.txt": {"00000000000000000001", "00000000000000000002",
                                   "00000000000000000004", "0000000001", "0000000002"},
    "synthetic-utf8-crlf-2accounts.txt": {"Payer bank BIC", "Receiver bank BIC"},
    "testbank-utf8-lf-01.txt": set(),
}


# Only the statements copied into tests/data as they are: the others there were written to have
# their shape, and their requisites were made up with them.
@pytest.mark.parametrize("name", sorted(BAD_IN_SAMPLES))
def test_samples(name):
    raw = (DATA / name).read_bytes()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("cp1251")
    documents = list(sections(text))
    assert documents
    assert {p.value for values in documents for p in requisites.problems(values)} \
        == BAD_IN_SAMPLES[name]


def test_problems_name_the_key_and_the_rule():
    values = {"ПлательщикИНН": "7707083895", "ПолучательИНН": "",  # empty: nothing to judge
              "ПлательщикКПП": "0", "ПолучательКПП": "7736ab001",
              "ПлательщикБИК": "04452522X", "ПлательщикСчет": "40703810338000004034",
              "ПолучательБИК": "044525225", "ПолучательСчет": "40703810338000004034",
              "ПолучательКорсчет": "30101810400000000226"}
    assert [tuple(p) for p in requisites.problems(values)] == [
        ("ПлательщикИНН", "7707083895", "wrong check digit"),
        ("ПолучательКПП", "7736ab001",
         "not 4 digits, 2 digits or capital Latin letters, and 3 digits"),
        ("ПлательщикБИК", "04452522X", "not 9 digits"),
        # ПлательщикСчет waits for a BIC it can be checked with.
        ("ПолучательСчет", "40703810338000004034", "wrong control key"),
        ("ПолучательКорсчет", "30101810400000000226",
         "does not end in 225, the last digits of the BIC"),
    ]


# The builders' document with requisites that pass.
SOUND = {"ПлательщикИНН": "7701234560", "ПолучательИНН": "7809876549",
         "ПлательщикСчет": "40702810500000001234"}


@pytest.mark.parametrize(("strict", "status"), [(False, 0), (True, 1)], ids=["plain", "strict"])
def test_check_warns_of_bad_requisites_at_the_documents_end(tmp_path, capsys, strict, status):
    path = tmp_path / "kl_to_1c.txt"
    data = make_statement(document_section(**SOUND),
                          document_section(**{**SOUND, "ПлательщикИНН": "7707083895",
                                              "ПолучательБИК": "04403065"}))
    path.write_bytes(data)
    end = [n for n, line in enumerate(data.decode("cp1251").split("\r\n"), 1)
           if line == "КонецДокумента"][-1]
    argv = ["check", "-q", "--requisites", *(["--strict"] if strict else []), str(path)]
    assert vexdal.cli.main(argv) == status
    assert capsys.readouterr().out.splitlines() == [
        f"{path}:{end}: warning: ПлательщикИНН 7707083895: wrong check digit",
        f"{path}:{end}: warning: ПолучательБИК 04403065: not 9 digits"]
    # Without the option the same file is merely ok.
    assert vexdal.cli.main(["check", "-q", "--strict", str(path)]) == 0
    assert capsys.readouterr().out == ""

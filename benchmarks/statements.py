"""Where the statements come from: the reference statements make_statement.py writes (kept
in a cache folder), the --input files, the hostile statements, and the big inputs built from
the payment documents of real sample files."""

from __future__ import annotations

import datetime
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import vexdal_py

REPO = Path(__file__).resolve().parents[1]
EXAMPLE = REPO / "examples" / "statement.txt"
DEFAULT_SAMPLES = REPO.parent / "shared" / "samples"
DEFAULT_GENERATOR = REPO.parent / "shared" / "bench" / "make_statement.py"
DEFAULT_CACHE = REPO / "build" / "bench"
MB = 1_000_000
ENCODINGS = ("cp1251", "utf-8")


@dataclass(frozen=True)
class Sizes:
    timed: int  # documents in the statement the time ratios are taken on
    small: int  # documents at the two ends of the scaling check; `large` also gets the memory check
    large: int
    hostile: int  # bytes of hostile lines in each hostile statement


FULL = Sizes(timed=20_000, small=2_000, large=200_000, hostile=50 * MB)
QUICK = Sizes(timed=20_000, small=2_000, large=20_000, hostile=5 * MB)
# About 1 GiB each: a UTF-8 document is 1.6 times as long as a windows-1251 one.
HUGE_DOCS = {"cp1251": 1_100_000, "utf-8": 690_000}


# ---------------------------------------------------------------------------------------------
# Reference statements


@dataclass(frozen=True)
class Input:
    path: Path
    encoding: str
    documents: int | None  # as generated; None for a file given with --input

    @property
    def size(self) -> int:
        return self.path.stat().st_size

    @property
    def label(self) -> str:
        if self.documents is None:
            return self.path.name
        return f"{self.encoding}, {self.documents:,} docs"


@dataclass
class Plan:
    """The statements of one encoding and what each is measured for."""
    encoding: str
    timed: list[Input]
    scaling: tuple[Input, Input] | None
    memory: Input


def generated(generator: Path, cache: Path, documents: int, encoding: str) -> Input:
    """The generator's statement, written into the cache the first time it is needed."""
    path = cache / f"statement-{documents}-{encoding}.txt"
    if not path.exists():
        print(f"generating {path} ...", flush=True)
        cache.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        subprocess.run([sys.executable, str(generator), "--docs", str(documents),
                        "--encoding", encoding, "-o", str(partial)],
                       check=True, stdout=subprocess.DEVNULL)
        partial.replace(path)  # an interrupted run leaves nothing that looks complete
    return Input(path, encoding, documents)


def generated_plans(generator: Path, cache: Path, sizes: Sizes) -> list[Plan]:
    plans = []
    for encoding in ENCODINGS:
        timed, small, large = (generated(generator, cache, documents, encoding)
                               for documents in (sizes.timed, sizes.small, sizes.large))
        plans.append(Plan(encoding, [timed], (small, large), large))
    return plans


def given_plans(paths: list[Path]) -> list[Plan]:
    """Plans for --input files, grouped by the encoding the parser reads them in."""
    by_encoding: dict[str, list[Input]] = {}
    for path in paths:
        try:
            encoding = vexdal_py.parse(path.read_bytes()).encoding
        except (OSError, vexdal_py.ParseError) as exc:
            print(f"note: {path} skipped: {type(exc).__name__}: {exc}")
            continue
        by_encoding.setdefault(encoding, []).append(Input(path, encoding, None))
    plans = []
    for encoding, inputs in by_encoding.items():
        inputs.sort(key=lambda i: i.size)
        scaling = (inputs[0], inputs[-1]) if inputs[0].size != inputs[-1].size else None
        plans.append(Plan(encoding, inputs, scaling, inputs[-1]))
    return plans


# ---------------------------------------------------------------------------------------------
# Hostile shapes

HOSTILE_SHAPES = [("'=' lines", "equals", b"=\r\n"), ("'a=1' lines", "a1", b"a=1\r\n"),
                  ("blank lines", "blank", b"\r\n")]
# The keys a document cannot do without, split around the hostile lines so that the document
# only builds when reading carries on correctly past them.
HOSTILE_FIELDS = [
    ("Номер", "1"), ("Дата", "02.03.2026"), ("Сумма", "100.00"), ("ПлательщикИНН", "7701234567"),
    ("ПлательщикБИК", "044525225"), ("ПлательщикБанк1", "ПАО СБЕРБАНК"),
    ("ПлательщикСчет", "40702810400000012345"), ("ПолучательИНН", "7707654321"),
    ("ПолучательСчет", "40702810900000067890"), ("ПолучательБИК", "044525593"),
    ("ПолучательБанк1", 'АО "АЛЬФА-БАНК"'), ("НазначениеПлатежа", "Оплата по счету № 1"),
]


def hostile_statement(filler: bytes, encoding: str, size: int) -> bytes:
    """A valid statement of one payment document with `size` bytes of `filler` lines inside."""
    lines = [f"{key}={value}\r\n" for key, value in HOSTILE_FIELDS]
    half = len(lines) // 2
    head = ("1CClientBankExchange\r\nВерсияФормата=1.03\r\nСекцияДокумент=Платежное поручение\r\n"
            + "".join(lines[:half]))
    tail = "".join(lines[half:]) + "КонецДокумента\r\nКонецФайла\r\n"
    return head.encode(encoding) + filler * (size // len(filler)) + tail.encode(encoding)


def hostile_problem(statement: vexdal_py.Statement, encoding: str) -> str:
    """What is wrong with the parse of a hostile statement, or "": its one document must come
    out whole, with the keys from both sides of the hostile lines."""
    if statement.encoding != encoding:
        return f"read as {statement.encoding}"
    if statement.warnings:
        return f"warning at line {statement.warnings[0][0]}: {statement.warnings[0][1]}"
    if len(statement.documents) != 1:
        return f"{len(statement.documents)} documents"
    document = statement.documents[0]
    expected = dict(HOSTILE_FIELDS)
    read = {"Номер": document.doc_number, "Сумма": document.amount,
            "ПлательщикИНН": document.counterparty_inn,
            "ПолучательБанк1": document.payee_bank1,
            "НазначениеПлатежа": document.purpose}
    wrong = [key for key, value in read.items() if value != expected[key]]
    return f"wrong {', '.join(wrong)}" if wrong else ""


def hostile_inputs(cache: Path, size: int) -> list[tuple[str, Input]]:
    """The hostile statements, written into the cache (they are quick to build, so always)."""
    cache.mkdir(parents=True, exist_ok=True)
    inputs = []
    for label, name, filler in HOSTILE_SHAPES:
        for encoding in ENCODINGS:
            path = cache / f"hostile-{name}-{size // MB}mb-{encoding}.txt"
            path.write_bytes(hostile_statement(filler, encoding, size))
            inputs.append((f"{label}, {encoding} markers", Input(path, encoding, None)))
    return inputs


# ---------------------------------------------------------------------------------------------
# Samples workload: big statements made of the documents of real files

DOCUMENT = re.compile(r"^СекцияДокумент=.*?^КонецДокумента$", re.MULTILINE | re.DOTALL)


def read_text(path: Path) -> str:
    """The file's text with LF line ends, read the way the parser reads it."""
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = data.decode("cp1251", errors="replace")
    return text.replace("\r\n", "\n")


def builds_alone(block: str) -> bool:
    """True when the section becomes a document without a warning, so that the big inputs time
    the common path; sections that only warn would measure the error path instead."""
    probe = f"1CClientBankExchange\nВерсияФормата=1.03\n{block}\nКонецФайла\n"
    try:
        statement = vexdal_py.parse(probe.encode("utf-8"))
    except vexdal_py.ParseError:
        return False
    return len(statement.documents) == 1 and not statement.warnings


def collect_documents(sources: list[Path]) -> list[str]:
    blocks = []
    for path in sources:
        for block in DOCUMENT.findall(read_text(path)):
            try:
                block.encode("cp1251")  # both inputs must hold the same documents
            except UnicodeEncodeError:
                continue
            if builds_alone(block):
                blocks.append(block)
    return blocks


def build_input(head: str, blocks: list[str], encoding: str, target: int) -> tuple[bytes, int]:
    """head, then the blocks over and over until the encoded size reaches target, then the end
    line. Returns the bytes and the number of documents."""
    encoded = [(block.replace("\n", "\r\n") + "\r\n").encode(encoding) for block in blocks]
    parts = [head.replace("\n", "\r\n").encode(encoding)]
    size, count = len(parts[0]), 0
    while size < target:
        piece = encoded[count % len(encoded)]
        parts.append(piece)
        size += len(piece)
        count += 1
    parts.append("КонецФайла\r\n".encode(encoding))
    return b"".join(parts), count


def largest_sample(sources: list[Path]) -> Path | None:
    """The largest sample that parses: timing a file that fails early would time the error."""
    for path in sorted(sources, key=lambda p: p.stat().st_size, reverse=True):
        try:
            vexdal_py.parse(path.read_bytes())
        except vexdal_py.ParseError as exc:
            print(f"note: {path.name} is larger but is refused ({exc}); skipped")
            continue
        return path
    return None


# ---------------------------------------------------------------------------------------------
# Daily account sections: one account, one section a day, no documents

DAILY_SECTIONS = (3_650, 60_000)
FIRST_DAY = datetime.date(1900, 1, 1)  # 60,000 days on, still in this century


def daily_sections_statement(sections: int, encoding: str) -> bytes:
    """A statement of one account given as `sections` account sections of one day each, with
    eight keys apiece (the seven the parser reads and one it ignores), as banks that export a
    section per day write them; no documents."""
    head = ("1CClientBankExchange\r\nВерсияФормата=1.03\r\nКодировка=Windows\r\n"
            "Отправитель=Бухгалтерия предприятия\r\nПолучатель=\r\n"
            "ДатаСоздания=01.01.2026\r\nВремяСоздания=10:00:00\r\n"
            "ДатаНачала=01.01.1900\r\nДатаКонца=31.12.2099\r\n"
            "РасчСчет=40702810400000012345\r\n")
    parts = [head]
    balance = 1_000_000_00
    for i in range(sections):
        date = (FIRST_DAY + datetime.timedelta(days=i)).strftime("%d.%m.%Y")
        income, expense = (i * 7919) % 500_000_00, (i * 104_729) % 400_000_00
        end = balance + income - expense
        parts.append(
            f"СекцияРасчСчет\r\nДатаНачала={date}\r\nДатаКонца={date}\r\n"
            f"РасчСчет=40702810400000012345\r\n"
            f"НачальныйОстаток={balance // 100}.{balance % 100:02d}\r\n"
            f"ВсегоПоступило={income // 100}.{income % 100:02d}\r\n"
            f"ВсегоСписано={expense // 100}.{expense % 100:02d}\r\n"
            f"КонечныйОстаток={end // 100}.{end % 100:02d}\r\n"
            f"Примечание=Выписка за день {i + 1}\r\nКонецРасчСчет\r\n")
        balance = end
    parts.append("КонецФайла\r\n")
    return "".join(parts).encode(encoding)

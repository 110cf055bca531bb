"""Reading a result, and statements of account sections: the rows that time what a caller does
after parse() (every attribute read, every value kept, and the same strings and lookups made in
C as the least CPython needs), and parse() of a statement of one account section a day."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import shlex
import subprocess
import sysconfig
from pathlib import Path
from typing import Callable

import vexdal_py

from measure import DOCUMENT_FIELDS, Check, best_of, floor
from statements import DAILY_SECTIONS, ENCODINGS, MB, daily_sections_statement

# Per encoding: upper bounds.
READ_TARGETS = {
    "cp1251": {"read-keep": 0.65, "read/C floor": 1.15, "daily": 0.25},
    "utf-8": {"read-keep": 0.60, "read/C floor": 1.15, "daily": 0.25},
}
READ_SUMMARY_KEYS = ("read-keep", "read/C floor", "daily")
DAILY_MIN_RUNS = 25
FIELD_NAMES = tuple(DOCUMENT_FIELDS.__reduce__()[1])  # the 26 attribute names, in order
HELPER = Path(__file__).resolve().with_name("strings_floor.c")


def read_check(key: str, subject: str, encoding: str, value: float | None,
               note: str = "") -> Check:
    return Check(key, subject, encoding, value, READ_TARGETS[encoding][key], note)


def read_and_keep(statement: vexdal_py.Statement) -> list[list[object]]:
    """Every value of every document, kept: a list of the 26 values per document."""
    return [[*DOCUMENT_FIELDS(document)] for document in statement.documents]


# ---------------------------------------------------------------------------------------------
# The C floor: the same strings made by CPython's own decoders, the same lookups on slots


def build_helper(cache: Path) -> tuple[object | None, str]:
    """The compiled strings_floor module, built into the cache the first time; or None and why
    not (no compiler, no headers)."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = cache / f"strings_floor{suffix}"
    if not target.exists() or target.stat().st_mtime < HELPER.stat().st_mtime:
        compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
        include = sysconfig.get_paths()["include"]
        cache.mkdir(parents=True, exist_ok=True)
        command = compiler + ["-O2", "-shared", "-fPIC", f"-I{include}", str(HELPER), "-o",
                              str(target)]
        try:
            done = subprocess.run(command, capture_output=True, text=True)
        except OSError as exc:
            return None, f"no C compiler for the floor helper: {exc}"
        if done.returncode != 0:
            return None, f"the floor helper does not build: {done.stderr.strip()[:120]}"
    loader = importlib.machinery.ExtensionFileLoader("strings_floor", str(target))
    spec = importlib.util.spec_from_file_location("strings_floor", target, loader=loader)
    module = importlib.util.module_from_spec(spec)
    try:
        loader.exec_module(module)
    except ImportError as exc:
        return None, f"the floor helper does not load: {exc}"
    return module, ""


class Slots:
    """The cheapest attribute CPython looks up: a slot, here holding None."""
    __slots__ = FIELD_NAMES

    def __init__(self) -> None:
        for name in FIELD_NAMES:
            setattr(self, name, None)


def floor_inputs(statement: vexdal_py.Statement, encoding: str) -> tuple[list[bytes],
                                                                          list[bytes], int]:
    """The bytes of every str value the documents give, in the statement's encoding: those
    CPython decodes as UTF-8 (ASCII, or all of a UTF-8 statement) and those it decodes with the
    code page's map; and the number of strings."""
    plain, mapped = [], []
    for document in statement.documents:
        for value in DOCUMENT_FIELDS(document):
            if value is None:
                continue
            data = value.encode(encoding)
            (plain if encoding == "utf-8" or data.isascii() else mapped).append(data)
    return plain, mapped, len(plain) + len(mapped)


def time_against_c_floor(data: bytes, encoding: str, repeat: int, cache: Path) -> Check:
    """Reading every attribute of every document (by a C loop, the parse not counted) against
    making the same strings with CPython's decoders plus looking as many slots up."""
    subject = f"{encoding}, read / C floor"
    helper, why = build_helper(cache)
    if helper is None:
        return read_check("read/C floor", subject, encoding, None, why)
    statement = vexdal_py.parse(data)
    documents = list(statement.documents)
    plain, mapped, strings = floor_inputs(statement, encoding)
    table = bytes(range(256)).decode("cp1251", "replace")
    slots = [Slots() for _ in documents]

    def strings_floor() -> None:
        helper.make_strings(plain, None)
        helper.make_strings(mapped, table)

    read_s, strings_s, lookups_s = best_of(
        repeat, 1, lambda: helper.get_attributes(documents, FIELD_NAMES), strings_floor,
        lambda: helper.get_attributes(slots, FIELD_NAMES))
    floor_s = strings_s + lookups_s
    print(f"{subject:<30}{read_s * 1e3:>10.1f}{strings_s * 1e3:>10.1f}{lookups_s * 1e3:>10.1f}"
          f"{read_s / floor_s:>9.2f}   {strings:,} strings")
    return read_check("read/C floor", subject, encoding, read_s / floor_s,
                      f"read {read_s * 1e3:.1f} ms, strings {strings_s * 1e3:.1f} ms + "
                      f"lookups {lookups_s * 1e3:.1f} ms")


def time_read_keep(label: str, data: bytes, encoding: str, repeat: int) -> Check:
    floor_s, keep_s = best_of(repeat, 1, lambda: floor(data, encoding),
                              lambda: read_and_keep(vexdal_py.parse(data)))
    print(f"{label:<30}{floor_s * 1e3:>10.1f}{keep_s * 1e3:>10.1f}{keep_s / floor_s:>9.2f}")
    return read_check("read-keep", label, encoding, keep_s / floor_s)


def run_reads(timed: list[tuple[str, bytes, str]], repeat: int, cache: Path) -> list[Check]:
    """The reading rows for each timed reference statement: (label, data, encoding)."""
    checks: list[Check] = []
    print(f"\nread and keep every value (a list per document), best of {repeat}")
    print(f"{'statement':<30}{'floor ms':>10}{'keep ms':>10}{'/ floor':>9}")
    for label, data, encoding in timed:
        checks.append(time_read_keep(label, data, encoding, repeat))
    print(f"\nread every attribute in C against the least CPython needs for the same strings "
          f"and lookups, best of {repeat}")
    print(f"{'statement':<30}{'read ms':>10}{'strings':>10}{'lookups':>10}{'ratio':>9}")
    for label, data, encoding in timed:
        checks.append(time_against_c_floor(data, encoding, repeat, cache))
    return checks


# ---------------------------------------------------------------------------------------------
# Daily account sections


def run_daily(repeat: int) -> list[Check]:
    """parse() of one account given as a section a day, against the floor. These works take a
    few milliseconds, where five runs on a shared machine mostly miss its quiet moments, so they
    take at least DAILY_MIN_RUNS, both sides alike."""
    checks: list[Check] = []
    repeat = max(repeat, DAILY_MIN_RUNS)
    print(f"\ndaily account sections (one account, no documents): parse best of {repeat}")
    print(f"{'statement':<34}{'MB':>8}{'floor ms':>10}{'parse ms':>10}{'/ floor':>9}"
          f"{'us/section':>12}")
    for sections in DAILY_SECTIONS:
        for encoding in ENCODINGS:
            data = daily_sections_statement(sections, encoding)
            label = f"{encoding}, {sections:,} daily sections"
            statement = vexdal_py.parse(data)
            intervals = sum(len(a.intervals) for a in statement.accounts.values())
            del statement
            if intervals != sections:
                checks.append(Check("daily", label, encoding, None,
                                    READ_TARGETS[encoding]["daily"],
                                    f"{intervals} intervals, {sections} expected", failed=True))
                continue
            floor_s, parse_s = best_of(repeat, 1, lambda: floor(data, encoding),
                                       lambda: vexdal_py.parse(data))
            print(f"{label:<34}{len(data) / MB:>8.1f}{floor_s * 1e3:>10.1f}"
                  f"{parse_s * 1e3:>10.1f}{parse_s / floor_s:>9.2f}"
                  f"{parse_s / sections * 1e6:>12.2f}")
            checks.append(read_check("daily", label, encoding, parse_s / floor_s,
                                     f"{parse_s / sections * 1e6:.2f} us per section"))
    return checks


def reads_summary(checks: list[Check], worst: Callable[[list[Check]], str]) -> list[str]:
    """The summary line's part for these rows, per encoding."""
    parts = []
    for encoding in ENCODINGS:
        mine = [c for c in checks if c.encoding == encoding and c.key in READ_SUMMARY_KEYS]
        if mine:
            parts.append(f"{encoding} " + " ".join(
                f"{key} {worst([c for c in mine if c.key == key])}"
                for key in READ_SUMMARY_KEYS))
    return parts

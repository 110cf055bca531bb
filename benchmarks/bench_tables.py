"""Measures vexdal.documents_table and what reads it, against the floor and against building
the same frames from parse()'s attributes in Python.

Every figure is a ratio of works measured side by side in one process (best of --repeat runs,
the works taking turns within each run), so a busy machine slows both sides alike. The machine
may be shared: the ratios hold, the milliseconds printed beside them are for context only.

  table / floor        documents_table(data) over data.decode(enc).splitlines()       <= 0.25
  pyarrow / floor      pyarrow.table(documents_table(data)) over the floor            <= 0.30
  pandas speedup       examples/to_pandas.py's frame as it was built before tables (parse(),
                       then every attribute in a Python loop) over
                       documents_table(data).to_pandas()                              >= 10x
  polars speedup       a polars.DataFrame built from parse()'s attributes in Python over
                       polars.DataFrame(documents_table(data))                        >= 10x
  jobs speedup         vexdal.read_documents over --files statements of 1,000 documents (about
                       1 MB each, 1 GB for the default 1,000) with one job over two jobs
                       (needs 2 free cores; the figure is only as good as the machine's
                       idleness)                                                      >= 1.7x
  peak                 peak memory rise during documents_table(data), over the input size,
                       in a fresh child process; "peak, pyarrow" adds pyarrow.table()
                       (no target)                                                    <= 1.0

With --cpu-time every work but the jobs' is timed by the process's CPU time (its threads
included) rather than wall time, for a machine that other work shares. The jobs' speedup is
always wall time, which is what parallel work saves; its note gives the CPU time (user + sys) of
the parent and of its worker processes on each side, which bounds that speedup on a busy
machine.

The statements are the 20,000-document reference statements of ../shared/bench/make_statement.py
(windows-1251 and UTF-8), generated once into build/bench/ as bench_parse.py does.

usage: python benchmarks/bench_tables.py [--repeat N] [--files N] [--skip-memory]
           [--skip-jobs] [--cpu-time] [--generator PATH] [--cache DIR]
"""

from __future__ import annotations

import argparse
import datetime
import json
import resource
import subprocess
import sys
import tempfile
import time
from decimal import Decimal
from pathlib import Path
from typing import Any, Optional

sys.path.insert(0, str(Path(__file__).resolve().parent))

import vexdal  # noqa: E402
import vexdal_py  # noqa: E402
import measure  # noqa: E402
from measure import best_of, floor, malloc_trim, proc_status, reset_peak  # noqa: E402
from statements import DEFAULT_CACHE, DEFAULT_GENERATOR, ENCODINGS, generated  # noqa: E402

TARGETS = {"table / floor": (0.25, "<="), "pyarrow / floor": (0.30, "<="),
           "pandas speedup": (10.0, ">="), "polars speedup": (10.0, ">="),
           "jobs speedup": (1.7, ">="), "peak": (1.0, "<="), "peak, pyarrow": (None, "")}
FIELDS = vexdal.tables.DOCUMENT_COLUMNS
DATES = {"doc_date", "outcome_date", "income_date"}


# ---------------------------------------------------------------------------------------------
# The frames as Python code builds them from parse()'s objects


def pandas_from_attributes(data: bytes) -> Any:
    """examples/to_pandas.py's documents_frame as it stood before tables, kept here as the
    baseline: parse, then every attribute of every document in Python."""
    import pandas as pd

    statement = vexdal_py.parse(data)
    docs = statement.documents
    accounts = statement.accounts
    columns: dict[str, Any] = {}
    for name in FIELDS:
        if name in DATES:
            texts: list[Optional[str]] = [getattr(doc, name) for doc in docs]
            for doc, text in zip(docs, texts):
                if text is not None and not "1677-09-22" <= text <= "2262-04-11":
                    raise ValueError(f"{name} {text} of document {doc.doc_number}")
            dates = pd.to_datetime(pd.Series(texts, dtype=object), format="%Y-%m-%d")
            columns[name] = dates.astype("datetime64[ns]")
        elif name == "amount":
            columns[name] = pd.Series([Decimal(doc.amount) for doc in docs], dtype=object)
        else:
            columns[name] = pd.Series([getattr(doc, name) for doc in docs], dtype="string")
    pairs = []
    for doc in docs:
        payer = doc.counterparty or doc.counterparty_1 or f"ИНН {doc.counterparty_inn}"
        payee = doc.payee or f"ИНН {doc.payee_inn}"
        credit, debit = doc.payee_account in accounts, doc.counterparty_account in accounts
        pairs.append(("transfer", "own accounts") if credit and debit else
                     ("credit", payer) if credit else ("debit", payee) if debit else
                     ("neither", f"{payer} → {payee}"))
    columns["direction"] = pd.Series([d for d, _ in pairs], dtype="string")
    columns["other_party"] = pd.Series([p for _, p in pairs], dtype="string")
    return pd.DataFrame(columns)


def polars_from_attributes(data: bytes) -> Any:
    """The same columns and types as polars.DataFrame(documents_table(data)), from parse()'s
    attributes."""
    import polars as pl

    docs = vexdal_py.parse(data).documents
    columns = {}
    for name in FIELDS:
        series = pl.Series(name, [getattr(doc, name) for doc in docs], dtype=pl.String)
        if name in DATES:
            series = series.str.to_date("%Y-%m-%d")
        elif name == "amount":
            series = series.str.to_decimal()
        columns[name] = series
    return pl.DataFrame(columns)


# ---------------------------------------------------------------------------------------------
# Figures


def row(key: str, subject: str, value: Optional[float], note: str = "") -> dict[str, Any]:
    limit, sense = TARGETS[key]
    status = ""
    if limit is not None:
        status = "n/a" if value is None else (
            "ok" if (value >= limit if sense == ">=" else value <= limit) else "MISSED")
    return {"key": key, "subject": subject, "value": value, "status": status, "note": note,
            "target": "" if limit is None else f"{sense} {limit:g}"}


def time_statement(data: bytes, encoding: str, repeat: int) -> list[dict[str, Any]]:
    import pyarrow as pa

    works = {
        "floor": lambda: floor(data, encoding),
        "table": lambda: vexdal.documents_table(data),
        "pyarrow": lambda: pa.table(vexdal.documents_table(data)),
    }
    seconds = dict(zip(works, best_of(repeat, 1, *works.values())))
    rows = [row("table / floor", encoding, seconds["table"] / seconds["floor"]),
            row("pyarrow / floor", encoding, seconds["pyarrow"] / seconds["floor"])]
    try:
        import pandas  # noqa: F401

        old, new = best_of(max(3, repeat // 2), 1, lambda: pandas_from_attributes(data),
                           lambda: vexdal.documents_table(data).to_pandas())
        rows.append(row("pandas speedup", encoding, old / new,
                        f"{old * 1e3:.0f} ms -> {new * 1e3:.0f} ms"))
    except ImportError:
        rows.append(row("pandas speedup", encoding, None, "pandas not installed"))
    try:
        import polars as pl

        old, new = best_of(max(3, repeat // 2), 1, lambda: polars_from_attributes(data),
                           lambda: pl.DataFrame(vexdal.documents_table(data)))
        rows.append(row("polars speedup", encoding, old / new,
                        f"{old * 1e3:.0f} ms -> {new * 1e3:.0f} ms"))
    except ImportError:
        rows.append(row("polars speedup", encoding, None, "polars not installed"))
    print(f"{encoding}: floor {seconds['floor'] * 1e3:.1f} ms, table "
          f"{seconds['table'] * 1e3:.1f} ms, pyarrow {seconds['pyarrow'] * 1e3:.1f} ms",
          flush=True)
    return rows


def time_jobs(path: Path, files: int, repeat: int) -> dict[str, Any]:
    """read_documents over `files` copies of the statement, one job against two."""
    read_documents = getattr(vexdal, "read_documents", None)
    if read_documents is None:
        return row("jobs speedup", f"{files} files", None, "vexdal.read_documents missing")
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for i in range(files):
            copy = Path(folder) / f"statement-{i:04}.txt"
            copy.symlink_to(path.resolve())
            paths.append(copy)
        read = read_documents(paths[:2], jobs=2)
        if read.failures or read.table.num_rows == 0:
            return row("jobs speedup", f"{files} files", None,
                       f"read_documents failed: {read.failures[:1]}")
        cpu: dict[int, list[tuple[float, float, float]]] = {1: [], 2: []}

        def counted(jobs: int) -> None:
            """read_documents, its wall time with the CPU of this process and of the workers
            it waited for."""
            def used(who: int) -> float:
                usage = resource.getrusage(who)
                return usage.ru_utime + usage.ru_stime

            start, parent, workers = (time.perf_counter(), used(resource.RUSAGE_SELF),
                                      used(resource.RUSAGE_CHILDREN))
            read_documents(paths, jobs=jobs)
            cpu[jobs].append((time.perf_counter() - start, used(resource.RUSAGE_SELF) - parent,
                              used(resource.RUSAGE_CHILDREN) - workers))

        wall, measure.clock = measure.clock, time.perf_counter
        try:
            one, two = best_of(repeat, 1, lambda: counted(1), lambda: counted(2))
        finally:
            measure.clock = wall
    figures = {jobs: min(runs) for jobs, runs in cpu.items()}
    return row("jobs speedup", f"{files} x {path.name}", one / two,
               f"{one:.1f} s -> {two:.1f} s; CPU {sum(figures[1][1:]):.1f} s -> "
               f"{sum(figures[2][1:]):.1f} s")


def memory_child(path: Path) -> None:
    """The hidden mode: documents_table of one file in this fresh process, memory as JSON."""
    trim = malloc_trim()

    def settle() -> int:
        import gc

        gc.collect()
        if trim is not None:
            trim(0)
        return proc_status("VmRSS")

    data = path.read_bytes()
    import pyarrow as pa

    # pyarrow's pools and threads start on first use: before the base, so they do not count.
    pa.table(vexdal.documents_table(Path(__file__).parents[1].joinpath(
        "examples", "statement.txt").read_bytes()))
    settle()
    if not reset_peak():
        print(json.dumps({"error": "cannot reset the peak (/proc/self/clear_refs)"}))
        return
    base = proc_status("VmRSS")
    table = vexdal.documents_table(data)
    peak = proc_status("VmHWM") - base
    arrow = pa.table(table)
    peak_arrow = proc_status("VmHWM") - base
    print(json.dumps({"size": len(data), "peak": peak, "peak_pyarrow": peak_arrow,
                      "rows": arrow.num_rows}))


def measure_memory(path: Path, encoding: str) -> list[dict[str, Any]]:
    done = subprocess.run([sys.executable, __file__, "--memory-child", str(path)],
                          capture_output=True, text=True)
    lines = done.stdout.strip().splitlines()
    figures = json.loads(lines[-1]) if done.returncode == 0 and lines else {
        "error": (done.stderr.strip().splitlines() or ["no output"])[-1]}
    if "error" in figures:
        return [row("peak", encoding, None, figures["error"])]
    size = figures["size"]
    return [row("peak", encoding, figures["peak"] / size, f"{figures['peak'] / 1e6:.1f} MB"),
            row("peak, pyarrow", encoding, figures["peak_pyarrow"] / size,
                f"{figures['peak_pyarrow'] / 1e6:.1f} MB")]


def print_rows(rows: list[dict[str, Any]]) -> None:
    print(f"\n{'figure':<18}{'subject':<26}{'value':>8}  {'target':<9}{'':<8}note")
    for r in rows:
        value = "n/a" if r["value"] is None else (
            f"{r['value']:.1f}x" if "speedup" in r["key"] else f"{r['value']:.2f}")
        print(f"{r['key']:<18}{r['subject']:<26}{value:>8}  {r['target']:<9}{r['status']:<8}"
              f"{r['note']}")
    missed = [r for r in rows if r["status"] in ("MISSED", "n/a")]
    print("\nall targets met" if not missed else
          "\nnot met: " + ", ".join(f"{r['key']} ({r['subject']})" for r in missed))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, metavar="N")
    parser.add_argument("--files", type=int, default=1000, metavar="N",
                        help="statements for read_documents (default: 1000)")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--skip-jobs", action="store_true")
    parser.add_argument("--cpu-time", action="store_true",
                        help="time the works but the jobs' by CPU time, not wall time")
    parser.add_argument("--generator", type=Path, default=DEFAULT_GENERATOR, metavar="PATH")
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE, metavar="DIR")
    parser.add_argument("--memory-child", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child is not None:
        memory_child(args.memory_child)
        return 0
    if args.cpu_time:
        measure.clock = time.process_time
    print(f"{datetime.datetime.now():%Y-%m-%d %H:%M}, Python {sys.version.split()[0]}"
          f"{', CPU time' if args.cpu_time else ''}")
    rows: list[dict[str, Any]] = []
    for encoding in ENCODINGS:
        item = generated(args.generator, args.cache, 20_000, encoding)
        data = item.path.read_bytes()
        rows += time_statement(data, encoding, args.repeat)
        if not args.skip_memory:
            rows += measure_memory(item.path, encoding)
    if not args.skip_jobs:
        start = time.perf_counter()
        # Statements of about 1 MB each, the size a folder of daily statements holds.
        rows.append(time_jobs(generated(args.generator, args.cache, 1_000, "cp1251").path,
                              args.files, max(1, args.repeat // 3)))
        print(f"jobs: {time.perf_counter() - start:.0f} s", flush=True)
    print_rows(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())

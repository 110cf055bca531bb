"""The measuring tools the workloads share: timing works side by side, the floor and the
baseline a parse is set against, reading a whole result, the figures with their targets, and
memory measured in a fresh child process."""

from __future__ import annotations

import ctypes
import gc
import json
import resource
import subprocess
import sys
import time
from dataclasses import dataclass
from operator import attrgetter
from pathlib import Path
from typing import Callable

import vexdal_py

# The memory child is the entry script in its hidden --memory-child mode, which calls
# memory_child below: the benchmark stays one script, in the parent and in the child alike.
ENTRY = Path(__file__).resolve().with_name("bench_parse.py")

# Per encoding; None where the figure is reported without a target.
TARGETS = {
    "cp1251": {"parse": 0.25, "read-all": 0.38, "peer": 25.0, "peak": 1.5, "kept": 1.0,
               "kept, raw": None, "kept w/o input": None, "scale": 0.8},
    "utf-8": {"parse": 0.25, "read-all": 0.36, "peer": None, "peak": 1.2, "kept": 0.6,
              "kept, raw": None, "kept w/o input": None, "scale": 0.8},
}
HOSTILE_LIMIT = 2.0
AT_LEAST = {"peer", "scale"}  # the rest are upper bounds
SUMMARY_KEYS = ("parse", "read-all", "peer", "peak", "kept", "scale")

DOCUMENT_FIELDS = attrgetter(
    "doc_number", "doc_type", "doc_date", "amount", "purpose", "payment_type", "ordering",
    "counterparty_inn", "counterparty_kpp", "counterparty_bic", "counterparty_bank1",
    "counterparty_account", "counterparty", "counterparty_1", "counterparty_ras_account",
    "counterparty_cor_account", "outcome_date", "payee_inn", "payee", "payee_account",
    "payee_kpp", "payee_bic", "payee_bank1", "payee_ras_account", "payee_cor_account",
    "income_date")
INTERVAL_FIELDS = attrgetter(
    "date_start", "date_end", "start_amount", "end_amount", "total_income", "total_expense")


# What best_of reads: wall time, or with bench_parse.py --cpu-time the process's CPU time, which
# leaves out the time spent waiting for a core on a machine shared with busy processes.
clock: Callable[[], float] = time.perf_counter


def rounds_of(repeat: int, loops: int, *works: Callable[[], object]) -> list[list[float]]:
    """Seconds per call in each of `repeat` runs of `loops` calls, for each work. The works take
    turns within every run, so a busy machine slows them alike, and the times of one run can be
    set against each other."""
    seconds: list[list[float]] = [[] for _ in works]
    for _ in range(repeat):
        for i, work in enumerate(works):
            gc.collect()
            start = clock()
            for _ in range(loops):
                work()
            seconds[i].append((clock() - start) / loops)
    return seconds


def best_of(repeat: int, loops: int, *works: Callable[[], object]) -> list[float]:
    """Seconds per call of the fastest of `repeat` runs of `loops` calls, for each work."""
    return [min(times) for times in rounds_of(repeat, loops, *works)]


def floor(data: bytes, encoding: str) -> list[str]:
    """The least any Python reader of the format does: decode and split into lines."""
    return data.decode(encoding).splitlines()


def baseline(data: bytes, encoding: str) -> None:
    for line in data.decode(encoding, "replace").splitlines():
        line.partition("=")


def read_all(statement: vexdal_py.Statement) -> None:
    """Touches every field, as a caller that converts the whole result does."""
    for document in statement.documents:
        DOCUMENT_FIELDS(document)
    for account in statement.accounts.values():
        account.number
        for interval in account.intervals:
            INTERVAL_FIELDS(interval)


@dataclass
class Check:
    key: str  # the figure's name, in the table and the summary line
    subject: str  # what it was measured on
    encoding: str
    value: float | None  # None when it could not be measured
    limit: float | None  # None for a figure reported without a target
    note: str = ""
    failed: bool = False  # the statement itself went wrong: counts as missed

    def status(self) -> str:
        if self.failed:
            return "MISSED"
        if self.limit is None:
            return ""
        if self.value is None:
            return "n/a"
        met = self.value >= self.limit if self.key in AT_LEAST else self.value <= self.limit
        return "ok" if met else "MISSED"

    def shown(self, number: float | None) -> str:
        if number is None:
            return "n/a"
        return f"{number:.1f}x" if self.key == "peer" else f"{number:.2f}"

    def target(self) -> str:
        if self.limit is None:
            return ""
        return (">= " if self.key in AT_LEAST else "<= ") + self.shown(self.limit)


def target_check(key: str, subject: str, encoding: str, value: float | None, note: str = "",
                 failed: bool = False) -> Check:
    return Check(key, subject, encoding, value, TARGETS[encoding][key], note, failed)


# ---------------------------------------------------------------------------------------------
# Memory, in a fresh child process per statement


def malloc_trim() -> Callable[[int], int] | None:
    """glibc's malloc_trim, which hands freed heap pages back so that VmRSS shows live memory;
    None where the C library has none (musl, other systems)."""
    try:
        return ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        return None


def proc_status(field: str) -> int:
    """A kB field of /proc/self/status, in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak() -> bool:
    """Sets VmHWM back to the current VmRSS (Linux 4.0 and later); False where not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def noop_hook(section_type: object, attrs: dict, header: dict) -> None:
    """A hook that looks at nothing and changes nothing: what hooks cost in themselves."""


def memory_child(path: Path, hooks: int = 0) -> None:
    """The hidden mode: parses one file in this process, with `hooks` no-op hooks, and prints
    its memory as JSON."""
    trim = malloc_trim()

    def settle() -> int:
        gc.collect()
        if trim is not None:
            trim(0)
        return proc_status("VmRSS")

    without_input = settle()
    data = path.read_bytes()  # before the base: reading is the caller's cost, not the parser's
    settle()
    peak_reset = reset_peak()
    base = proc_status("VmRSS")
    start = time.perf_counter()
    try:
        statement = vexdal_py.parse(data, [noop_hook] * hooks or None)
    except vexdal_py.ParseError as exc:
        print(json.dumps({"error": f"{type(exc).__name__}: {exc}"}))
        return
    seconds = time.perf_counter() - start
    if peak_reset:
        peak = proc_status("VmHWM")
    else:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    kept_untrimmed = proc_status("VmRSS")
    kept = settle()
    del data
    alone = settle()
    print(json.dumps({
        "size": path.stat().st_size, "seconds": seconds, "peak_rise": peak - base,
        "kept_untrimmed": kept_untrimmed - base, "kept": kept - base,
        "kept_alone": alone - without_input, "documents": len(statement.documents),
        "warnings": len(statement.warnings), "peak_reset": peak_reset, "trimmed": bool(trim),
    }))


def measure_memory(path: Path, hooks: int = 0) -> dict:
    """The child's figures for one file, or {"error": ...}."""
    command = [sys.executable, str(ENTRY), "--memory-child", str(path),
               "--memory-hooks", str(hooks)]
    done = subprocess.run(command, capture_output=True, text=True)
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        return {"error": (done.stderr.strip().splitlines() or ["no output"])[-1]}
    return json.loads(lines[-1])


def why_no_memory() -> str:
    """Why memory cannot be measured here, or "" when it can."""
    if not Path("/proc/self/status").exists():
        return "no /proc/self/status (not Linux)"
    return ""


def memory_notes(figures: dict) -> list[str]:
    notes = []
    if not figures.get("peak_reset", True):
        notes.append("/proc/self/clear_refs is not writable: the peak is ru_maxrss, the "
                     "process's lifetime peak")
    if not figures.get("trimmed", True):
        notes.append("no malloc_trim: freed heap pages may still count as kept")
    return notes

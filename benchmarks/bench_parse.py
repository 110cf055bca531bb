"""Measures vexdal_py.parse against plain Python, against a peer parser, and in memory.

Every figure is a ratio of two things measured side by side in one run (best of N,
time.perf_counter or with --cpu-time time.process_time, the works taking turns), so a slower or
busier machine moves both sides of it alike; the milliseconds and MB/s are printed for context
only.

Workloads (--workload, default all):

reference  The statements written by make_statement.py (../shared/bench beside the repository,
           or --generator): 20,000 documents in windows-1251 and in UTF-8, plus 2,000 and
           200,000 for the scaling and memory checks. They are generated once into build/bench/
           (or --cache) and reused. --input FILE, given once or more, uses existing files
           instead: each is timed, the largest of each encoding gets the memory check and the
           smallest and largest of each encoding the scaling check. Then the hostile shapes.
samples    Statements of about 1, 10 and 50 MB (--sizes) that repeat the payment documents of
           the real sample files (../shared/samples or --samples) and examples/statement.txt,
           timed against decoding, splitting into lines and splitting each line at "=".

Reference checks, each printed with its target and "ok" or "MISSED":

  parse / floor        parse(data) over the floor, data.decode(enc).splitlines()   <= 0.25
  read-all / floor     parse(data), then every attribute of every document and of
                       every account's intervals, over the floor     <= 0.38 cp1251, 0.36 utf-8
  read-keep            parse(data), then every value kept (a list of the 26 values per
                       document), over the floor                     <= 0.65 cp1251, 0.60 utf-8
  read/C floor         every attribute of every document read by a C loop (parse not
                       counted), over the least CPython needs for the same: each of the
                       same strings made from its bytes by CPython's own decoders (UTF-8,
                       or the code page's charmap for non-ASCII windows-1251) plus as many
                       lookups of slots; both sides in benchmarks/strings_floor.c, built
                       into the cache with the interpreter's C compiler            <= 1.15
  daily                parse() of one account given as 3,650 and 60,000 account sections
                       of eight keys (one a day, no documents), over the floor, best of
                       --repeat or 25 runs, whichever is more                         <= 0.25
  peer                 client_bank_1c.load() time over parse() time, windows-1251 only
                       (best of --peer-repeat, default 3, as the peer is slow)          >= 25x
  peak                 peak memory rise during parse(), over the input size
                       (200,000 documents)                            <= 1.5 cp1251, 1.2 utf-8
  kept                 memory the result holds after parse() returns, the caller still
                       holding its input, over the input size         <= 1.0 cp1251, 0.6 utf-8
  kept w/o input       the result's memory once the caller has dropped its input (no target;
                       a result that refers to the input bytes keeps them alive)
  scale                MB/s on 200,000 documents over MB/s on 2,000                    >= 0.8
  hostile              peak memory rise beyond what the result keeps, over the input size,
                       for one document section holding 50 MB of "=" lines, of "a=1" lines
                       or of blank lines, each with windows-1251 and with UTF-8 markers
                       around it; with --huge also a 1 GiB statement per encoding       <= 2
                       The one document must still come out whole and without a warning;
                       the parse is also timed against the floor (no target).

Hook checks, on the same reference statements, each against its target:

  hook                 parse(data, [no-op hook]) over the floor                       <= 0.6
  hooks x10            ten no-op hooks over the floor                                 <= 2.0
  replace              parse() with a hook that puts a new str in place of every value
                       ("".join([v, "x"])[:-1]), less the same hook run over the same
                       sections in plain Python (fresh dicts per call), over the floor:
                       the median over the runs (at least 15) of that difference within
                       each run                   <= the "hook" figure, as a median too
  hostile header       one hook on the statement with 2,000 blank lines and the same header
                       line 2,000 times, over one hook on the statement as it is      <= 1.3
  hooks peak           peak memory rise with ten no-op hooks less the rise without hooks,
                       over the input size (the memory statement)                     <= 0.1

Memory is measured in a fresh child process per statement (this script in a hidden mode),
because the parser's C++ allocations are invisible to tracemalloc. The child takes VmRSS
(from /proc/self/status), reads the input, collects garbage and calls glibc's malloc_trim(0),
resets the kernel's peak mark (writing 5 to /proc/self/clear_refs sets VmHWM to VmRSS) and
takes VmRSS as the base. After parse(), VmHWM less the base is the peak rise. Another collect
and trim, and VmRSS less the base is what the result keeps (the figure as it stood before the
trim, which counts heap pages the allocator kept back, is shown as "kept, raw"). Then the input
is dropped, and VmRSS against the very first figure is what the result keeps alone. Without a
writable clear_refs the peak is ru_maxrss, the child's lifetime peak, with a note.

usage: python benchmarks/bench_parse.py [--workload reference|hooks|samples|all] [--input FILE ...]
           [--repeat N] [--peer-repeat N] [--quick] [--huge] [--skip-memory] [--cpu-time]
           [--samples DIR] [--sizes 1,10,50] [--generator PATH] [--cache DIR]

--quick uses 2,000/20,000 documents for scaling and memory, 5 MB hostile shapes and 1 MB
samples. --cpu-time times each work by the process's CPU time instead of wall time: on a machine
shared with busy processes, wall time also counts the waits for a core. --huge adds the 1 GiB
statements (generating them takes minutes and several GB of memory; they are cached).
--skip-memory runs no child processes. The hostile statements are written into the cache folder
too. The peer comes with pip install '.[bench]'.

The run ends with the table of figures against their targets and one summary line that gives
the least favourable value of each figure per encoding and says whether every target was met.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import sys
import time
from importlib import metadata
from pathlib import Path
from typing import Callable

import measure
import vexdal_py

try:
    import client_bank_1c  # the peer parser, from the "bench" extra
except ImportError:
    client_bank_1c = None

from measure import (AT_LEAST, HOSTILE_LIMIT, SUMMARY_KEYS, Check, baseline, best_of, floor,
                     measure_memory, memory_child, memory_notes, noop_hook, read_all, rounds_of,
                     target_check, why_no_memory)
from reads import reads_summary, run_daily, run_reads
from statements import (DEFAULT_CACHE, DEFAULT_GENERATOR, DEFAULT_SAMPLES, DOCUMENT, ENCODINGS,
                        EXAMPLE, FULL, HUGE_DOCS, MB, QUICK, Input, Plan, Sizes, build_input,
                        collect_documents, generated, generated_plans, given_plans,
                        hostile_inputs, hostile_problem, largest_sample, read_text)

HOSTILE_REPEAT = 3


# ---------------------------------------------------------------------------------------------
# Reference statements: timing, scaling and memory


def peer_speedup(data: bytes, encoding: str, repeat: int) -> tuple[float | None, str]:
    """How many times faster parse() is than the peer on the same bytes, or None and why not."""
    if encoding != "cp1251":
        return None, "the peer reads windows-1251 only"
    if client_bank_1c is None:
        return None, "client_bank_1c is not installed: pip install '.[bench]'"
    try:
        documents = len(client_bank_1c.load(data).documents)
    except Exception as exc:  # the peer asserts on what it does not expect
        return None, f"the peer fails: {type(exc).__name__}: {exc}"
    parse_s, peer_s = best_of(repeat, 1, lambda: vexdal_py.parse(data),
                              lambda: client_bank_1c.load(data))
    return peer_s / parse_s, (f"peer {peer_s * 1e3:.0f} ms for {documents:,} docs, "
                              f"parse {parse_s * 1e3:.1f} ms")


def count_problem(documents: int, warnings: int, expected: int | None) -> str:
    """Why a reference statement did not parse as generated, or ""."""
    if warnings:
        return f"{warnings} warnings"
    if expected is not None and documents != expected:
        return f"{documents} documents, {expected} expected"
    return ""


def time_statement(item: Input, repeat: int, peer_repeat: int) -> list[Check]:
    data = item.path.read_bytes()
    statement = vexdal_py.parse(data)
    problem = count_problem(len(statement.documents), len(statement.warnings), item.documents)
    del statement
    floor_s, parse_s, read_s = best_of(repeat, 1, lambda: floor(data, item.encoding),
                                       lambda: vexdal_py.parse(data),
                                       lambda: read_all(vexdal_py.parse(data)))
    speedup, peer_note = peer_speedup(data, item.encoding, peer_repeat)
    size = len(data) / MB
    print(f"{item.label:<30}{size:>8.2f}{floor_s * 1e3:>11.1f}{parse_s * 1e3:>11.1f}"
          f"{size / parse_s:>9.1f}{read_s * 1e3:>13.1f}   {peer_note}")
    return [target_check("parse", item.label, item.encoding, parse_s / floor_s, problem,
                         failed=bool(problem)),
            target_check("read-all", item.label, item.encoding, read_s / floor_s),
            target_check("peer", item.label, item.encoding, speedup,
                         "" if speedup is not None else peer_note)]


def parse_repeatedly(data: bytes, times: int) -> None:
    for _ in range(times):
        vexdal_py.parse(data)  # each result goes before the next parse, as in a loop over files


def time_scaling(encoding: str, small: Input, large: Input, repeat: int) -> Check:
    """Throughput on the large statement over throughput on the small one. The small one is
    parsed several times per run so that each run lasts long enough to time fairly."""
    small_data, large_data = small.path.read_bytes(), large.path.read_bytes()
    loops = max(1, len(large_data) // (4 * len(small_data)))
    small_s, large_s = best_of(repeat, 1, lambda: parse_repeatedly(small_data, loops),
                               lambda: vexdal_py.parse(large_data))
    small_rate = len(small_data) / MB / (small_s / loops)
    large_rate = len(large_data) / MB / large_s
    if small.documents is None or large.documents is None:
        subject = f"{small.path.name} -> {large.path.name}"
    else:
        subject = f"{encoding}, {small.documents:,} -> {large.documents:,} docs"
    print(f"{subject:<50}{small_rate:>10.1f}{large_rate:>10.1f}")
    return target_check("scale", subject, encoding, large_rate / small_rate)


def memory_checks(item: Input) -> list[Check]:
    figures = measure_memory(item.path)
    if "error" in figures:
        print(f"{item.label:<30} failed: {figures['error']}")
        return [target_check("peak", item.label, item.encoding, None, figures["error"],
                             failed=True)]
    size = figures["size"]
    print(f"{item.label:<30}{size / MB:>8.1f}{figures['seconds']:>9.2f}"
          + "".join(f"{figures[k] / MB:>12.1f}"
                    for k in ("peak_rise", "kept_untrimmed", "kept", "kept_alone")))
    problem = count_problem(figures["documents"], figures["warnings"], item.documents)
    notes = "; ".join(memory_notes(figures) + ([problem] if problem else []))
    return [target_check("peak", item.label, item.encoding, figures["peak_rise"] / size, notes,
                         failed=bool(problem)),
            target_check("kept", item.label, item.encoding, figures["kept"] / size),
            target_check("kept, raw", item.label, item.encoding,
                         figures["kept_untrimmed"] / size, "before malloc_trim"),
            target_check("kept w/o input", item.label, item.encoding,
                         figures["kept_alone"] / size, "the result alone")]


def run_reading(plans: list[Plan], args: argparse.Namespace) -> list[Check]:
    """Reading the result of the timed statements, and the daily account sections."""
    timed = [(item.label, item.path.read_bytes(), item.encoding)
             for plan in plans for item in plan.timed]
    checks = run_reads(timed, args.repeat, args.cache)
    del timed
    return checks + run_daily(args.repeat)


def run_reference(plans: list[Plan], args: argparse.Namespace) -> list[Check]:
    checks: list[Check] = []
    print(f"\nreference statements: best of {args.repeat}, the peer best of {args.peer_repeat}")
    print(f"{'statement':<30}{'MB':>8}{'floor ms':>11}{'parse ms':>11}{'MB/s':>9}"
          f"{'read-all ms':>13}   peer")
    for plan in plans:
        for item in plan.timed:
            checks += time_statement(item, args.repeat, args.peer_repeat)
    checks += run_reading(plans, args)
    print(f"\nscaling: parse MB/s, best of {args.repeat}")
    print(f"{'statements':<50}{'small':>10}{'large':>10}")
    for plan in plans:
        if plan.scaling is None:
            print(f"{plan.encoding}: needs two --input files of different sizes")
            checks.append(target_check("scale", plan.encoding, plan.encoding, None,
                                       "needs two --input files of different sizes"))
        else:
            checks.append(time_scaling(plan.encoding, *plan.scaling, args.repeat))
    if not args.skip_memory and not why_no_memory():
        print("\nmemory during and after parse(), MB, each in a fresh process")
        print(f"{'statement':<30}{'MB':>8}{'parse s':>9}{'peak rise':>12}"
              f"{'kept, raw':>12}{'kept':>12}{'w/o input':>12}")
        for plan in plans:
            checks += memory_checks(plan.memory)
    return checks


# ---------------------------------------------------------------------------------------------
# Hostile shapes: each checked, timed against the floor and measured in memory


def time_against_floor(data: bytes, encoding: str, repeat: int) -> tuple[float, float]:
    floor_s, parse_s = best_of(repeat, 1, lambda: floor(data, encoding),
                               lambda: vexdal_py.parse(data))
    return floor_s, parse_s


def statement_problem(item: Input, statement: vexdal_py.Statement) -> str:
    """What is wrong with the parse of a hostile or huge statement, or ""."""
    if item.documents is None:
        return hostile_problem(statement, item.encoding)
    return count_problem(len(statement.documents), len(statement.warnings), item.documents)


def hostile_check(label: str, item: Input, skip_memory: bool) -> Check:
    """Checks and times one hostile statement against the floor, then measures its memory in a
    child process."""
    data = item.path.read_bytes()
    try:
        problem = statement_problem(item, vexdal_py.parse(data))
    except vexdal_py.ParseError as exc:
        problem = f"{type(exc).__name__}: {exc}"
    if problem:
        print(f"{label:<34}{len(data) / MB:>8.1f}   {problem}")
        return Check("hostile", label, item.encoding, None, HOSTILE_LIMIT, problem, failed=True)
    repeat = HOSTILE_REPEAT if item.documents is None else 1  # a 1 GiB floor takes a while
    floor_s, parse_s = time_against_floor(data, item.encoding, repeat)
    del data  # the child reads its own copy; two would crowd a 1 GiB run
    line = f"{label:<34}{item.size / MB:>8.1f}{parse_s * 1e3:>11.1f}{parse_s / floor_s:>9.2f}"
    if skip_memory:
        print(line)
        return Check("hostile", label, item.encoding, None, HOSTILE_LIMIT, "memory not measured")
    figures = measure_memory(item.path)
    if "error" in figures:
        print(line + f"   {figures['error']}")
        return Check("hostile", label, item.encoding, None, HOSTILE_LIMIT, figures["error"],
                     failed=True)
    transient = figures["peak_rise"] - figures["kept"]
    print(line + f"{figures['peak_rise'] / MB:>12.1f}{figures['kept'] / MB:>10.1f}")
    return Check("hostile", label, item.encoding, transient / figures["size"], HOSTILE_LIMIT,
                 "; ".join(memory_notes(figures)))


def run_hostile(args: argparse.Namespace, sizes: Sizes) -> list[Check]:
    cases = hostile_inputs(args.cache, sizes.hostile)
    if args.huge:
        if args.generator.exists():
            cases += [(f"1 GiB statement, {encoding}",
                       generated(args.generator, args.cache, HUGE_DOCS[encoding], encoding))
                      for encoding in ENCODINGS]
        else:
            print(f"note: no 1 GiB statements: {args.generator} not found")
    skip_memory = args.skip_memory or bool(why_no_memory())
    memory = "" if skip_memory else "; memory in a fresh process, MB"
    print(f"\nhostile statements: parse best of {HOSTILE_REPEAT} (1 GiB: once) against the floor"
          + memory)
    print(f"{'statement':<34}{'MB':>8}{'parse ms':>11}{'/ floor':>9}"
          + ("" if skip_memory else f"{'peak rise':>12}{'kept':>10}"))
    return [hostile_check(label, item, skip_memory) for label, item in cases]


# ---------------------------------------------------------------------------------------------
# Hooks: what hooks add to a parse, in time and in memory

HOOK_TARGETS = {"hook": 0.6, "hooks x10": 2.0, "hostile header": 1.3, "hooks peak": 0.1}
# The hook rows take at least this many runs: the replacing row is a median over them.
HOOK_ROUNDS = 15
HOOK_KEYS = ("hook", "hooks x10", "replace", "hostile header", "hooks peak")
HOSTILE_HEADER_LINES = 2_000


def replacing_hook(section_type: object, attrs: dict, header: dict) -> None:
    """Puts a new str in place of every value, the same text made anew."""
    for key, value in attrs.items():
        attrs[key] = "".join([value, "x"])[:-1]


def sections_seen(data: bytes) -> list[tuple[object, dict, dict]]:
    """What a hook is given for each section of the statement, in dicts of its own."""
    seen: list[tuple[object, dict, dict]] = []
    vexdal_py.parse(data, [lambda kind, attrs, header: seen.append((kind, dict(attrs),
                                                                     dict(header)))])
    return seen


def run_plain(hook: Callable[[object, dict, dict], None],
              seen: list[tuple[object, dict, dict]]) -> None:
    """The hook run over the same sections in plain Python, with fresh dicts for each call as
    parse() hands them out."""
    for kind, attrs, header in seen:
        hook(kind, dict(attrs), dict(header))


def hostile_header(data: bytes, encoding: str) -> bytes:
    """The statement with 2,000 blank lines and the same header line 2,000 times after its
    first line."""
    first, rest = data.split(b"\n", 1)
    eol = b"\r\n" if first.endswith(b"\r") else b"\n"
    line = "Отправитель=Бухгалтерия".encode(encoding) + eol
    return first + b"\n" + (eol + line) * HOSTILE_HEADER_LINES + rest


def hook_check(key: str, item: Input, value: float | None, note: str = "",
               limit: float | None = None) -> Check:
    return Check(key, item.label, item.encoding, value,
                 HOOK_TARGETS[key] if limit is None else limit, note)


def time_hooks(item: Input, repeat: int) -> list[Check]:
    data = item.path.read_bytes()
    hostile = hostile_header(data, item.encoding)
    seen = sections_seen(data)
    one, ten, replacing = [noop_hook], [noop_hook] * 10, [replacing_hook]
    # The sections kept for the plain run are the benchmark's, not a parse's: frozen, they are
    # not walked by the collections that the works' own objects set off.
    gc.freeze()
    try:
        rounds = rounds_of(
            max(repeat, HOOK_ROUNDS), 1, lambda: floor(data, item.encoding),
            lambda: vexdal_py.parse(data), lambda: vexdal_py.parse(data, one),
            lambda: vexdal_py.parse(data, ten), lambda: vexdal_py.parse(data, replacing),
            lambda: run_plain(replacing_hook, seen), lambda: vexdal_py.parse(hostile, one))
    finally:
        gc.unfreeze()
    floor_s, parse_s, one_s, ten_s, replace_s, plain_s, hostile_s = map(min, rounds)
    # A difference of two long works: the best of each would set one run's luck against
    # another's, so it is taken within each run, over that run's floor, and the median kept. Its
    # target, the no-op hook, is then taken the same way.
    beyond = statistics.median((replace - plain) / floor_
                               for floor_, replace, plain in zip(rounds[0], rounds[4], rounds[5]))
    one_median = statistics.median(one / floor_ for floor_, one in zip(rounds[0], rounds[2]))
    print(f"{item.label:<30}{floor_s * 1e3:>9.1f}" + "".join(
        f"{x:>9.2f}" for x in (parse_s / floor_s, one_s / floor_s, ten_s / floor_s,
                               replace_s / floor_s, plain_s / floor_s, beyond,
                               hostile_s / one_s)))
    return [hook_check("hook", item, one_s / floor_s, "one no-op hook, over the floor"),
            hook_check("hooks x10", item, ten_s / floor_s, "ten no-op hooks, over the floor"),
            hook_check("replace", item, beyond, "replacing hook less the same in plain Python, "
                       "over the floor; target: the no-op hook, both medians of the runs",
                       limit=one_median),
            hook_check("hostile header", item, hostile_s / one_s,
                       "one hook, hostile header over plain header")]


def hook_memory_check(item: Input) -> Check:
    """The peak rise with ten no-op hooks beyond the peak rise without, over the input size."""
    bare, hooked = measure_memory(item.path), measure_memory(item.path, hooks=10)
    error = bare.get("error") or hooked.get("error")
    if error:
        print(f"{item.label:<30} failed: {error}")
        return Check("hooks peak", item.label, item.encoding, None, HOOK_TARGETS["hooks peak"],
                     error, failed=True)
    size = bare["size"]
    print(f"{item.label:<30}{size / MB:>8.1f}{bare['peak_rise'] / MB:>12.1f}"
          f"{hooked['peak_rise'] / MB:>12.1f}{hooked['seconds']:>9.2f}")
    return hook_check("hooks peak", item, (hooked["peak_rise"] - bare["peak_rise"]) / size,
                      "; ".join(memory_notes(hooked) + ["ten no-op hooks, beyond none"]))


def run_hook_rows(plans: list[Plan], args: argparse.Namespace) -> list[Check]:
    print(f"\nhooks: best of {max(args.repeat, HOOK_ROUNDS)}, over the floor (hostile header: over "
          "one hook)")
    print(f"{'statement':<30}{'floor ms':>9}{'no hook':>9}{'1 no-op':>9}{'10 no-op':>9}"
          f"{'replace':>9}{'plain':>9}{'beyond':>9}{'header':>9}")
    checks = [check for plan in plans for item in plan.timed
              for check in time_hooks(item, args.repeat)]
    if not args.skip_memory and not why_no_memory():
        print("\nmemory with hooks, MB, each in a fresh process")
        print(f"{'statement':<30}{'MB':>8}{'no hook':>12}{'10 no-op':>12}{'10 s':>9}")
        checks += [hook_memory_check(plan.memory) for plan in plans]
    return checks


def hook_summary(checks: list[Check]) -> list[str]:
    parts = []
    for encoding in ENCODINGS:
        mine = [c for c in checks if c.encoding == encoding and c.key in HOOK_KEYS]
        if not mine:
            continue
        figures = {key: worst([c for c in mine if c.key == key]) for key in HOOK_KEYS}
        parts.append(f"{encoding} hooks 1x {figures['hook']} 10x {figures['hooks x10']} "
                     f"replace {figures['replace']} header {figures['hostile header']} "
                     f"mem {figures['hooks peak']}")
    return parts


# ---------------------------------------------------------------------------------------------
# Samples workload: big statements of real documents, timed against the baseline


def report(label: str, data: bytes, encoding: str, repeat: int, loops: int = 1) -> None:
    parse_s, base_s = best_of(repeat, loops, lambda: vexdal_py.parse(data),
                              lambda: baseline(data, encoding))
    size = len(data) / MB
    print(f"{label:<34}{size:>8.2f} MB"
          f"{parse_s * 1e3:>11.2f} ms{size / parse_s:>9.1f} MB/s"
          f"{base_s * 1e3:>11.2f} ms{size / base_s:>9.1f} MB/s"
          f"{base_s / parse_s:>9.2f}x")


def run_samples(args: argparse.Namespace) -> None:
    sizes = [float(s) for s in args.sizes.split(",") if s]
    samples = sorted(args.samples.glob("*.txt")) if args.samples.is_dir() else []
    if not samples:
        print(f"note: no sample statements in {args.samples}; using {EXAMPLE.name} alone")
    blocks = collect_documents([EXAMPLE] + samples)
    if not blocks:
        print("note: samples workload skipped: no document section builds on its own")
        return
    head = read_text(EXAMPLE)
    head = head[: DOCUMENT.search(head).start()]

    print(f"\nsamples: {len(blocks)} distinct documents from {1 + len(samples)} files, "
          f"against decode + split + partition; best of {args.repeat}")
    print(f"{'input':<34}{'size':>11}{'parse':>14}{'':>14}{'baseline':>14}{'':>14}"
          f"{'speed-up':>10}")
    for size in sizes:
        for encoding in ENCODINGS:
            data, count = build_input(head, blocks, encoding, int(size * MB))
            report(f"{encoding}, {count} documents", data, encoding, args.repeat)
            del data

    sample = largest_sample(samples)
    if sample is not None:
        print("largest sample that parses:")
        data = sample.read_bytes()
        encoding = vexdal_py.parse(data).encoding
        # A file this small is over in microseconds: many calls per run make the clock fair.
        report(f"{sample.name[:33]}", data, encoding, args.repeat, loops=max(1, MB // len(data)))


# ---------------------------------------------------------------------------------------------
# Report


def proc_field(path: str, name: str) -> str | None:
    """The value of a "name: value" line of a /proc file, where there is one."""
    try:
        lines = Path(path).read_text().splitlines()
    except OSError:
        return None
    return next((line.split(":", 1)[1].strip() for line in lines
                 if line.split(":", 1)[0].strip() == name), None)


def machine() -> str:
    """The machine, so that a set of figures can be told apart from another machine's."""
    cpu = proc_field("/proc/cpuinfo", "model name") or platform.processor() or "unknown CPU"
    ram = proc_field("/proc/meminfo", "MemTotal")  # "24683772 kB"
    ram = f", {int(ram.split()[0]) / (1 << 20):.1f} GiB RAM" if ram else ""
    load = "/".join(f"{x:.2f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "?"
    return (f"{platform.python_implementation()} {platform.python_version()} on "
            f"{platform.machine()}, {cpu}, {os.cpu_count()} cores{ram}; load {load}")


def versions() -> str:
    def version(distribution: str) -> str:
        try:
            return metadata.version(distribution)
        except metadata.PackageNotFoundError:
            return "?"
    peer = (f"client_bank_1c {version('client-bank-1c')}" if client_bank_1c is not None
            else "client_bank_1c not installed (pip install '.[bench]')")
    return f"vexdal_py {version('vexdal_py')} from {vexdal_py.__file__}; peer: {peer}"


def print_checks(checks: list[Check]) -> None:
    print(f"\n{'figure':<16}{'statement':<36}{'measured':>10}{'target':>10}  {'':<7}note")
    for check in checks:
        value = "-" if check.failed and check.value is None else check.shown(check.value)
        print(f"{check.key:<16}{check.subject[:35]:<36}{value:>10}{check.target():>10}  "
              f"{check.status():<7}{check.note}")


def worst(checks: list[Check]) -> str:
    """The least favourable value of one figure, for the summary line."""
    if not checks:
        return "-"
    values = [c.value for c in checks if c.value is not None]
    if not values:
        return "n/a"
    key = checks[0].key
    return checks[0].shown(min(values) if key in AT_LEAST else max(values))


def summary(checks: list[Check]) -> str:
    parts = []
    for encoding in ENCODINGS:
        mine = [c for c in checks if c.encoding == encoding and c.key in SUMMARY_KEYS]
        if not mine:
            continue
        figures = {key: worst([c for c in mine if c.key == key]) for key in SUMMARY_KEYS}
        parts.append(f"{encoding} parse {figures['parse']} read-all {figures['read-all']} "
                     f"peer {figures['peer']} mem {figures['peak']}/{figures['kept']} "
                     f"scale {figures['scale']}")
    parts += reads_summary(checks, worst)
    hostile = [c for c in checks if c.key == "hostile"]
    if hostile:
        parts.append(f"hostile max {worst(hostile)}")
    parts += hook_summary(checks)
    targeted = [c for c in checks if c.limit is not None or c.failed]
    missed = sum(c.status() == "MISSED" for c in targeted)
    unmeasured = sum(c.status() == "n/a" for c in targeted)
    if missed:
        verdict = f"{missed} of {len(targeted)} targets MISSED"
    else:
        verdict = "all measured targets met" if unmeasured else "all targets met"
    if unmeasured:
        verdict += f" ({unmeasured} not measured)"
    return "summary: " + " | ".join(parts + [verdict if targeted else "no targets checked"])


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workload", choices=("reference", "hooks", "samples", "all"),
                        default="all", help="what to run (default: all; hooks: the hook rows "
                        "alone, on the reference statements)")
    parser.add_argument("--input", type=Path, action="append", default=[], metavar="FILE",
                        help="an existing reference statement (repeatable); nothing is generated")
    parser.add_argument("--repeat", type=int, default=7, metavar="N",
                        help="runs per timing, the best counts (default: 7)")
    parser.add_argument("--peer-repeat", type=int, default=3, metavar="N",
                        help="runs of the slow peer (default: 3)")
    parser.add_argument("--quick", action="store_true", help="smaller statements, a smoke run")
    parser.add_argument("--huge", action="store_true", help="add 1 GiB statements")
    parser.add_argument("--skip-memory", action="store_true", help="no memory measurements")
    parser.add_argument("--cpu-time", action="store_true",
                        help="time by the process's CPU time, on a machine shared with others")
    parser.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES, metavar="DIR",
                        help="folder of real statements (default: %(default)s)")
    parser.add_argument("--sizes", metavar="MB,...",
                        help="samples workload sizes in MB (default: 1,10,50; with --quick: 1)")
    parser.add_argument("--generator", type=Path, default=DEFAULT_GENERATOR, metavar="PATH",
                        help="make_statement.py (default: %(default)s)")
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE, metavar="DIR",
                        help="where generated statements are kept (default: %(default)s)")
    parser.add_argument("--memory-child", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--memory-hooks", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.sizes is None:
        args.sizes = "1" if args.quick else "1,10,50"
    return args


def main() -> int:
    args = parse_args()
    if args.memory_child is not None:
        memory_child(args.memory_child, args.memory_hooks)
        return 0
    sizes = QUICK if args.quick else FULL
    if args.cpu_time:
        measure.clock = time.process_time
    print(machine())
    print(versions())
    if args.skip_memory:
        print("note: memory not measured (--skip-memory)")
    elif why_no_memory():
        print(f"note: memory not measured: {why_no_memory()}")

    if args.workload in ("samples", "all"):
        run_samples(args)
    checks: list[Check] = []
    if args.workload in ("reference", "hooks", "all"):
        if args.input:
            plans = given_plans(args.input)
        elif args.generator.exists():
            plans = generated_plans(args.generator, args.cache, sizes)
        else:
            plans = []
            print(f"note: reference statements skipped: {args.generator} not found "
                  f"(give --input FILE or --generator PATH)")
        if plans and args.workload != "hooks":
            checks += run_reference(plans, args)
        if plans:
            checks += run_hook_rows(plans, args)
        if args.workload != "hooks":
            checks += run_hostile(args, sizes)
        print_checks(checks)
    print(summary(checks))
    return 0


if __name__ == "__main__":
    sys.exit(main())

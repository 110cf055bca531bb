#!/usr/bin/env python3
"""Mutation testing of src/parser: universalmutator writes the mutants of each source file, a
sample of them (a fixed seed, a share of each file's mutants) is built one at a time into the C++
core test, and a mutant the core test lets live is tried against the Python suite. A mutant that
does not compile is not counted. Ends with `mutants: K of N killed (P%), E equivalent left out`.

A mutant that no test can kill, since the program behaves the same (a `break` after a `return`,
a hash's mixing, a branch this build does not compile), is left out of N only when a person has
judged it so in tools/mutants-equivalent.txt: each entry names the file and the mutated lines with
some of the unchanged ones around them, as the text is, not by line numbers that shift, with the
reason. A listed mutant is neither built nor run. So is one that only comments out a comment.

A mutant of utf8.cpp, lines.cpp or documents.cpp that the core test lets live is then run in the
builds of it that tools/kernels.sh makes for the paths this processor does not take: the SSE2
kernel forced with the span limit lowered (the UTF-8 check a processor with AVX2 never runs, the
views kept apart for distant texts), and the scalar kernel forced (the line finder without SSE2).

The Python suite runs with -x over the mutated vexdal_py and vexdal._columns, laid out as the
wheel installs them (build/mutants/site), its files in the order that stops a mutant soonest (the
value and line tests first). tests/test_typing.py is left out: it checks the stubs and the typed
API, which no change in src/parser touches, and is a fifth of the suite's time. The suite must
pass on the unmutated build first; a mutant that runs past three times that run's time (at least
two minutes) is counted as killed, as one that hangs.

  tools/mutants.py [--count N] [--seed S] [--budget SECONDS] [--no-python] [FILE ...]
  tools/mutants.py --mutants NAME ...   (only these, e.g. utf8.mutant.855.cpp from a run's list)

Works in build/mutants: a copy of the tree (the worktree is never touched), a ninja build of the
core test and one of the modules over that copy, so that each mutant recompiles one object file.
Needs universalmutator (pip install universalmutator), cmake, ninja and a C++ compiler; the Python
suite runs under the interpreter that runs this script, which must have pytest and hypothesis.
"""

import argparse
import difflib
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "mutants"
TREE = WORK / "tree"
# The copy runs the same tests on the same data as the worktree.
CORE_ARGS = [str(ROOT / "tests" / "data"), str(ROOT / "examples" / "statement.txt")]
SITE = WORK / "site"
# The likeliest killers first, so that -x ends a killed mutant's run early; then the rest.
FIRST = ["test_values.py", "test_lines.py", "test_sections.py", "test_documents.py",
         "test_accounts.py", "test_module.py", "test_input.py", "test_samples.py",
         "test_robustness.py"]
LEFT_OUT = ["test_typing.py"]
EQUIVALENT = ROOT / "tools" / "mutants-equivalent.txt"
# The first builds of the tree run this many jobs; on a shared machine set it to 1.
JOBS = "-j" + os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
# The builds a mutant that lives through the core test meets next, each for the files whose
# paths it forces; a mutant of any other file runs the same code in them as in the core test.
FORCED = {
    "core-sse2": (["-DVEXDAL_FORCE_KERNEL=sse2", "-DVEXDAL_SPAN_LIMIT=400"],
                  {"utf8.cpp", "documents.cpp"}),
    "core-scalar": (["-DVEXDAL_FORCE_KERNEL=scalar"], {"utf8.cpp", "lines.cpp"}),
}


def read_equivalents(path):
    """[(file, [(tag, text)], reason)]: a line `src/parser/FILE.cpp: reason` opens an entry, and
    its indented lines follow, each `= text` (unchanged), `- text` (the original) or `+ text` (the
    mutant's), spaces at either end of a text not counting. # starts a comment line."""
    entries = []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        if not line[0].isspace():
            name, _, reason = line.partition(": ")
            if not name.startswith("src/parser/") or not reason.strip():
                sys.exit(f"mutants: {path.name}:{number}: expected `src/parser/FILE: reason`")
            entries.append((name, [], reason.strip()))
            continue
        tag, text = line.strip()[:1], line.strip()[1:].strip()
        if not entries or tag not in "=-+":
            sys.exit(f"mutants: {path.name}:{number}: expected `= text`, `- text` or `+ text`")
        entries[-1][1].append((tag, text))
    return entries


def change_of(original, mutant):
    """The mutant's one change as [(tag, text)], two unchanged lines either side, texts stripped."""
    lines = []
    for line in difflib.unified_diff(original.splitlines(), mutant.splitlines(), n=2,
                                     lineterm=""):
        if line.startswith(("---", "+++", "@@")):
            continue
        lines.append({" ": "=", "-": "-", "+": "+"}[line[0]] + line[1:].strip())
    return [(line[0], line[1:]) for line in lines]


def listed(entries, name, change):
    """The listed entry that names this change: its lines stand together in the change and hold
    every line the mutant changed."""
    changed = sum(1 for tag, _ in change if tag != "=")
    for file, lines, reason in entries:
        if file != name or sum(1 for tag, _ in lines if tag != "=") != changed:
            continue
        for start in range(len(change) - len(lines) + 1):
            if change[start:start + len(lines)] == lines:
                return reason
    return None


def comments_only(change):
    """A mutant that changes comment lines only, such as one that puts /* */ around a // line:
    the compiler drops both alike, so it is the program unchanged."""
    return all(text.startswith(("//", "/*//")) for tag, text in change if tag != "=")


def suite_files():
    names = sorted(path.name for path in (ROOT / "tests").glob("test_*.py"))
    rest = [name for name in names if name not in FIRST and name not in LEFT_OUT]
    return [str(ROOT / "tests" / name) for name in FIRST + rest]


def lay_out_site(module):
    """vexdal_py, its stubs and the vexdal package with its _columns, where the wheel puts them,
    the extensions linked to the module build so that each rebuild is the one imported."""
    if SITE.exists():
        shutil.rmtree(SITE)
    SITE.mkdir(parents=True)
    for package in ("vexdal", "vexdal_py-stubs"):
        shutil.copytree(TREE / "python" / package, SITE / package)
    for extension in module.glob("vexdal_py.*.so"):
        (SITE / extension.name).symlink_to(extension)
    for extension in module.glob("_columns.*.so"):
        (SITE / "vexdal" / extension.name).symlink_to(extension)


def run(command, timeout=None, **kwargs):
    try:
        return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout, **kwargs).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def copy_tree():
    if TREE.exists():
        shutil.rmtree(TREE)
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        target = TREE / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, target)


def configure(build, *options):
    # -O1: each mutant is compiled once and run for a second or two, so compile time counts most.
    subprocess.run(["cmake", "-S", str(TREE), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG",
                    *options], check=True, stdout=subprocess.DEVNULL)


def generate(source):
    """The mutant files universalmutator writes for one source file, in its order."""
    out = WORK / "generated" / source.stem
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    subprocess.run([shutil.which("mutate") or str(Path(sys.executable).parent / "mutate"),
                    str(source), "cpp", "--noCheck", "--mutantDir", str(out)],
                   check=True, stdout=subprocess.DEVNULL, cwd=WORK)
    return sorted(out.glob(f"{source.stem}.mutant.*.cpp"),
                  key=lambda path: int(path.name.split(".")[-2]))


def describe(original, mutant):
    for line in difflib.unified_diff(original.splitlines(), mutant.splitlines(), n=0,
                                     lineterm=""):
        if line.startswith("@@"):
            lineno = line.split()[1].lstrip("-").split(",")[0]
        elif line.startswith("+") and not line.startswith("+++"):
            return int(lineno), line[1:].strip()
    return 0, ""


def python_suite(timeout):
    return run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                *suite_files()], timeout=timeout, cwd=ROOT,
               env={**os.environ, "PYTHONPATH": str(SITE)})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=200,
                        help="mutants that compile to test, shared among the files in "
                             "proportion to their mutants (default 200)")
    parser.add_argument("--seed", type=int, default=19)
    parser.add_argument("--budget", type=float, default=0,
                        help="seconds after which no more mutants are started (default: none)")
    parser.add_argument("--no-python", action="store_true",
                        help="count the core test's survivors as survivors")
    parser.add_argument("--mutants", nargs="+", metavar="NAME", default=[],
                        help="test only these mutants (names as a run lists them), each once")
    parser.add_argument("files", nargs="*", help="files of src/parser (default: every .cpp)")
    args = parser.parse_args()

    begun = time.monotonic()
    entries = read_equivalents(EQUIVALENT)
    if args.mutants:
        args.files = sorted({name.split(".")[0] + ".cpp" for name in args.mutants})
    WORK.mkdir(parents=True, exist_ok=True)
    copy_tree()
    core, module = WORK / "core", WORK / "module"
    configure(core, "-DVEXDAL_CORE_TESTS=ON")
    subprocess.run(["ninja", "-C", str(core), JOBS], check=True, stdout=subprocess.DEVNULL)
    started = time.monotonic()
    if run([str(core / "vexdal_core_tests"), *CORE_ARGS]) != 0:
        sys.exit("mutants: the core test fails without a mutant")
    timeout = max(30.0, 20 * (time.monotonic() - started))
    for name, (options, _) in FORCED.items():
        configure(WORK / name, "-DVEXDAL_CORE_TESTS=ON", *options)
        subprocess.run(["ninja", "-C", str(WORK / name), JOBS], check=True,
                       stdout=subprocess.DEVNULL)
        if run([str(WORK / name / "vexdal_core_tests"), *CORE_ARGS]) != 0:
            sys.exit(f"mutants: the core test of {name} fails without a mutant")
    python_timeout = None
    if not args.no_python:
        configure(module, f"-DPython_EXECUTABLE={sys.executable}")
        subprocess.run(["ninja", "-C", str(module), JOBS], check=True, stdout=subprocess.DEVNULL)
        lay_out_site(module)
        started = time.monotonic()
        if python_suite(timeout=None) != 0:
            sys.exit("mutants: the Python suite fails without a mutant")
        baseline = time.monotonic() - started
        python_timeout = max(120.0, 3 * baseline)
        print(f"the Python suite passes without a mutant in {baseline:.0f} s", flush=True)

    sources = [TREE / "src" / "parser" / Path(name).name for name in args.files] or sorted(
        (TREE / "src" / "parser").glob("*.cpp"))
    generated = {source: generate(source) for source in sources}
    total = sum(len(mutants) for mutants in generated.values())
    rng = random.Random(args.seed)
    files = []
    for source, mutants in generated.items():
        order = list(mutants)
        rng.shuffle(order)
        quota = max(1, round(args.count * len(mutants) / total))
        if args.mutants:
            order = [mutant for mutant in order if mutant.name in args.mutants]
            quota = len(order)
        files.append({"source": source, "original": source.read_text(), "order": order,
                      "quota": quota, "written": len(mutants), "tested": 0, "killed": 0})
    deadline = time.monotonic() + args.budget if args.budget else None
    survivors = []
    core_survivors = 0
    equivalent = {"listed": 0, "comments": 0}
    # The files take turns, one mutant each, so that a run cut short by --budget is still a
    # sample of every file.
    pending = list(files)
    while pending and (deadline is None or time.monotonic() < deadline):
        entry = pending.pop(0)
        source, original = entry["source"], entry["original"]
        while entry["order"]:
            mutant = entry["order"].pop()
            text = mutant.read_text()
            change = change_of(original, text)
            if comments_only(change):
                equivalent["comments"] += 1
                continue
            if listed(entries, f"src/parser/{source.name}", change):
                equivalent["listed"] += 1
                continue
            source.write_text(text)
            try:
                if run(["ninja", "-C", str(core), "-j1", "vexdal_core_tests"]) != 0:
                    continue  # does not compile: not a mutant of the program
                entry["tested"] += 1
                how = run([str(core / "vexdal_core_tests"), *CORE_ARGS], timeout=timeout)
                for name, (_, names) in FORCED.items():
                    if how != 0 or source.name not in names:
                        continue
                    if run(["ninja", "-C", str(WORK / name), "-j1", "vexdal_core_tests"]) != 0:
                        how = name
                    else:
                        how = run([str(WORK / name / "vexdal_core_tests"), *CORE_ARGS],
                                  timeout=timeout)
                if how == 0 and not args.no_python:
                    core_survivors += 1
                    if run(["ninja", "-C", str(module), "-j1", "vexdal_py",
                            "vexdal_columns"]) != 0:
                        how = "module build"
                    else:
                        how = python_suite(timeout=python_timeout)
            finally:
                source.write_text(original)
            if how == 0:
                lineno, change = describe(original, text)
                survivors.append(f"src/parser/{source.name}:{lineno}: {change}"
                                 f"  ({mutant.name})")
                print("survived", survivors[-1], flush=True)
            else:
                entry["killed"] += 1
            break
        if entry["order"] and entry["tested"] < entry["quota"]:
            pending.append(entry)
    killed = sum(entry["killed"] for entry in files)
    tested = sum(entry["tested"] for entry in files)
    for entry in files:
        print(f"src/parser/{entry['source'].name}: {entry['killed']} of {entry['tested']} "
              f"killed ({entry['written']} written)")
    # Leave the builds as the tree is, for the next run.
    run(["ninja", "-C", str(core), "vexdal_core_tests"])
    for name in FORCED:
        run(["ninja", "-C", str(WORK / name), "vexdal_core_tests"])
    if not args.no_python:
        run(["ninja", "-C", str(module), "vexdal_py", "vexdal_columns"])
    (WORK / "survivors.txt").write_text("".join(line + "\n" for line in survivors))
    print(f"survivors ({len(survivors)}), also in {WORK / 'survivors.txt'}:")
    for line in survivors:
        print("  " + line)
    print(f"sample: seed {args.seed}, {tested} mutants that compile out of {total} written"
          + (" (cut short by --budget)" if pending else ""))
    if not args.no_python:
        print(f"the core tests let {core_survivors} live, the Python suite killed "
              f"{core_survivors - len(survivors)} of them")
    print(f"time: {time.monotonic() - begun:.0f} s")
    print(f"left out as equivalent: {equivalent['listed']} listed in {EQUIVALENT.name}, "
          f"{equivalent['comments']} that change comments only")
    print(f"mutants: {killed} of {tested} killed ({100 * killed / max(tested, 1):.1f}%), "
          f"{sum(equivalent.values())} equivalent left out")
    return 0 if tested and killed / tested >= 0.9 else 1


if __name__ == "__main__":
    sys.exit(main())

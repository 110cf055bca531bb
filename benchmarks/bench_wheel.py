"""Parse speed of two builds of the module side by side: the manylinux wheel that users get
(tools/wheels.py: Zig's clang, LLVM's libc++ linked in) against a native build of this machine's
compiler, on the reference statements (make_statement.py, 20,000 documents, windows-1251 and
UTF-8).

Both builds cannot be imported into one process (they are the same module), so each
measurement is a fresh child process of this interpreter with one build on its path: it parses
the statement once to warm up, then takes the best of --repeat parses, each timed by the
process's CPU time (a shared machine's waits for a core count for neither). The builds take turns,
the first of each round alternating, for --rounds rounds; each build's figure is its best over
the rounds, so a busy moment of the shared machine costs a round, not the comparison.

usage: python benchmarks/bench_wheel.py NATIVE WHEEL [--rounds 7] [--repeat 5] [--docs 20000]
           [--generator PATH] [--cache DIR]

NATIVE and WHEEL are each a wheel file (unpacked into the cache) or a folder holding an
installed vexdal_py; both must suit this interpreter. For example, with Python 3.11:

    python3 -m pip wheel --no-deps -w build/native .
    python3 benchmarks/bench_wheel.py build/native/vexdal_py-*.whl \\
        dist/vexdal_py-*-cp311-cp311-manylinux*_x86_64.whl

Target: the wheel's parse time over the native one's <= 1.05 for each encoding. The exit status
is 1 when it is missed.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DEFAULT_GENERATOR = REPO.parent / "shared" / "bench" / "make_statement.py"
DEFAULT_CACHE = REPO / "build" / "bench"
ENCODINGS = ("cp1251", "utf-8")
TARGET = 1.05

CHILD = """
import sys, time
import vexdal_py
assert vexdal_py.__file__.startswith(sys.argv[1]), vexdal_py.__file__
data = open(sys.argv[2], "rb").read()
vexdal_py.parse(data)
best = float("inf")
for _ in range(int(sys.argv[3])):
    start = time.process_time()
    vexdal_py.parse(data)
    best = min(best, time.process_time() - start)
print(best)
"""


def statement(generator: Path, cache: Path, documents: int, encoding: str) -> Path:
    """The generator's statement, the same file benchmarks/bench_parse.py writes and reuses."""
    path = cache / f"statement-{documents}-{encoding}.txt"
    if not path.exists():
        cache.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        subprocess.run([sys.executable, str(generator), "--docs", str(documents),
                        "--encoding", encoding, "-o", str(partial)],
                       check=True, stdout=subprocess.DEVNULL)
        partial.replace(path)
    return path


def build_folder(given: Path, cache: Path) -> Path:
    if given.is_dir():
        return given.resolve()
    folder = cache / "wheels" / given.name.removesuffix(".whl")
    if not folder.exists():
        with zipfile.ZipFile(given) as wheel:
            wheel.extractall(folder.with_suffix(".partial"))
        folder.with_suffix(".partial").replace(folder)
    return folder.resolve()


def timed(folder: Path, path: Path, repeat: int) -> float:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = str(folder)
    done = subprocess.run([sys.executable, "-c", CHILD, str(folder), str(path), str(repeat)],
                          env=env, cwd=folder, check=True, capture_output=True, text=True)
    return float(done.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("native", type=Path)
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--docs", type=int, default=20_000)
    parser.add_argument("--generator", type=Path, default=DEFAULT_GENERATOR)
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE)
    args = parser.parse_args()

    builds = {"native": build_folder(args.native, args.cache),
              "wheel": build_folder(args.wheel, args.cache)}
    for name, folder in builds.items():
        print(f"{name:<7} {folder}")
    print(f"{args.rounds} rounds, best of {args.repeat} parses in each child")
    missed = False
    for encoding in ENCODINGS:
        path = statement(args.generator, args.cache, args.docs, encoding)
        best = dict.fromkeys(builds, float("inf"))
        for round_number in range(args.rounds):
            order = list(builds) if round_number % 2 == 0 else list(reversed(builds))
            for name in order:
                best[name] = min(best[name], timed(builds[name], path, args.repeat))
        ratio = best["wheel"] / best["native"]
        megabytes = path.stat().st_size / 1e6
        verdict = "ok" if ratio <= TARGET else "MISSED"
        missed |= ratio > TARGET
        print(f"{encoding:<7} {args.docs:,} docs, {megabytes:.1f} MB: native "
              f"{best['native'] * 1e3:.1f} ms ({megabytes / best['native']:.0f} MB/s), wheel "
              f"{best['wheel'] * 1e3:.1f} ms ({megabytes / best['wheel']:.0f} MB/s); "
              f"wheel / native {ratio:.3f} (target <= {TARGET}) {verdict}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())

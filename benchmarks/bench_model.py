"""Measures the file model, vexdal.load and ExchangeFile.dumps, against the floor of any Python
reader, data.decode(enc).splitlines(), on the reference statements (20,000 documents, written
by make_statement.py into build/bench/ as bench_parse.py does; or --input FILE ...).

Rows, each a ratio of works timed side by side in one process (best of --repeat rounds, the
works taking turns within each round):

  load / floor            vexdal.load(data), parse() as the judge included          <= 1.5
  dumps / floor           dumps() of the loaded file, unchanged                     <= 1.0
  dumps, one change       dumps() after one value of the last document was set      <= 1.0
  load+items / floor      load(data) and every section's items unpacked             (no target)
  dumps, LF / floor       dumps(newline="\\n"): every line end rewritten            (no target)

usage: python benchmarks/bench_model.py [--repeat N] [--input FILE ...] [--generator PATH]
           [--cache DIR]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import vexdal

from measure import best_of, floor
from statements import DEFAULT_CACHE, DEFAULT_GENERATOR, ENCODINGS, generated

DOCUMENTS = 20_000
TARGETS = {"load": 1.5, "dumps": 1.0}


def rows(label: str, data: bytes, encoding: str,
         repeat: int) -> list[tuple[str, float, float | None]]:
    model = vexdal.load(data)
    assert model.dumps() == data, f"{label}: dumps() does not give the file back"
    changed = vexdal.load(data)
    changed.sections[-1].set("Сумма", "1.00")

    def unpacked() -> None:
        for section in vexdal.load(data).sections:
            section.items

    seconds = best_of(repeat, 1, lambda: floor(data, encoding), lambda: vexdal.load(data),
                      model.dumps, changed.dumps, unpacked,
                      lambda: model.dumps(newline="\n"))
    base = seconds[0]
    print(f"{label}: floor {base * 1000:.1f} ms", flush=True)
    names = [("load", TARGETS["load"]), ("dumps", TARGETS["dumps"]),
             ("dumps, one change", TARGETS["dumps"]),
             ("load+items", None), ("dumps, LF", None)]
    return [(name, spent / base, target) for (name, target), spent in zip(names, seconds[1:])]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--input", action="append", type=Path, default=[])
    parser.add_argument("--generator", type=Path, default=DEFAULT_GENERATOR)
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE)
    args = parser.parse_args()
    inputs = [(path.name, path) for path in args.input] or [
        (f"{encoding}, {DOCUMENTS:,} docs", generated(args.generator, args.cache, DOCUMENTS,
                                                     encoding).path) for encoding in ENCODINGS]
    missed = False
    print(f"{'statement':<24} {'row':<28} {'ratio':>6}  target")
    for label, path in inputs:
        data = path.read_bytes()
        encoding = vexdal.load(data).encoding
        for name, ratio, target in rows(label, data, encoding, args.repeat):
            status = "" if target is None else ("ok" if ratio <= target else "MISSED")
            missed |= status == "MISSED"
            shown = "" if target is None else f"<= {target:.2f} {status}"
            print(f"{label:<24} {name + ' / floor':<28} {ratio:6.2f}  {shown}", flush=True)
    print("all targets met" if not missed else "some targets MISSED")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())

"""Times vexdal_py.parse on large statements made of real documents, against plain Python.

The inputs repeat the payment documents of the real sample statements (../shared/samples beside
the repository, when present) and of examples/statement.txt under one header until they reach
about 1, 10 and 50 MB, once as windows-1251 bytes and once as UTF-8 bytes, with CRLF line ends.

The baseline is the least any Python reader of the format does with the same bytes: decode
them, split them into lines and split every line at its first "=". Both are timed in the same
run (best of N, time.perf_counter), so the ratio between them is the figure to compare across
machines, not the MB/s.

usage: python benchmarks/bench_parse.py [--samples DIR] [--sizes 1,10,50] [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import platform
import re
import sys
import time
from pathlib import Path
from typing import Callable

import vexdal_py

REPO = Path(__file__).resolve().parents[1]
EXAMPLE = REPO / "examples" / "statement.txt"
DEFAULT_SAMPLES = REPO.parent / "shared" / "samples"
MB = 1_000_000

DOCUMENT = re.compile(r"^СекцияДокумент=.*?^КонецДокумента$", re.MULTILINE | re.DOTALL)
ENCODINGS = ("cp1251", "utf-8")


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


def best_of(repeat: int, loops: int, *works: Callable[[], object]) -> list[float]:
    """Seconds per call of the fastest of `repeat` runs of `loops` calls, for each work. The
    works take turns within every run, so a busy machine slows them alike."""
    best = [float("inf")] * len(works)
    for _ in range(repeat):
        for i, work in enumerate(works):
            gc.collect()
            start = time.perf_counter()
            for _ in range(loops):
                work()
            best[i] = min(best[i], (time.perf_counter() - start) / loops)
    return best


def baseline(data: bytes, encoding: str) -> None:
    for line in data.decode(encoding, "replace").splitlines():
        line.partition("=")


def report(label: str, data: bytes, encoding: str, repeat: int, loops: int = 1) -> None:
    parse_s, base_s = best_of(repeat, loops, lambda: vexdal_py.parse(data),
                              lambda: baseline(data, encoding))
    size = len(data) / MB
    print(f"{label:<34}{size:>8.2f} MB"
          f"{parse_s * 1e3:>11.2f} ms{size / parse_s:>9.1f} MB/s"
          f"{base_s * 1e3:>11.2f} ms{size / base_s:>9.1f} MB/s"
          f"{base_s / parse_s:>9.2f}x")


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=Path, default=DEFAULT_SAMPLES,
                        help="folder of real statements (default: %(default)s)")
    parser.add_argument("--sizes", default="1,10,50", help="input sizes in MB (default: 1,10,50)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement, best counts")
    args = parser.parse_args()
    sizes = [float(s) for s in args.sizes.split(",") if s]

    samples = sorted(args.samples.glob("*.txt")) if args.samples.is_dir() else []
    if not samples:
        print(f"note: no sample statements in {args.samples}; using {EXAMPLE.name} alone")
    blocks = collect_documents([EXAMPLE] + samples)
    if not blocks:
        print("error: no document section that builds on its own was found", file=sys.stderr)
        return 1
    head = read_text(EXAMPLE)
    head = head[: DOCUMENT.search(head).start()]

    print(f"{platform.python_implementation()} {platform.python_version()} on "
          f"{platform.machine()}; {len(blocks)} distinct documents from "
          f"{1 + len(samples)} files; best of {args.repeat}")
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
    return 0


if __name__ == "__main__":
    sys.exit(main())

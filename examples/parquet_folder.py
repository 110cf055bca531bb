"""Writes the payment documents of a folder of 1CClientBankExchange statements into a Parquet
dataset, on a Dask cluster.

usage: python examples/parquet_folder.py [--workers N | --scheduler ADDRESS] -o OUT PATH [PATH ...]

vexdal.dask.read_documents makes one Dask dataframe of the files (a partition per group of
files, each worker reading and parsing its own), and to_parquet writes a file per partition into
the folder OUT. The columns are the path, then the 26 fields of vexdal_py.Document in Arrow's
own types: texts, dates (date32) and exact decimal amounts (decimal128(38, 4)), so no amount
passes through a float. Read the dataset back with pandas.read_parquet(OUT), polars.read_parquet
or pyarrow.dataset.dataset(OUT).

Without --scheduler the script starts a LocalCluster of N worker processes (the number of cores
by default) and stops it at the end. With --scheduler tcp://host:port it runs unchanged on that
cluster; every worker then needs vexdal_py installed with pyarrow and pandas, and the paths and
OUT must name the same folders on every worker as here (a shared or network folder): they are
sent as absolute paths.

Files that are not statements the parser accepts are left out and listed. Needs
dask[distributed] and pyarrow: pip install 'vexdal_py[examples]'. Exits with status 1 when a
file was left out, and 2 on bad arguments or when there are no files.
"""

# dask and distributed leave their entry points unannotated; calling them is all this file does.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator, Sequence

from dask.distributed import Client, LocalCluster

import vexdal
import vexdal.dask
from vexdal.many import statement_files


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int) -> Iterator[Client]:
    """A client of the given scheduler, or of a local cluster that ends with the block."""
    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    # The parse holds the interpreter lock for its table's columns only briefly, but reading
    # and converting the rest is Python's: processes use the cores.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


def write_dataset(paths: Sequence[str], out: str) -> None:
    """The documents of paths as Parquet files in the folder out, on the current cluster."""
    frame = vexdal.dask.read_documents([os.path.abspath(p) for p in paths], errors="skip")
    frame.to_parquet(os.path.abspath(out), write_index=False)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Writes the documents of 1CClientBankExchange statements as Parquet, on a "
        "Dask cluster.")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="a folder to search for *.txt statements, or a statement file")
    parser.add_argument("-o", "--out", required=True, help="the dataset's folder")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="worker processes of the local cluster (default: the cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running cluster's scheduler, e.g. tcp://10.0.0.5:8786")
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error("--workers must be at least 1")

    paths = statement_files(args.paths)
    if not paths:
        print("error: no *.txt files found", file=sys.stderr)
        return 2
    with connect(args.scheduler, args.workers):
        write_dataset(paths, args.out)
    # The files left out, and why: each is parsed again here, which only failures cost.
    failures = vexdal.read_documents(paths, columns=["doc_number"], jobs=1).failures
    for path, failure in failures:
        print(f"left out {path}: {type(failure).__name__}: {failure}", file=sys.stderr)
    print(f"{args.out}: the documents of {len(paths) - len(failures)} of {len(paths)} files")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

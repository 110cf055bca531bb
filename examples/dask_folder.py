"""Adds up thousands of 1CClientBankExchange statements per account, on a Dask cluster.

usage: python examples/dask_folder.py [--workers N | --scheduler ADDRESS] PATH [PATH ...]

The work and the report of examples/parallel_folder.py (whose summary, merge and report it
uses; keep the two files side by side), done as a Dask bag: the paths are split into
partitions, each worker reads and parses its files itself and adds them up into one small
Totals per partition, and those are merged on the way back. Neither the files' bytes nor a
parsed statement travel between machines, only paths and totals.

Without --scheduler the script starts a LocalCluster of N worker processes (the number of cores
by default) and stops it at the end. With --scheduler tcp://host:port it runs unchanged on that
cluster; every worker then needs vexdal_py installed, and the paths must name the same files on
every worker as on this machine (a shared or network folder): they are sent as absolute paths.

Needs dask[distributed]: pip install 'vexdal_py[examples]'. Exits with status 1 when a file
failed, and 2 on bad arguments or when there are no files.
"""

# dask and distributed leave their entry points (Client, LocalCluster, from_sequence, compute)
# unannotated; calling them is all this file does with them.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator, Sequence

import dask.bag as db
from dask.distributed import Client, LocalCluster

import parallel_folder
from parallel_folder import Totals, merge, positive, report, statement_files, summarize


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int) -> Iterator[Client]:
    """A client of the given scheduler, or of a local cluster that ends with the block."""
    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    # parse() holds the interpreter lock from start to end, so a worker gains nothing from a
    # second thread: the cores are used by processes. A free port for the dashboard, as
    # another cluster on this machine may hold the usual one.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


def add_up(client: Client, paths: Sequence[str]) -> Totals:
    # The tasks run parallel_folder's functions, which a scheduler and workers on other
    # machines cannot import: this hands them the file (workers that join later too).
    client.upload_file(parallel_folder.__file__)
    # A worker elsewhere has another current folder.
    absolute = [os.path.abspath(path) for path in paths]
    # One Totals per partition, then merges of merges: only small objects come back.
    bag = db.from_sequence(absolute).map(summarize)
    totals: Totals = client.compute(bag.reduction(merge, merge)).result()
    return totals


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Adds up 1CClientBankExchange statements per account, on a Dask cluster.")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="a folder to search for *.txt statements, or a statement file")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive, default=os.cpu_count() or 1,
                       help="worker processes of the local cluster (default: the number of cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running cluster's scheduler, e.g. tcp://10.0.0.5:8786")
    args = parser.parse_args(argv)

    paths = statement_files(args.paths)
    if not paths:
        print("error: no *.txt files found", file=sys.stderr)
        return 2
    with connect(args.scheduler, args.workers) as client:
        totals = add_up(client, paths)
    return report(totals)


if __name__ == "__main__":
    sys.exit(main())

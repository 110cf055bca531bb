"""The `vexdal` command line: its options, and which command does what with the files. What a
command prints is in the module named after it; the parsing is vexdal_py's."""

from __future__ import annotations

import argparse
import io
import os
import sys
import textwrap
from collections import Counter
from importlib import metadata
from typing import Callable, Sequence, TextIO

import vexdal_py

from vexdal.cli.check import FileReport, check_all, default_jobs, gather
from vexdal.cli.dataset import FORMATS, run_dataset
from vexdal.cli.export import CSV_EXTRA_COLUMNS, DOCUMENT_FIELDS, write_csv, write_json
from vexdal.cli.files import (CANNOT_READ, FAILED, OK, FileFailure, Read, encoding_line, plural,
                              read_statement, shown, warning_line)
from vexdal.cli.summary import print_summary

# Why the parser can refuse a whole file, in words for the person who has to fix it.
HINTS: dict[type[Exception], str] = {
    vexdal_py.NotStatementError: "the first line must be exactly 1CClientBankExchange, and the "
    "file must be UTF-8 or windows-1251 text (or code page 866 with Кодировка=DOS in its header)",
    vexdal_py.UnfinishedError: "the file ends inside a section or lacks its КонецФайла line; "
    "was it cut off?",
}

EXIT_STATUSES = """\
exit status: 0 when every file was read (and, for check, agrees with the bank),
1 when a file is not a statement the parser accepts (or, for check, disagrees),
2 for a usage error, a path that cannot be read, or (for check) no file to check."""

CHECK_NOTES = """\
Prints, sorted by path, one line for each file the parser refuses,
  PATH:LINE: ExceptionName: message     (PATH: ExceptionName: message when the
                                         failure has no line, as for a file
                                         that is not a statement at all)
and one for each of its accounts whose documents disagree with the bank,
  PATH: account NUMBER: documents credit|debit SUM, the bank says SUM
  PATH: account NUMBER START..END: opening ... = SUM, the bank says closing SUM
comparing the documents paid to (from) each account with the bank's
ВсегоПоступило (ВсегоСписано) over its intervals, and each interval's opening
balance plus credit minus debit with its closing balance, to the kopeck.
A transfer between two of the statement's accounts counts for both.
A last line counts the files, unless -q."""

CSV_NOTES = """\
One row per document: its 26 fields in the attribute order of
vexdal_py.Document, then
  direction  credit (paid to one of the statement's accounts from elsewhere),
             debit (paid from one of them to elsewhere), transfer (from one of
             them to another, or to itself), or neither;
  absent     the names of the fields the document does not have (None in
             Python), separated by spaces. Their cells are empty, like those of
             fields present with an empty value, so this column is what tells
             the two apart;
then one column per key given with --keys, named after it (absent names
the keys the document's section lacks).
UTF-8, comma-separated, quoted where needed, LF line ends."""


def distribution_version() -> str:
    try:
        return metadata.version("vexdal_py")
    except metadata.PackageNotFoundError:
        return "unknown"


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, not {text!r}")
    return value


def utf8_stdout() -> TextIO:
    """stdout as UTF-8 whatever the locale says: json and csv are data for other programs."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8")
    return sys.stdout


def key_list(text: str) -> tuple[str, ...]:
    """--keys: keys of a document section, comma-separated, each once; none may take the name of
    a field or column the output has already."""
    keys = tuple(dict.fromkeys(key for key in text.split(",") if key))
    taken = [key for key in keys if key in DOCUMENT_FIELDS + CSV_EXTRA_COLUMNS]
    if not keys or taken:
        raise argparse.ArgumentTypeError(
            f"{', '.join(taken)} is already a field of the output" if taken else
            "give at least one key, as in --keys ПоказательКБК,ОКАТО")
    return keys


def print_about(args: argparse.Namespace, path: str, read: Read) -> None:
    """For json and csv, whose stdout is the data: the encoding if asked for, and the skipped
    documents that the data cannot show, on stderr."""
    if args.encoding_report:
        print(encoding_line(path, read.encoding), file=sys.stderr)
    if not args.quiet:
        for lineno, message in read.statement.warnings:
            print(warning_line(path, lineno, message), file=sys.stderr)


def run_summary(args: argparse.Namespace) -> int:
    status = OK
    any_shown = False
    for name in args.files:
        try:
            read = read_statement(name)
        except FileFailure as failure:
            hint = HINTS.get(type(failure.cause))
            print(failure.line + (f" (hint: {hint})" if hint else ""), file=sys.stderr)
            status = max(status, failure.status)
            continue
        if args.encoding_report:
            print(encoding_line(shown(name), read.encoding), file=sys.stderr)
        if any_shown:
            print()
        print_summary(shown(name), read.statement, read.encoding)
        any_shown = True
    return status


def run_export(args: argparse.Namespace, write: Callable[[Read, TextIO], None]) -> int:
    try:
        read = read_statement(args.file)
    except FileFailure as failure:
        print(failure.line, file=sys.stderr)
        return failure.status
    print_about(args, shown(args.file), read)
    write(read, utf8_stdout())
    return OK


def run_json(args: argparse.Namespace) -> int:
    return run_export(args, lambda read, out: write_json(read, out, args.lines, args.keys))


def run_csv(args: argparse.Namespace) -> int:
    return run_export(args, lambda read, out: write_csv(read, out, args.keys))


def report_lines(report: FileReport, args: argparse.Namespace) -> list[str]:
    """What check prints on stdout for one file."""
    lines = []
    if args.encoding_report and report.encoding:
        lines.append(encoding_line(report.path, report.encoding))
    if report.failure:
        lines.append(report.failure)
    if args.warnings:
        lines.extend(warning_line(report.path, lineno, message)
                     for lineno, message in report.warnings)
    lines.extend(report.requisites)
    lines.extend(report.disagreements)
    return lines


def run_check(args: argparse.Namespace) -> int:
    paths, missing = gather(args.paths, args.glob)
    for line in missing:
        print(line, file=sys.stderr)
    if not paths:
        # A run that checked nothing must not pass for one that found nothing wrong.
        print(f"vexdal: error: no file to check (folders give their files named {args.glob},"
              " in any letter case)", file=sys.stderr)
        return CANNOT_READ
    # All reports first, then the output: a progress bar on the same terminal would otherwise
    # be drawn between the lines.
    reports = list(check_all(paths, args.jobs, args.requisites))
    outcomes: Counter[str] = Counter()
    for report in reports:
        if report.unreadable:
            print(report.unreadable, file=sys.stderr)
        for line in report_lines(report, args):
            print(line)
        outcomes["failed" if report.unreadable or report.failure else
                 "disagree with the bank" if report.disagreements else "ok"] += 1
    if not args.quiet:
        counts = ", ".join(f"{outcomes[name]} {name}"
                           for name in ("ok", "failed", "disagree with the bank"))
        warnings = sum(len(report.warnings) for report in reports)
        print(f"checked {plural(len(paths), 'file')}: {counts}"
              + (f"; {plural(warnings, 'warning')}" if warnings else ""))
    if missing or any(report.unreadable for report in reports):
        return CANNOT_READ
    if args.strict and any(report.requisites for report in reports):
        return FAILED
    return OK if outcomes["ok"] == len(reports) else FAILED


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vexdal", description="Summarise, export and check 1CClientBankExchange bank "
        "statements\n(windows-1251 or UTF-8, told apart by their bytes; code page 866 when "
        "the header says\nКодировка=DOS).",
        epilog=EXIT_STATUSES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version=f"%(prog)s {distribution_version()}")
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND",
                                     required=True)

    def command(name: str, about: str, run: Callable[[argparse.Namespace], int], *,
                encodings_to: str, quiet: str | None,
                notes: str = "") -> argparse.ArgumentParser:
        """A subcommand with the options every command has; quiet is -q's help, or None for a
        command that prints nothing -q could leave out."""
        sub = commands.add_parser(name, help=about, description=textwrap.fill(
            about[0].upper() + about[1:] + ".", 79), epilog=notes,
            formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        sub.add_argument("--encoding-report", action="store_true",
                         help="print the encoding each file was read in, as 'PATH: encoding "
                         f"cp1251', on {encodings_to}")
        if quiet:
            sub.add_argument("-q", "--quiet", action="store_true", help=quiet)
        return sub

    summary = command("summary", "print a readable summary of each statement: header, "
                      "balances, documents against the bank's turnovers, skipped documents",
                      run_summary, encodings_to="stderr", quiet=None)
    summary.add_argument("files", nargs="+", metavar="FILE", help="- reads standard input")

    skipped = "do not repeat the skipped documents' warnings on stderr"
    json_command = command("json", "print the whole statement as JSON: encoding, header, "
                           "accounts with their intervals, documents, warnings; every value a "
                           "string or null, amounts as written", run_json,
                           encodings_to="stderr", quiet=skipped)
    json_command.add_argument("file", metavar="FILE", help="- reads standard input")
    json_command.add_argument("--lines", action="store_true",
                              help="print only the documents, one JSON object per line "
                              "(JSON Lines)")

    csv_command = command("csv", "print the documents as CSV, one row per document", run_csv,
                          encodings_to="stderr", quiet=skipped, notes=CSV_NOTES)
    csv_command.add_argument("file", metavar="FILE", help="- reads standard input")
    for export in (json_command, csv_command):
        export.add_argument("--keys", type=key_list, default=(), metavar="K1,K2,...",
                            help="also give each document these keys of its section, as "
                            "written (null, or an empty cell named in absent, where it has "
                            "none), e.g. the tax fields ПоказательКБК,ОКАТО,Код")

    check = command("check", "parse many statements in parallel and check them against the "
                    "bank's own turnovers and balances", run_check, encodings_to="stdout",
                    quiet="print only the problems, without the closing count",
                    notes=CHECK_NOTES)
    check.add_argument("paths", nargs="+", metavar="PATH",
                       help="a statement file, or a folder to search recursively")
    check.add_argument("--glob", default="*.txt", metavar="PATTERN",
                       help="the file names to take from folders, in any letter case "
                       "(default: %(default)s)")
    check.add_argument("-j", "--jobs", type=positive, default=default_jobs(), metavar="N",
                       help="worker processes (default: the number of cores, %(default)s here)")
    check.add_argument("--warnings", action="store_true",
                       help="also print each skipped document, as 'PATH:LINE: warning: message'")
    check.add_argument("--requisites", action="store_true",
                       help="also check each document's INNs, KPPs, BICs and accounts, printing "
                       "'PATH:LINE: warning: KEY VALUE: what is wrong' for each bad one, LINE "
                       "the document's last")
    check.add_argument("--strict", action="store_true",
                       help="exit with status 1 when a requisite is bad (with --requisites)")

    dataset = command("export", "write the documents of many statements into one file in "
                      "parallel: Parquet or Arrow IPC (these need pyarrow), CSV or JSON Lines, "
                      "a path column first", run_dataset, encodings_to="stderr",
                      quiet="print only the failures, without the warnings and the count")
    dataset.add_argument("paths", nargs="+", metavar="PATH",
                         help="a statement file, or a folder to search recursively")
    dataset.add_argument("--format", choices=FORMATS, required=True)
    dataset.add_argument("-o", "--out", required=True, metavar="OUT", help="the file to write")
    dataset.add_argument("--glob", default="*.txt", metavar="PATTERN",
                         help="the file names to take from folders (default: %(default)s)")
    dataset.add_argument("-j", "--jobs", type=positive, default=default_jobs(), metavar="N",
                         help="files read at once: threads for Parquet and Arrow, worker "
                         "processes for CSV and JSON Lines (default: the number of cores, "
                         "%(default)s here)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line argv (sys.argv[1:] by default) and returns the exit status.
    Usage errors, --help and --version end in SystemExit, as argparse has it."""
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except BrokenPipeError:
        # The reader has gone (`vexdal json ... | head`). Point stdout at nothing so that the
        # flush at exit does not fail again, and stop.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except KeyboardInterrupt:
        return 130

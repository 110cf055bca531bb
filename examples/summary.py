"""Prints a readable summary of a 1CClientBankExchange bank statement.

usage: python examples/summary.py STATEMENT_FILE...

The same as `vexdal summary STATEMENT_FILE...`, which is where the code lives (the package
vexdal, installed with vexdal_py): the header highlights, every account with its balance
intervals, the documents with the totals credited to and debited from the statement's accounts
(checked against the bank's own turnovers), and the warnings with their line numbers. Exits
with status 1 when a file is not a statement the parser accepts, and 2 when it cannot be read.
"""

import sys

from vexdal.cli import main

if __name__ == "__main__":
    sys.exit(main(["summary", *sys.argv[1:]]))

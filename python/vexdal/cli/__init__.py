"""The `vexdal` command: summarise, export (JSON, CSV) and check 1CClientBankExchange bank
statements with vexdal_py. `main(argv)` runs it and returns the exit status."""

from vexdal.cli.command import main

__all__ = ["main"]

"""vexdal: the toolkit around vexdal_py.parse() for 1CClientBankExchange files: the `vexdal`
command (`vexdal.cli`, `python -m vexdal`), statements as Arrow tables (`documents_table`,
`intervals_table`) and what users of the format need beyond a parse.

Importing it imports nothing optional: each part loads what it needs when it is used."""

from vexdal.tables import Table, documents_table, intervals_table

__all__ = ["Table", "documents_table", "intervals_table"]

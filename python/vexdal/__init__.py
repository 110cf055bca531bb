"""vexdal: the toolkit around vexdal_py.parse() for 1CClientBankExchange files: the `vexdal`
command (`vexdal.cli`, `python -m vexdal`), statements as Arrow tables (`documents_table`,
`intervals_table`, and `read_documents` for many files) and what users of the format need
beyond a parse.

Importing it imports nothing optional: each part loads what it needs when it is used."""

from vexdal.many import ReadResult, read_documents
from vexdal.tables import Table, documents_table, intervals_table

__all__ = ["ReadResult", "Table", "documents_table", "intervals_table", "read_documents"]

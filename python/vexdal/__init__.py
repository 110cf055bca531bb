"""vexdal: the toolkit around vexdal_py.parse() for 1CClientBankExchange files: the `vexdal`
command (`vexdal.cli`, `python -m vexdal`), the lossless file model (`load`, `ExchangeFile`,
`Section`), statements as Arrow tables (`documents_table`, `intervals_table`, and
`read_documents` for many files) and what users of the format need beyond a parse.

Importing it imports nothing optional: each part loads what it needs when it is used."""

from vexdal.charsets import dos_text, parse_statement
from vexdal.many import ReadResult, read_documents
from vexdal.model import ExchangeFile, Section, load
from vexdal.orders import PaymentOrder, PaymentOrderError, payment_orders
from vexdal.tables import Table, documents_table, intervals_table
from vexdal.writing import Problem, WriteError

__all__ = ["load", "ExchangeFile", "Section", "WriteError", "Problem", "dos_text",
           "parse_statement", "PaymentOrder", "PaymentOrderError", "payment_orders",
           "ReadResult", "Table", "documents_table", "intervals_table", "read_documents"]

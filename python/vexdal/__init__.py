"""vexdal: the toolkit around vexdal_py.parse() for 1CClientBankExchange files: the `vexdal`
command (`vexdal.cli`, `python -m vexdal`) and what users of the format need beyond a parse.

Importing it imports nothing optional: each part loads what it needs when it is used."""

from vexdal.orders import PaymentOrder, PaymentOrderError, payment_orders

__all__ = ["PaymentOrder", "PaymentOrderError", "payment_orders"]

"""A sketch: the payment documents of a folder of 1CClientBankExchange statements as a Spark
DataFrame, parsed on the executors.

usage: spark-submit examples/spark_documents.py FOLDER OUT      (or: python ..., with pyspark)

Spark's binaryFile source hands each file's bytes to the executors as a row (path, content);
mapInArrow gives a function those rows as Arrow record batches and takes Arrow record batches
back, so the columns that vexdal.documents_table makes go to Spark without a Python object per
value. The executors need vexdal_py and pyarrow installed. A file that is no statement the
parser accepts is left out. OUT gets the documents as Parquet.

Spark's decimals are at most decimal(38, s) with one s per column, as Arrow's here; the sketch
uses decimal(38, 4), and a file with an amount of finer scale fails the job.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from typing import Any

import pyarrow as pa

import vexdal
import vexdal_py

COLUMNS = ("doc_number", "doc_date", "amount", "counterparty_inn", "counterparty_account",
           "payee_inn", "payee_account", "purpose")
SCALE = 4
SCHEMA = pa.schema([("path", pa.string()), ("doc_number", pa.string()),
                    ("doc_date", pa.date32()), ("amount", pa.decimal128(38, SCALE)),
                    ("counterparty_inn", pa.string()), ("counterparty_account", pa.string()),
                    ("payee_inn", pa.string()), ("payee_account", pa.string()),
                    ("purpose", pa.string())])
SPARK_SCHEMA = ("path string, doc_number string, doc_date date, amount decimal(38,4), "
                "counterparty_inn string, counterparty_account string, payee_inn string, "
                "payee_account string, purpose string")


def documents(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
    """mapInArrow's function: (path, content) rows in, the files' documents out."""
    for batch in batches:
        for path, content in zip(batch.column("path").to_pylist(),
                                 batch.column("content").to_pylist()):
            try:
                table = pa.table(vexdal.documents_table(content, COLUMNS))
            except vexdal_py.ParseError:
                continue
            table = table.add_column(0, "path", pa.array([path] * table.num_rows, pa.string()))
            yield from table.cast(SCHEMA).to_batches()


def main(argv: list[str]) -> int:
    from pyspark.sql import SparkSession

    folder, out = argv
    spark: Any = SparkSession.builder.appName("vexdal documents").getOrCreate()
    files = (spark.read.format("binaryFile").option("pathGlobFilter", "*.txt")
             .option("recursiveFileLookup", "true").load(folder))
    frame = files.select("path", "content").mapInArrow(documents, SPARK_SCHEMA)
    frame.write.mode("overwrite").parquet(out)
    print(f"{out}: {spark.read.parquet(out).count()} documents")
    spark.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
